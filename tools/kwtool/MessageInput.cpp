// One message's wire bytes read from a stream, raw or as hex text.
#include "kwtool/MessageInput.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <istream>
#include <string>

#include "kwtool/HexText.h"

namespace kwtool {

namespace {

constexpr int kHeaderSize = 8;
constexpr int kChunk = 64 * 1024;

bool isBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Yields the input's bytes, from raw bytes or decoded from hex text.
class Source {
 public:
  Source(std::istream& in, bool hex) : m_in(in), m_bHex(hex) {}

  // Up to `count` bytes into `out`; fewer only at the input's end. False
  // with `error` for bad hex text.
  bool take(char* out, int count, int& got, std::wstring& error) {
    got = 0;
    if (!m_bHex) {
      m_in.read(out, count);
      got = static_cast<int>(m_in.gcount());
      return true;
    }
    int blanks = 0;
    int high = -1;
    while (got < count) {
      const int c = m_in.get();
      if (c == std::char_traits<char>::eof()) break;
      if (isBlank(c)) {
        if (++blanks > MessageInput::kMaxBlankRun) {
          error = L"input holds more than " + std::to_wstring(MessageInput::kMaxBlankRun) +
                  L" blanks in a row";
          return false;
        }
        continue;
      }
      blanks = 0;
      const int value = HexText::digitValue(static_cast<std::uint32_t>(c));
      if (value < 0) {
        error = L"input is not hex digits: found the byte " + std::to_wstring(c & 0xFF);
        return false;
      }
      if (high < 0) {
        high = value;
      } else {
        out[got++] = static_cast<char>(high << 4 | value);
        high = -1;
      }
    }
    if (high >= 0) {
      error = L"input is not an even number of hex digits";
      return false;
    }
    return true;
  }

 private:
  std::istream& m_in;
  bool m_bHex;
};

std::int32_t intAt(const char* data) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[i]);
  return static_cast<std::int32_t>(value);
}

}  // namespace

bool MessageInput::read(std::istream& in, Format format, kw::ByteArray& bytes,
                        std::wstring& error) {
  bool hex = format == Format::Hex;
  if (format == Format::Guess) {
    const int first = in.peek();
    hex = first != std::char_traits<char>::eof() &&
          (isBlank(first) || HexText::digitValue(static_cast<std::uint32_t>(first)) >= 0);
  }
  Source source(in, hex);
  bytes.clear();

  char header[kHeaderSize];
  int got = 0;
  if (!source.take(header, kHeaderSize, got, error)) return false;
  bytes.appendData(header, got);
  // Too short, another version or an impossible length: the header alone
  // is enough for the library to name the fault.
  if (got < kHeaderSize || intAt(header) != 1 || intAt(header + 4) < kHeaderSize) return true;

  const std::int32_t length = intAt(header + 4);
  std::string chunk(kChunk, '\0');
  int capacity = got;
  while (bytes.getSize() < length) {
    const int count = std::min(kChunk, length - bytes.getSize());
    if (!source.take(&chunk[0], count, got, error)) return false;
    if (got == 0) return true;  // shorter than its header says
    // Grown by doubling, never beyond what the header claims: memory
    // follows the bytes that really arrive.
    if (bytes.getSize() + got > capacity) {
      capacity = static_cast<int>(std::min<std::int64_t>(
          length,
          std::max<std::int64_t>(std::int64_t{bytes.getSize()} * 2, bytes.getSize() + got)));
      bytes.ensure(capacity);
    }
    bytes.appendData(&chunk[0], got);
  }
  // One byte more shows an input longer than its header says.
  char extra = 0;
  if (!source.take(&extra, 1, got, error)) return false;
  if (got == 1) {
    if (length < 0x7FFFFFFF) {
      bytes.appendData(&extra, 1);
    } else {
      bytes.resize(length - 1);
    }
  }
  return true;
}

}  // namespace kwtool
