// An environment variable set for one scope and put back as it was.
#pragma once

#include <string>

namespace kwtest {

// Sets the variable (empty clears it) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_name;
  std::string m_old;
  bool m_had = false;
};

}  // namespace kwtest
