// errno as the last system error, and its text from strerror_r. Twin: src/os/win32/ErrorText.cpp.
#include "os/ErrorText.h"

#include <cerrno>
#include <cstring>

#include "Utf16.h"

namespace kw::os {

int lastError() { return errno; }

void setLastError(int code) { errno = code; }

bool systemErrorText(int code, std::wstring& text) {
  char buffer[256] = {};
  // GNU strerror_r returns the text, which need not be in the buffer.
  const char* message = strerror_r(code, buffer, sizeof buffer);
  if (!message || !*message || std::strncmp(message, "Unknown error", 13) == 0) return false;
  text = utf16::fromUtf8(message);
  return true;
}

}  // namespace kw::os
