// One trace-file event through FileLogDevice next to a bare open(O_APPEND), write and close of
// the same bytes, in the same process and run. Prints a RATIO row at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <kw/Event.h>
#include <kw/FileLogDevice.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RatioReporter.h"

namespace {

// The bytes a file of that many events holds are of no interest: empty it now and then, outside
// the timed part, so a long run does not fill the disk.
const int kEventsPerFile = 20000;

void restart(benchmark::State& state, const std::string& path, int& written) {
  if (++written < kEventsPerFile) return;
  state.PauseTiming();
  ::truncate(path.c_str(), 0);
  written = 0;
  state.ResumeTiming();
}

kw::Event makeEvent() {
  kw::Event event(1051001, L"Worker thread started", kw::Event::Info, L".\\src\\Thread", 120,
                  L"Thread::start");
  event.addDetails(L"Name", L"SharedMemCommDevice.Writer");
  event.addDetails(L"Thread ID", 4711);
  return event;
}

void traceEvent(benchmark::State& state, const std::string& path) {
  kw::FileLogDevice device;
  device.SetLogFilePath(std::wstring(path.begin(), path.end()).c_str());
  kw::Event event = makeEvent();
  int written = 0;
  for (auto _ : state) {
    device.Write(event);
    restart(state, path, written);
  }
}

// The event's text as the device writes it: UTF-16LE code units (its characters are all ASCII).
std::vector<char> eventBytes() {
  std::wstring text = makeEvent().toString(true);
  std::vector<char> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

// The bare loop: the file's own cost of an event, opened with the flags any writer in a shared
// folder uses (no link followed, no wait on a FIFO), without the checks after the open.
void rawAppend(benchmark::State& state, const std::string& path) {
  const std::vector<char> bytes = eventBytes();
  int written = 0;
  for (auto _ : state) {
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
      state.SkipWithError("cannot open the file");
      break;
    }
    benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
    restart(state, path, written);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/kwbench_trace.XXXXXX";
  if (!::mkdtemp(&folder[0])) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string traced = folder + "/KWBench.log", raw = folder + "/raw.log";

  benchmark::RegisterBenchmark("trace/event/kwbase", traceEvent, traced);
  benchmark::RegisterBenchmark("trace/event/open-append-close", rawAppend, raw);
  kwbench::RatioReporter reporter;
  bool ran = kwbench::runRepeated(argc, argv, reporter);
  for (const std::string& file : {traced, raw}) ::unlink(file.c_str());
  ::rmdir(folder.c_str());
  if (!ran) return 1;

  kwbench::printTimeRatio(reporter, "one trace-file event", "trace/event/kwbase",
                          "trace/event/open-append-close", 1.05);
  return 0;
}
