// Exception construction, which walks and symbolises the stack, next to a
// bare unwind of the same stack (_Unwind_Backtrace) and Boost.Stacktrace
// (capture and to_string, libbacktrace backend) in the same run.
//
// The first exception of a process and the memory that 1000 exceptions leave
// behind are measured in fresh child processes: this program runs itself
// with "--child <what> <who>" and reads one figure from the child's output.
// Debug files with compressed sections are read from the user's cache of
// uncompressed copies: the rows run with that cache warm, and one more line
// shows the first exception with an empty cache (what the user's very first
// process pays once).
#define BOOST_STACKTRACE_LINK
#define BOOST_STACKTRACE_DYN_LINK
#include <kw/Exception.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <boost/stacktrace.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int kRuns = 5;

// Processor time of the process, which a busy machine does not stretch.
double cpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

double microsecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

_Unwind_Reason_Code countFrame(_Unwind_Context* context, void* data) {
  ++*static_cast<int*>(data);
  volatile _Unwind_Ptr ip = _Unwind_GetIP(context);
  (void)ip;
  return _URC_NO_REASON;
}

int bareUnwind() {
  int frames = 0;
  _Unwind_Backtrace(&countFrame, &frames);
  return frames;
}

std::size_t kwException() {
  kw::Exception e(1, L"bench", L"f", 1, L"g");
  return std::wcslen(e.getStackTrace());
}

std::size_t boostTrace() {
  return boost::stacktrace::to_string(boost::stacktrace::stacktrace()).size();
}

// Calls the measured step a few frames down, so that every contender walks a
// stack of the same depth, about that of a throw site in an application.
template <typename Step>
__attribute__((noinline)) void nested(int depth, Step& step) {
  if (depth > 0) {
    nested(depth - 1, step);
    asm volatile("");
    return;
  }
  step();
}

// Mean microseconds of processor time per call over `count` calls, median of
// kRuns runs: on a shared machine the wall clock also counts other programs.
template <typename Call>
double perCall(int count, Call call) {
  std::vector<double> runs;
  for (int run = 0; run < kRuns; ++run) {
    volatile std::size_t sink = 0;
    auto step = [&] {
      const double start = cpuMicroseconds();
      for (int i = 0; i < count; ++i) sink = sink + static_cast<std::size_t>(call());
      runs.push_back((cpuMicroseconds() - start) / count);
    };
    nested(4, step);
  }
  return median(runs);
}

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Figures from a fresh process: microseconds of the first trace (wall clock,
// then processor time), or the megabytes that 1000 traces add while their
// texts come and go (all of them, then those after the first).
int child(const std::string& what, const std::string& who) {
  const bool kw = who == "kw";
  double figure = 0, second = 0;
  auto step = [&] {
    if (what == "first") {
      Clock::time_point start = Clock::now();
      double cpu = cpuMicroseconds();
      volatile std::size_t size = kw ? kwException() : boostTrace();
      (void)size;
      figure = microsecondsSince(start);
      second = cpuMicroseconds() - cpu;
    } else {
      long before = residentKilobytes(), afterFirst = 0;
      for (int i = 0; i < 1000; ++i) {
        if (i == 1) afterFirst = residentKilobytes();
        volatile std::size_t size = kw ? kwException() : boostTrace();
        (void)size;
      }
      long after = residentKilobytes();
      figure = (after - before) / 1024.0;
      second = (after - afterFirst) / 1024.0;
    }
  };
  nested(4, step);
  std::printf("%f %f\n", figure, second);
  return 0;
}

struct Figures {
  double first = -1, second = -1;
};

// `cache`, when given, is the child's XDG_CACHE_HOME.
Figures inChild(const char* self, const char* what, const char* who, const char* cache = nullptr) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return Figures();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeEnds[1], 1);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    if (cache) setenv("XDG_CACHE_HOME", cache, 1);
    execl(self, self, "--child", what, who, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeEnds[1]);
  char buffer[64] = {};
  std::size_t used = 0;
  ssize_t count;
  while (used < sizeof buffer - 1 &&
         (count = read(pipeEnds[0], buffer + used, sizeof buffer - 1 - used)) > 0)
    used += static_cast<std::size_t>(count);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Figures figures;
  if (used) std::sscanf(buffer, "%lf %lf", &figures.first, &figures.second);
  return figures;
}

