#include "kwtool/TraceText.h"

#include <cstdint>

namespace kwtool {

namespace {

void appendUtf8(std::string& out, std::uint32_t c) {
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

bool isHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string TraceText::feed(const std::string& bytes) {
  m_pending += bytes;
  return decode(false);
}

std::string TraceText::flush() { return decode(true); }

std::string TraceText::decode(bool atEnd) {
  std::string out;
  const std::size_t units = m_pending.size() / 2;
  auto unitAt = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(m_pending[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(m_pending[2 * i + 1])) << 8;
  };
  std::size_t i = 0;
  while (i < units) {
    std::uint32_t unit = unitAt(i);
    const bool last = i + 1 == units;
    if (last && !atEnd && (isHigh(unit) || unit == L'\r')) break;  // its partner may follow
    if (unit == L'\r' && !last && unitAt(i + 1) == L'\n') {
      out += '\n';
      i += 2;
    } else if (isHigh(unit) && !last && isLow(unitAt(i + 1))) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00));
      i += 2;
    } else {
      // A lone surrogate cannot be UTF-8: it shows as the replacement character.
      appendUtf8(out, isHigh(unit) || isLow(unit) ? 0xFFFD : unit);
      ++i;
    }
  }
  m_pending.erase(0, 2 * i);
  if (atEnd) m_pending.clear();
  return out;
}

}  // namespace kwtool
