// UTF-8 and wide text on Linux, through the library's own UTF-16 code. Twin
// of win32/TextCodec.cpp.
#include "os/TextCodec.h"

#include <cerrno>
#include <climits>
#include <string>

#include "Utf16.h"
#include "os/ErrorText.h"

namespace kw::os {

namespace {

// How the converters answer: size query at capacity 0, else copy or fail.
template <typename Char>
int deliver(const std::basic_string<Char>& converted, Char* out, int capacity) {
  if (converted.size() >= static_cast<std::size_t>(INT_MAX)) return failing(EOVERFLOW, 0);
  int needed = static_cast<int>(converted.size()) + 1;
  if (capacity == 0) return needed;
  if (capacity < needed || !out) return failing(ENOBUFS, 0);
  converted.copy(out, converted.size());
  out[converted.size()] = Char();
  return needed;
}

}  // namespace

int utf8ToWide(const char* text, wchar_t* out, int capacity) {
  if (!text) return failing(EINVAL, 0);
  return deliver(utf16::fromUtf8(text), out, capacity);
}

int wideToUtf8(const wchar_t* text, char* out, int capacity) {
  if (!text) return failing(EINVAL, 0);
  return deliver(utf16::toUtf8(text), out, capacity);
}

}  // namespace kw::os