Figures medianInChildren(const char* self, const char* what, const char* who,
                         bool coldCache = false) {
  std::vector<double> firsts, seconds;
  for (int run = 0; run < kRuns; ++run) {
    char cache[] = "/tmp/kwbench-cache-XXXXXX";
    if (coldCache && !mkdtemp(cache)) return Figures();
    Figures figures = inChild(self, what, who, coldCache ? cache : nullptr);
    if (coldCache) std::filesystem::remove_all(cache);
    firsts.push_back(figures.first);
    seconds.push_back(figures.second);
  }
  Figures result;
  result.first = median(firsts);
  result.second = median(seconds);
  return result;
}

void ratioRow(const char* row, double ours, double peer, const char* unit, double ratio,
              const char* goal, bool ok) {
  std::printf("RATIO\t%s\t%.1f %s\t%.1f %s\t%.1fx\t%s\t%s\n", row, ours, unit, peer, unit, ratio,
              goal, ok ? "ok" : "MISS");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3]);

  const char* self = "/proc/self/exe";
  char path[4096] = {};
  ssize_t length = readlink(self, path, sizeof path - 1);
  if (length > 0) self = path;

  // Frames on the measured stack, as the bare unwind counts them.
  int frames = 0;
  auto count = [&] { frames = bareUnwind(); };
  nested(4, count);

  const Figures coldKw = medianInChildren(self, "first", "kw", true);
  inChild(self, "first", "kw");  // fills the user's cache if it is empty
  const Figures firstKw = medianInChildren(self, "first", "kw");
  const Figures firstBoost = medianInChildren(self, "first", "boost");
  const Figures memoryKw = medianInChildren(self, "memory", "kw");
  const Figures memoryBoost = medianInChildren(self, "memory", "boost");

  kwException();  // the session is warm from here on
  boostTrace();
  const double bare = perCall(100000, bareUnwind);
  const double steadyKw = perCall(5000, kwException);
  const double steadyBoost = perCall(500, boostTrace);

  std::printf("frames on the stack: %d\n", frames);
  std::printf(
      "steady state (processor time): kwbase %.2f us, bare unwind %.2f us, Boost.Stacktrace %.2f "
      "us\n",
      steadyKw, bare, steadyBoost);
  std::printf(
      "first trace of a process: kwbase %.1f ms (processor %.1f ms), Boost.Stacktrace %.1f ms "
      "(processor %.1f ms)\n",
      firstKw.first / 1000, firstKw.second / 1000, firstBoost.first / 1000,
      firstBoost.second / 1000);
  std::printf("first trace with an empty debug file cache: kwbase %.1f ms (processor %.1f ms)\n",
              coldKw.first / 1000, coldKw.second / 1000);
  std::printf(
      "after 1000 traces: kwbase +%.1f MB (+%.1f MB after the first), Boost.Stacktrace +%.1f MB "
      "(+%.1f MB after the first)\n",
      memoryKw.first, memoryKw.second, memoryBoost.first, memoryBoost.second);

  const std::string steadyRow =
      "Exception construction, steady state (" + std::to_string(frames) + " frames)";
  ratioRow(steadyRow.c_str(), steadyKw, bare, "us", steadyKw / bare, "<= 5x", steadyKw <= 5 * bare);
  const double firstMs = firstKw.first / 1000, peerFirstMs = firstBoost.first / 1000;
  ratioRow("first Exception of a process", firstMs, peerFirstMs, "ms", firstMs / peerFirstMs,
           "<= 20 ms", firstMs <= 20);
  ratioRow("memory after 1000 exceptions", memoryKw.first, memoryBoost.first, "MB",
           memoryBoost.first > 0 ? memoryKw.first / memoryBoost.first : 0, "<= 8 MB",
           memoryKw.first <= 8);
  return 0;
}
