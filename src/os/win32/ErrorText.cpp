// GetLastError and its text from FormatMessage. Twin: src/os/posix/ErrorText.cpp.
#include "os/ErrorText.h"

#include <windows.h>

namespace kw::os {

int lastError() { return static_cast<int>(GetLastError()); }

void setLastError(int code) { SetLastError(static_cast<DWORD>(code)); }

bool systemErrorText(int code, std::wstring& text) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, static_cast<DWORD>(code), 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || !buffer) return false;
  text.assign(buffer, length);
  LocalFree(buffer);
  return true;
}

}  // namespace kw::os
