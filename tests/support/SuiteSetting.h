// One of the suite's values under HKEY_LOCAL_MACHINE\Software\Kestrelwright
// (an integer switch, or a text such as "InstallDir"), removed again at the
// end. On Linux it lands in the store of the SettingsArea that is active.
#pragma once

#include <string>

namespace kwtest {

class SuiteSetting {
 public:
  SuiteSetting(std::wstring name, int value);
  SuiteSetting(std::wstring name, const std::wstring& value);
  ~SuiteSetting();
  SuiteSetting(const SuiteSetting&) = delete;
  SuiteSetting& operator=(const SuiteSetting&) = delete;

 private:
  std::wstring m_name;
};

}  // namespace kwtest
