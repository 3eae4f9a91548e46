// Message serialise and parse throughput, each next to a baseline that touches the same bytes:
// a memcpy of the wire size into a preallocated buffer, and a fill of a name-keyed map with the
// message's attribute count.
#include <benchmark/benchmark.h>
#include <kw/ByteArray.h>
#include <kw/Msg.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

enum Shape { kTypical, kLarge };

// 10 ints, 10 strings and 2 byte arrays, as a state change report carries; the large shape adds
// a 64 KiB payload.
kw::Msg makeMessage(Shape shape) {
  kw::Msg msg;
  msg.setType(kw::Msg::SYSTEM_STATE_CHANGE);
  const wchar_t* intNames[] = {L"ProcessId", L"ThreadId",  L"SessionId", L"Sequence", L"State",
                               L"PrevState", L"ErrorCode", L"Flags",     L"Timeout"};
  int value = -7;
  for (const wchar_t* name : intNames) msg.setAttributeValue(name, value *= -3);
  const wchar_t* stringNames[] = {L"Application", L"Version", L"UserName", L"Domain", L"Machine",
                                  L"Path",        L"Command", L"Reason",   L"Locale", L"Language"};
  for (const wchar_t* name : stringNames)
    msg.setAttributeValue(name, std::wstring(L"value of ") + name + L" \u00e9\U0001F600");
  std::vector<char> hash(32, '\x5a');
  std::vector<char> signature(128, '\xa5');
  msg.setAttributeValue(L"ApplicationHash", new kw::ByteArray(hash.data(), 32));
  msg.setAttributeValue(L"Signature", new kw::ByteArray(signature.data(), 128));
  if (shape == kLarge) {
    std::vector<char> payload(64 * 1024);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131);
    msg.setAttributeValue(L"Payload", new kw::ByteArray(payload.data(), 64 * 1024));
  }
  return msg;
}

kw::ByteArray wireOf(const kw::Msg& msg) {
  kw::ByteArray wire;
  msg.toByteArray(wire);
  return wire;
}

std::vector<std::wstring> namesOf(Shape shape) {
  std::wstring text;
  makeMessage(shape).toString(text);
  std::vector<std::wstring> names;
  for (std::size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
       start = end + 2)
    names.push_back(text.substr(start, text.find(L'=', start) - start));
  return names;
}

void BM_Serialise(benchmark::State& state, Shape shape) {
  const kw::Msg msg = makeMessage(shape);
  kw::ByteArray out;  // Reused, as the memcpy baseline's buffer is.
  for (auto _ : state) {
    msg.toByteArray(out);
    benchmark::DoNotOptimize(out.getData());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * out.getSize());
}

void BM_Parse(benchmark::State& state, Shape shape) {
  const kw::ByteArray wire = wireOf(makeMessage(shape));
  for (auto _ : state) {
    kw::Msg msg;  // A receiver parses into a new message.
    msg.fromByteArray(wire);
    benchmark::DoNotOptimize(msg);
  }
  state.SetBytesProcessed(state.iterations() * wire.getSize());
}

void BM_BaselineMemcpy(benchmark::State& state, Shape shape) {
  const kw::ByteArray wire = wireOf(makeMessage(shape));
  const auto size = static_cast<std::size_t>(wire.getSize());
  std::vector<char> target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), wire.getData(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * wire.getSize());
}

void BM_BaselineMapFill(benchmark::State& state, Shape shape) {
  const int wireSize = wireOf(makeMessage(shape)).getSize();
  const std::vector<std::wstring> names = namesOf(shape);
  for (auto _ : state) {
    std::map<std::wstring, int> map;
    int value = 0;
    for (const std::wstring& name : names) map.emplace(name, ++value);
    benchmark::DoNotOptimize(map);
  }
  state.SetBytesProcessed(state.iterations() * wireSize);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Serialise, typical, kTypical);
BENCHMARK_CAPTURE(BM_BaselineMemcpy, typical, kTypical);
BENCHMARK_CAPTURE(BM_Parse, typical, kTypical);
BENCHMARK_CAPTURE(BM_BaselineMapFill, typical, kTypical);
BENCHMARK_CAPTURE(BM_Serialise, large, kLarge);
BENCHMARK_CAPTURE(BM_BaselineMemcpy, large, kLarge);
BENCHMARK_CAPTURE(BM_Parse, large, kLarge);
BENCHMARK_CAPTURE(BM_BaselineMapFill, large, kLarge);
