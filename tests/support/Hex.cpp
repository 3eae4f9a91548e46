// Hex text <-> ByteArray for test data.
#include "support/Hex.h"

#include <gtest/gtest.h>

namespace kwtest {

std::string toHex(const kw::ByteArray& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.getSize() * 2);
  for (int i = 0; i < bytes.getSize(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes.getData()[i]);
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

static int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool fromHex(const std::string& text, kw::ByteArray& bytes) {
  std::string raw;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    int v = digitValue(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      raw += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) return false;
  bytes.copyData(raw.data(), static_cast<int>(raw.size()));
  return true;
}

kw::ByteArray hex(const std::string& text) {
  kw::ByteArray bytes;
  EXPECT_TRUE(fromHex(text, bytes)) << "bad hex: " << text;
  return bytes;
}

}  // namespace kwtest
