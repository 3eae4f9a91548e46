// One message's wire bytes read from a stream, raw or as hex text.
#pragma once

#include <kw/ByteArray.h>

#include <iosfwd>
#include <string>

namespace kwtool {

// Reads one message's wire bytes, raw or as hex text, from a stream. The
// header's total length says how much to take, so a stream that goes on
// for ever, or a huge file, costs no more than the message it claims to be.
class MessageInput {
 public:
  enum class Format { Guess, Hex, Raw };

  // At most this many blanks in a row in hex text.
  static constexpr int kMaxBlankRun = 4096;

  // `bytes` receives what the library is to parse: the whole message, or
  // as much of it as shows that it is malformed (the header alone when
  // the version or the length is wrong, one byte more than the header
  // claims when the input is longer). False with `error` for hex text
  // that is not hex. Guess reads hex when the input starts with a hex
  // digit or a blank; a raw message starts with its version, 01.
  static bool read(std::istream& in, Format format, kw::ByteArray& bytes, std::wstring& error);

  MessageInput() = delete;
};

}  // namespace kwtool
