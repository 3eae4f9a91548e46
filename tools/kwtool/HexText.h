// The hex form of bytes that encode prints and NAME:hex= takes.
#pragma once

#include <kw/ByteArray.h>

#include <cstdint>
#include <string>

namespace kwtool {

// Bytes as hex digits and back.
class HexText {
 public:
  // Lower-case, two digits per byte.
  static std::string encode(const kw::ByteArray& bytes);
  // Either case; blanks and line ends between digits are ignored. False on
  // any other character or an odd number of digits; `bytes` is then untouched.
  static bool decode(const std::string& text, kw::ByteArray& bytes);
  // The value of one hex digit of either case, -1 for another character.
  static int digitValue(std::uint32_t c) {
    return c >= '0' && c <= '9'   ? static_cast<int>(c - '0')
           : c >= 'a' && c <= 'f' ? static_cast<int>(c - 'a' + 10)
           : c >= 'A' && c <= 'F' ? static_cast<int>(c - 'A' + 10)
                                  : -1;
  }
  // True when the text holds at least one digit and nothing but digits and
  // white space.
  static bool looksLikeHex(const std::string& text);

  HexText() = delete;
};

}  // namespace kwtool
