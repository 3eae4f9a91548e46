// ScopedEnv: sets an environment variable for a scope and restores it.
#include "support/ScopedEnv.h"

#include <cstdlib>

#include "support/ChildProcess.h"

namespace kwtest {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
  const char* old = std::getenv(name);
  m_had = old != nullptr;
  if (old) m_old = old;
  setEnv(m_name, value);
}

ScopedEnv::~ScopedEnv() { setEnv(m_name, m_had ? m_old : std::string()); }

}  // namespace kwtest
