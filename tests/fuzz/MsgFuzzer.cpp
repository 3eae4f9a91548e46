// libFuzzer target for the message reader. Any input must either parse or be rejected with a
// CommsException; whatever parses must serialise to bytes that parse back to the same bytes.
// Any other exception ends the run, and the fuzzer keeps the input that threw it.
#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Msg.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// A message holding only what the bytes carry, without the type a new message starts with.
void parseInto(kw::Msg& msg, const kw::ByteArray& bytes) {
  msg.removeIntAttribute(L"MsgType");
  msg.fromByteArray(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INT_MAX) return -1;
  const kw::ByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
  kw::Msg first;
  try {
    parseInto(first, input);
  } catch (const kw::CommsException&) {
    return 0;  // The reader's way of rejecting malformed bytes.
  }
  kw::ByteArray wire, again;
  first.toByteArray(wire);
  // Every attribute was read from the input, and none is written longer than it was read.
  if (wire.getSize() > input.getSize()) fail("re-serialised message is longer than its input");
  kw::Msg second;
  parseInto(second, wire);
  second.toByteArray(again);
  if (again != wire) fail("parsing the re-serialised message does not give back its bytes");
  return 0;
}
