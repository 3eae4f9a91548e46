// libFuzzer target for the message reader. Any input must either parse or be rejected with a
// CommsException; whatever parses must serialise to bytes that parse back to the same bytes.
#include <kw/ByteArray.h>
#include <kw/CommsException.h>
#include <kw/Exception.h>
#include <kw/Msg.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace {

// Names the exception in flight, then aborts so the fuzzer keeps the input.
[[noreturn]] void failWithCurrentException(const char* step) {
  try {
    throw;
  } catch (const kw::Exception& e) {
    std::fprintf(stderr, "%s threw %s, id %d: %ls\n", step, typeid(e).name(), e.getExceptionID(),
                 e.getDescription());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s threw %s: %s\n", step, typeid(e).name(), e.what());
  } catch (...) {
    std::fprintf(stderr, "%s threw an object of unknown type\n", step);
  }
  std::abort();
}

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
  } catch (...) {
    failWithCurrentException("fromByteArray of the input");
  }

  kw::ByteArray wire;
  kw::Msg second;
  kw::ByteArray again;
  try {
    first.toByteArray(wire);
    // Every attribute was read from the input, and none is written longer than it was read.
    if (wire.getSize() > input.getSize()) fail("re-serialised message is longer than its input");
    parseInto(second, wire);
    second.toByteArray(again);
  } catch (...) {
    failWithCurrentException("round trip of a parsed message");
  }
  if (again != wire) fail("parsing the re-serialised message does not give back its bytes");
  return 0;
}
