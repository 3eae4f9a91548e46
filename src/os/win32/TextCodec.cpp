// UTF-8 <-> wide text on Windows through MultiByteToWideChar. Twin: src/os/posix/TextCodec.cpp.
#include "os/TextCodec.h"

#include <windows.h>

namespace kw::os {

int utf8ToWide(const char* text, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, capacity);
}

int wideToUtf8(const wchar_t* text, char* out, int capacity) {
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, capacity, nullptr, nullptr);
}

}  // namespace kw::os
