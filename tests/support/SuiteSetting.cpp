// SuiteSetting: writes one of the suite's values for a test and deletes it afterwards.
#include "support/SuiteSetting.h"

#include <kw/Registry.h>

#include <utility>

namespace kwtest {

namespace {

kw::Registry suiteKey() { return kw::Registry(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright"); }

}  // namespace

SuiteSetting::SuiteSetting(std::wstring name, int value) : m_name(std::move(name)) {
  suiteKey().write(m_name.c_str(), value);
}

SuiteSetting::SuiteSetting(std::wstring name, const std::wstring& value) : m_name(std::move(name)) {
  suiteKey().write(m_name.c_str(), value);
}

SuiteSetting::~SuiteSetting() { suiteKey().deleteValue(m_name.c_str()); }

}  // namespace kwtest
