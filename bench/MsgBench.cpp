// Message serialise, parse and memory next to protobuf holding the same attributes, in the same
// process and run; a memcpy of the wire bytes shows the floor. Prints RATIO rows at the end.
#include <benchmark/benchmark.h>
#include <kw/ByteArray.h>
#include <kw/Msg.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MsgPeer.pb.h"
#include "RatioReporter.h"

namespace {

// A short text in the value, a non-Latin-1 letter and a character outside the BMP, as user and
// path names carry.
const wchar_t kSuffix[] = L" \u00e9\U0001F600";
const char kSuffixUtf8[] = " \xc3\xa9\xf0\x9f\x98\x80";

std::wstring wide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }
std::wstring textValue(const char* name) { return L"value of " + wide(name) + kSuffix; }
std::string peerTextValue(const char* name) {
  return "value of " + std::string(name) + kSuffixUtf8;
}

const char* const kIntNames[] = {"ProcessId", "ThreadId",  "SessionId", "Sequence", "State",
                                 "PrevState", "ErrorCode", "Flags",     "Timeout"};
const char* const kStringNames[] = {"Application", "Version", "UserName", "Domain", "Machine",
                                    "Path",        "Command", "Reason",   "Locale", "Language"};
int intValue(int i) { return (i % 2 ? -7 : 7) * (i + 1) * 1000003; }

// MsgType, two ints, a string and a 32-byte hash.
kw::Msg makeSmall() {
  kw::Msg msg;
  msg.setType(kw::Msg::SYSTEM_STATE_CHANGE);
  msg.setAttributeValue(L"ProcessId", intValue(0));
  msg.setAttributeValue(L"Sequence", intValue(3));
  msg.setAttributeValue(L"Application", textValue("Application"));
  msg.setAttributeValue(L"Signature", new kw::ByteArray(std::string(32, '\x5a').data(), 32));
  return msg;
}

kwbench::SmallMsg makeSmallPeer() {
  kwbench::SmallMsg msg;
  msg.set_msg_type(kw::Msg::SYSTEM_STATE_CHANGE);
  msg.set_process_id(intValue(0));
  msg.set_sequence(intValue(3));
  msg.set_application(peerTextValue("Application"));
  msg.set_signature(std::string(32, '\x5a'));
  return msg;
}

