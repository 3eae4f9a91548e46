// Utf16Less: compares by UTF-16 code units through the shared conversion code.
#include <kw/Utf16Less.h>

#include "Utf16.h"

namespace kw {

bool Utf16Less::operator()(const std::wstring& a, const std::wstring& b) const {
  return utf16::compare(a, b) < 0;
}

}  // namespace kw
