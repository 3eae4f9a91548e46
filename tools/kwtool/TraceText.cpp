// A trace file's UTF-16LE bytes, arriving in pieces, as text.
#include "kwtool/TraceText.h"

#include <cstdint>

#include "kwtool/SafeText.h"

namespace kwtool {

namespace {

// A trace line's own tabs, line feeds and backslashes print as they are; every other
// character that could drive the terminal shows escaped.
void append(std::wstring& out, std::uint32_t c) {
  if (c == L'\\' || c == L'\t' || c == L'\n') {
    SafeText::append(out, c);
  } else {
    SafeText::appendSafe(out, c);
  }
}

}  // namespace

std::wstring TraceText::feed(const std::string& bytes) {
  m_strPending += bytes;
  return decode(false);
}

std::wstring TraceText::flush() { return decode(true); }

std::wstring TraceText::decode(bool atEnd) {
  std::wstring out;
  const std::size_t units = m_strPending.size() / 2;
  auto unitAt = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(m_strPending[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(m_strPending[2 * i + 1])) << 8;
  };
  std::size_t i = 0;
  while (i < units) {
    std::uint32_t unit = unitAt(i);
    if (unit == L'\r') {
      // "\r\n" ends a line, and so does "\r\r\n", which a stack line's
      // own "\r\n" followed by the event's makes.
      std::size_t next = i;
      while (next < units && unitAt(next) == L'\r') ++next;
      if (next == units && !atEnd) break;  // its "\n" may follow
      if (next < units && unitAt(next) == L'\n') {
        out += L'\n';
        i = next + 1;
      } else {
        for (; i < next; ++i) append(out, unit);
      }
      continue;
    }
    const bool last = i + 1 == units;
    if (last && !atEnd && SafeText::isHigh(unit)) break;  // its partner may follow
    if (SafeText::isHigh(unit) && !last && SafeText::isLow(unitAt(i + 1))) {
      append(out, SafeText::join(unit, unitAt(i + 1)));
      i += 2;
    } else {
      append(out, unit);
      ++i;
    }
  }
  m_strPending.erase(0, 2 * i);
  if (atEnd) m_strPending.clear();
  return out;
}

}  // namespace kwtool
