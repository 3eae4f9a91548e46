// One of the suite's text values under
// HKEY_LOCAL_MACHINE\Software\Kestrelwright (such as "InstallDir"), removed
// again at the end. On Linux it lands in the store of the SettingsArea that
// is active.
#pragma once

#include <string>

namespace kwtest {

class TextSetting {
 public:
  TextSetting(std::wstring name, const std::wstring& value);
  ~TextSetting();
  TextSetting(const TextSetting&) = delete;
  TextSetting& operator=(const TextSetting&) = delete;

 private:
  std::wstring m_name;
};

}  // namespace kwtest
