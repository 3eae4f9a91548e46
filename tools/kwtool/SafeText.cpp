// Escapes for the characters of foreign text that could drive a terminal.
#include "kwtool/SafeText.h"

namespace kwtool {

namespace {

std::wstring hex(const wchar_t* prefix, std::uint32_t c, int digits) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text = prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(c >> shift) & 0xF];
  return text;
}

}  // namespace

std::wstring SafeText::escape(std::uint32_t c) {
  switch (c) {
    case '\\':
      return L"\\\\";
    case '\n':
      return L"\\n";
    case '\r':
      return L"\\r";
    case '\t':
      return L"\\t";
    case 0:
      return L"\\0";
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) return hex(L"\\x", c, 2);
  const bool unsafe = (c >= 0x80 && c <= 0x9F) ||    // C1 controls, CSI among them
                      isHigh(c) || isLow(c) ||       // unpaired halves
                      c == 0x2028 || c == 0x2029 ||  // line and paragraph separators
                      (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
                      (c >= 0x2066 && c <= 0x2069);  // bidirectional controls
  return unsafe ? hex(L"\\u", c, 4) : std::wstring();
}

void SafeText::append(std::wstring& out, std::uint32_t c) {
  if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
    out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<wchar_t>(c);
  }
}

void SafeText::appendSafe(std::wstring& out, std::uint32_t c) {
  const std::wstring escaped = escape(c);
  if (escaped.empty()) {
    append(out, c);
  } else {
    out += escaped;
  }
}

std::wstring SafeText::fromUtf16(const std::uint16_t* units, std::size_t count) {
  std::wstring out;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = units[i];
    if (isHigh(c) && i + 1 < count && isLow(units[i + 1])) c = join(c, units[++i]);
    appendSafe(out, c);
  }
  return out;
}

}  // namespace kwtool
