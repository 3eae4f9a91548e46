// SwitchSetting: sets one of the suite's integer switches for a test and deletes it afterwards.
#include "support/SwitchSetting.h"

#include <kw/Registry.h>

#include <utility>

namespace kwtest {

namespace {

kw::Registry suiteKey() { return kw::Registry(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright"); }

}  // namespace

SwitchSetting::SwitchSetting(std::wstring name, int value) : m_name(std::move(name)) {
  suiteKey().write(m_name.c_str(), value);
}

SwitchSetting::~SwitchSetting() { suiteKey().deleteValue(m_name.c_str()); }

}  // namespace kwtest
