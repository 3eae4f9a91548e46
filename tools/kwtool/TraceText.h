// A trace file's UTF-16LE bytes, arriving in pieces, as text.
#pragma once

#include <string>

namespace kwtool {

// Turns a trace file's UTF-16LE bytes, fed in pieces as they arrive, into
// text with "\n" line ends. A piece may end inside a code unit, a
// surrogate pair or a "\r\n"; what cannot be decoded yet waits for the next.
class TraceText {
 public:
  // The text that the bytes complete.
  std::wstring feed(const std::string& bytes);
  // What is still held back, decoded as far as it goes (at the file's end).
  std::wstring flush();

 private:
  std::wstring decode(bool atEnd);

  std::string m_strPending;
};

}  // namespace kwtool
