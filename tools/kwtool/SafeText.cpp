#include "kwtool/SafeText.h"

namespace kwtool {

namespace {

bool isHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string hex(const char* prefix, std::uint32_t c, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(c >> shift) & 0xF];
  return text;
}

}  // namespace

std::string SafeText::escape(std::uint32_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case 0:
      return "\\0";
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) return hex("\\x", c, 2);
  const bool unsafe = (c >= 0x80 && c <= 0x9F) ||    // C1 controls, CSI among them
                      isHigh(c) || isLow(c) ||       // unpaired halves
                      c == 0x2028 || c == 0x2029 ||  // line and paragraph separators
                      (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
                      (c >= 0x2066 && c <= 0x2069);  // bidirectional controls
  return unsafe ? hex("\\u", c, 4) : std::string();
}

void SafeText::appendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string SafeText::fromUtf16(const std::uint16_t* units, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = units[i];
    if (isHigh(c) && i + 1 < count && isLow(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    }
    const std::string escaped = escape(c);
    if (escaped.empty()) {
      appendUtf8(out, c);
    } else {
      out += escaped;
    }
  }
  return out;
}

}  // namespace kwtool
