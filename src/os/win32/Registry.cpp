// The settings store on Windows: the registry calls themselves. Twin of
// os/posix/Registry.cpp.
#include "os/Registry.h"

#include <windows.h>

namespace kw::os {

long regOpenKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out) {
  return RegOpenKeyExW(root, subKey.c_str(), 0, access, &out);
}

long regCreateKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out) {
  wchar_t noClass[] = L"";
  return RegCreateKeyExW(root, subKey.c_str(), 0, noClass, REG_OPTION_NON_VOLATILE, access, nullptr,
                         &out, nullptr);
}

long regQueryValue(HKEY key, const wchar_t* name, unsigned* type, unsigned char* data,
                   unsigned* byteCount) {
  DWORD valueType = 0;
  DWORD count = byteCount ? *byteCount : 0;
  long result = RegQueryValueExW(key, name, nullptr, type ? &valueType : nullptr, data,
                                 byteCount ? &count : nullptr);
  if (type) *type = valueType;
  if (byteCount) *byteCount = count;
  return result;
}

long regSetValue(HKEY key, const wchar_t* name, unsigned type, const unsigned char* data,
                 unsigned byteCount) {
  return RegSetValueExW(key, name, 0, type, data, byteCount);
}

long regDeleteValue(HKEY key, const wchar_t* name) { return RegDeleteValueW(key, name); }

long regCloseKey(HKEY key) { return RegCloseKey(key); }

// The registry is read directly each time: its reads are cheap here.
bool regChangeStamp(HKEY, std::uint64_t&) { return false; }

}  // namespace kw::os
