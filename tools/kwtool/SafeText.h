#pragma once

#include <cstdint>
#include <string>

namespace kwtool {

// Text that came from elsewhere (a peer's message, a trace file), made safe
// to print: a control character, an unpaired surrogate, a line separator or
// a bidirectional override shows as an escape (\n, \r, \t, \0, \xHH,
// \uHHHH), and the backslash as \\, so the text can neither drive the
// terminal nor cut or forge a line.
class SafeText {
 public:
  // The escape for a code point, or empty when it prints as itself.
  static std::string escape(std::uint32_t c);
  // UTF-16 code units, pairs joined, as UTF-8 with the escapes.
  static std::string fromUtf16(const std::uint16_t* units, std::size_t count);
  static void appendUtf8(std::string& out, std::uint32_t c);

  SafeText() = delete;
};

}  // namespace kwtool
