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

std::wstring TraceText::feed(const char* bytes, std::size_t size) {
  std::wstring out;
  out.reserve(size / 2 + 1);
  std::size_t i = 0;
  if (m_nOddByte >= 0 && size > 0) {
    unit(static_cast<std::uint32_t>(m_nOddByte) |
             static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) << 8,
         out);
    m_nOddByte = -1;
    i = 1;
  }
  for (; i + 1 < size; i += 2) {
    unit(static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
             static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8,
         out);
  }
  if (i < size) m_nOddByte = static_cast<unsigned char>(bytes[i]);
  return out;
}

std::wstring TraceText::flush() {
  std::wstring out;
  if (m_nHigh) append(out, m_nHigh);
  m_nHigh = 0;
  releaseReturns(out);
  m_nOddByte = -1;
  return out;
}

void TraceText::releaseReturns(std::wstring& out) {
  for (; m_nReturns > 0; --m_nReturns) append(out, L'\r');
}

void TraceText::unit(std::uint32_t unit, std::wstring& out) {
  if (m_nHigh) {
    const std::uint32_t high = m_nHigh;
    m_nHigh = 0;
    if (SafeText::isLow(unit)) {
      append(out, SafeText::join(high, unit));
      return;
    }
    append(out, high);
  }
  // "\r\n" ends a line, and so does "\r\r\n", which a stack line's own
  // "\r\n" followed by the event's makes.
  if (unit == L'\r') {
    ++m_nReturns;
    return;
  }
  if (unit == L'\n') {
    m_nReturns = 0;
    out += L'\n';
    return;
  }
  releaseReturns(out);
  if (SafeText::isHigh(unit)) {
    m_nHigh = unit;  // its partner may follow
  } else {
    append(out, unit);
  }
}

}  // namespace kwtool
