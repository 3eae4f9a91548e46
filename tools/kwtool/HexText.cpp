// Hex digits for bytes, and bytes from hex digits with blanks between.
#include "kwtool/HexText.h"

#include <cctype>
#include <vector>

namespace kwtool {

namespace {

bool isSpace(unsigned char c) { return std::isspace(c) != 0; }

}  // namespace

std::string HexText::encode(const kw::ByteArray& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.getData());
  std::string text(static_cast<std::size_t>(bytes.getSize()) * 2, '0');
  for (std::size_t i = 0; i < static_cast<std::size_t>(bytes.getSize()); ++i) {
    text[2 * i] = kDigits[data[i] >> 4];
    text[2 * i + 1] = kDigits[data[i] & 0xF];
  }
  return text;
}

bool HexText::decode(const std::string& text, kw::ByteArray& bytes) {
  std::vector<char> out;
  out.reserve(text.size() / 2);
  int pending = -1;
  for (unsigned char c : text) {
    if (isSpace(c)) continue;
    int value = digitValue(c);
    if (value < 0) return false;
    if (pending < 0) {
      pending = value;
    } else {
      out.push_back(static_cast<char>(pending << 4 | value));
      pending = -1;
    }
  }
  if (pending >= 0) return false;
  bytes.copyData(out.data(), static_cast<int>(out.size()));
  return true;
}

bool HexText::looksLikeHex(const std::string& text) {
  bool digits = false;
  for (unsigned char c : text) {
    if (digitValue(c) >= 0) {
      digits = true;
    } else if (!isSpace(c)) {
      return false;
    }
  }
  return digits;
}

}  // namespace kwtool
