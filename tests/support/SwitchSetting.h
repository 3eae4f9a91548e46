// One of the suite's integer switches under
// HKEY_LOCAL_MACHINE\Software\Kestrelwright, removed again at the end. On
// Linux it lands in the store of the SettingsArea that is active.
#pragma once

#include <string>

namespace kwtest {

class SwitchSetting {
 public:
  SwitchSetting(std::wstring name, int value);
  ~SwitchSetting();
  SwitchSetting(const SwitchSetting&) = delete;
  SwitchSetting& operator=(const SwitchSetting&) = delete;

 private:
  std::wstring m_name;
};

}  // namespace kwtest
