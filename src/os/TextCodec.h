// UTF-8 <-> wide text with the platform's converter.
#pragma once

namespace kw::os {

// Both convert a NUL-terminated text, terminator included. With capacity 0
// they only report the size needed; they return 0 on failure, with the
// reason as the thread's last system error.
int utf8ToWide(const char* text, wchar_t* out, int capacity);
int wideToUtf8(const wchar_t* text, char* out, int capacity);

}  // namespace kw::os
