// Wide text in the narrow encoding of the C runtime's current locale. Inline,
// so that kwtool prints its own text exactly as the console device does.
#pragma once

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>

namespace kw {

// A character that the locale cannot represent becomes one '?' (a surrogate
// pair too), where the runtime's "%ls" would stop and drop the rest.
inline std::string toLocaleText(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  char bytes[MB_LEN_MAX];
  std::mbstate_t state{};
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    // No code page of a Windows locale holds a character beyond U+FFFF.
    if (sizeof(wchar_t) == 2 && unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
        static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<std::uint32_t>(text[i + 1]) <= 0xDFFF) {
      out += '?';
      ++i;
      continue;
    }
    const std::size_t size = std::wcrtomb(bytes, text[i], &state);
    if (size == static_cast<std::size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
    } else {
      out.append(bytes, size);
    }
  }
  return out;
}

}  // namespace kw
