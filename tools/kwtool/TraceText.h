// A trace file's UTF-16LE bytes, arriving in pieces, as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kwtool {

// Turns a trace file's UTF-16LE bytes, fed in pieces as they arrive, into
// text with "\n" line ends. A piece may end inside a code unit, a
// surrogate pair or a "\r\n"; what cannot be decoded yet waits for the
// next. What it holds back is a few bytes and a count, whatever it is fed.
class TraceText {
 public:
  // The text that the bytes complete.
  std::wstring feed(const char* bytes, std::size_t size);
  std::wstring feed(const std::string& bytes) { return feed(bytes.data(), bytes.size()); }
  // What is still held back, decoded as far as it goes (at the file's end).
  std::wstring flush();

 private:
  // Decodes one code unit into `out`.
  void unit(std::uint32_t unit, std::wstring& out);
  // The held-back returns, each escaped: no line end follows them.
  void releaseReturns(std::wstring& out);

  // An odd byte waiting for its partner.
  int m_nOddByte = -1;
  // A high surrogate waiting for its low half, or 0.
  std::uint32_t m_nHigh = 0;
  // Returns in a row, waiting to see whether a line feed ends them.
  std::size_t m_nReturns = 0;
};

}  // namespace kwtool