// 10 ints with MsgType, 10 strings and 2 byte arrays, as a state change report carries; the large
// shape adds a 64 KiB payload.
kw::Msg makeTypical(bool large = false) {
  kw::Msg msg;
  msg.setType(kw::Msg::SYSTEM_STATE_CHANGE);
  int i = 0;
  for (const char* name : kIntNames) msg.setAttributeValue(wide(name), intValue(i++));
  for (const char* name : kStringNames) msg.setAttributeValue(wide(name), textValue(name));
  msg.setAttributeValue(L"ApplicationHash", new kw::ByteArray(std::string(32, '\x5a').data(), 32));
  msg.setAttributeValue(L"Signature", new kw::ByteArray(std::string(128, '\xa5').data(), 128));
  if (large) {
    std::vector<char> payload(64 * 1024);
    for (std::size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(k * 131);
    msg.setAttributeValue(L"Payload", new kw::ByteArray(payload.data(), 64 * 1024));
  }
  return msg;
}

kwbench::TypicalMsg makeTypicalPeer() {
  kwbench::TypicalMsg msg;
  msg.set_msg_type(kw::Msg::SYSTEM_STATE_CHANGE);
  int i = 0;
  msg.set_process_id(intValue(i++));
  msg.set_thread_id(intValue(i++));
  msg.set_session_id(intValue(i++));
  msg.set_sequence(intValue(i++));
  msg.set_state(intValue(i++));
  msg.set_prev_state(intValue(i++));
  msg.set_error_code(intValue(i++));
  msg.set_flags(intValue(i++));
  msg.set_timeout(intValue(i++));
  msg.set_application(peerTextValue("Application"));
  msg.set_version(peerTextValue("Version"));
  msg.set_user_name(peerTextValue("UserName"));
  msg.set_domain(peerTextValue("Domain"));
  msg.set_machine(peerTextValue("Machine"));
  msg.set_path(peerTextValue("Path"));
  msg.set_command(peerTextValue("Command"));
  msg.set_reason(peerTextValue("Reason"));
  msg.set_locale(peerTextValue("Locale"));
  msg.set_language(peerTextValue("Language"));
  msg.set_application_hash(std::string(32, '\x5a'));
  msg.set_signature(std::string(128, '\xa5'));
  return msg;
}

kw::ByteArray wireOf(const kw::Msg& msg) {
  kw::ByteArray wire;
  msg.toByteArray(wire);
  return wire;
}

void serialise(benchmark::State& state, const kw::Msg& msg) {
  kw::ByteArray out;  // Reused, as a sender's buffer is.
  for (auto _ : state) {
    msg.toByteArray(out);
    benchmark::DoNotOptimize(out.getData());
    benchmark::ClobberMemory();
  }
}

template <typename Peer>
void serialisePeer(benchmark::State& state, const Peer& msg) {
  std::string out;
  for (auto _ : state) {
    msg.SerializeToString(&out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void parse(benchmark::State& state, const kw::ByteArray& wire) {
  for (auto _ : state) {
    kw::Msg msg;  // A receiver parses into a new message.
    msg.fromByteArray(wire);
    benchmark::DoNotOptimize(msg);
  }
}

template <typename Peer>
void parsePeer(benchmark::State& state, const std::string& wire) {
  for (auto _ : state) {
    Peer msg;
    msg.ParseFromString(wire);
    benchmark::DoNotOptimize(msg);
  }
}

void memcpyWire(benchmark::State& state, const kw::ByteArray& wire) {
  const auto size = static_cast<std::size_t>(wire.getSize());
  std::vector<char> target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), wire.getData(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

std::size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Heap bytes that `count` messages parsed from `make()`'s bytes hold while they are alive.
template <typename Make>
double heapOf(int count, Make make) {
  std::vector<std::shared_ptr<void>> kept;
  kept.reserve(count);
  std::size_t before = heapInUse();
  for (int i = 0; i < count; ++i) kept.push_back(make());
  std::size_t after = heapInUse();
  return static_cast<double>(after - before);
}

}  // namespace

int main(int argc, char** argv) {
  const kw::Msg small = makeSmall(), typical = makeTypical(), large = makeTypical(true);
  const kw::ByteArray smallWire = wireOf(small), typicalWire = wireOf(typical),
                      largeWire = wireOf(large);
  const kwbench::SmallMsg smallPeer = makeSmallPeer();
  const kwbench::TypicalMsg typicalPeer = makeTypicalPeer();
  const std::string smallPeerWire = smallPeer.SerializeAsString(),
                    typicalPeerWire = typicalPeer.SerializeAsString();

  using benchmark::RegisterBenchmark;
  RegisterBenchmark("serialise/small/kwbase", serialise, small);
  RegisterBenchmark("serialise/small/protobuf", serialisePeer<kwbench::SmallMsg>, smallPeer);
  RegisterBenchmark("serialise/typical/kwbase", serialise, typical);
  RegisterBenchmark("serialise/typical/protobuf", serialisePeer<kwbench::TypicalMsg>, typicalPeer);
  RegisterBenchmark("parse/small/kwbase", parse, smallWire);
  RegisterBenchmark("parse/small/protobuf", parsePeer<kwbench::SmallMsg>, smallPeerWire);
  RegisterBenchmark("parse/typical/kwbase", parse, typicalWire);
  RegisterBenchmark("parse/typical/protobuf", parsePeer<kwbench::TypicalMsg>, typicalPeerWire);
  RegisterBenchmark("memcpy/typical", memcpyWire, typicalWire);
  RegisterBenchmark("serialise/large/kwbase", serialise, large);
  RegisterBenchmark("parse/large/kwbase", parse, largeWire);
  RegisterBenchmark("memcpy/large", memcpyWire, largeWire);

  kwbench::RatioReporter reporter;
  if (!kwbench::runRepeated(argc, argv, reporter)) return 1;

  // Messages as a receiver holds them: each parsed from the wire into a message of its own.
  const int kCount = 10000;
  double ours = heapOf(kCount, [&] {
    auto msg = std::make_shared<kw::Msg>();
    msg->fromByteArray(typicalWire);
    return std::static_pointer_cast<void>(msg);
  });
  double peer = heapOf(kCount, [&] {
    auto msg = std::make_shared<kwbench::TypicalMsg>();
    msg->ParseFromString(typicalPeerWire);
    return std::static_pointer_cast<void>(msg);
  });

  std::printf("wire sizes: small %d bytes (protobuf %zu), typical %d bytes (protobuf %zu)\n",
              smallWire.getSize(), smallPeerWire.size(), typicalWire.getSize(),
              typicalPeerWire.size());
  kwbench::printTimeRatio(reporter, "Msg::toByteArray, 5 attributes", "serialise/small/kwbase",
                          "serialise/small/protobuf", 1);
  kwbench::printTimeRatio(reporter, "Msg::toByteArray, 22 attributes", "serialise/typical/kwbase",
                          "serialise/typical/protobuf", 1);
  kwbench::printTimeRatio(reporter, "Msg::fromByteArray into a new Msg, 5 attributes",
                          "parse/small/kwbase", "parse/small/protobuf", 1);
  kwbench::printTimeRatio(reporter, "Msg::fromByteArray into a new Msg, 22 attributes",
                          "parse/typical/kwbase", "parse/typical/protobuf", 1);
  kwbench::printRatio("memory of 10,000 typical messages", kwbench::figure(ours / 1e6, "MB"),
                      kwbench::figure(peer / 1e6, "MB"), ours / peer, 1.1);
  return 0;
}
