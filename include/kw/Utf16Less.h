// Utf16Less: orders wide texts by UTF-16 code units, the same on every platform.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw {

// Orders wide texts by their UTF-16 code units, as unsigned 16-bit numbers,
// on every platform (a plain std::wstring compare differs on Linux above U+FFFF).
struct KW_API Utf16Less {
  // Whether `a` sorts before `b`.
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

}  // namespace kw
