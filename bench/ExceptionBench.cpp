// Exception construction, which walks and symbolises the stack, next to a
// bare unwind of the same stack (the runtime's _Unwind_Backtrace) and
// Boost.Stacktrace (capture and to_string, libbacktrace backend) in the same
// run.
//
// The program is built and linked the way an application is: with debug
// information, against a kwbase that has its own (scripts/bench.sh builds it
// RelWithDebInfo, as the install instructions do), and with libunwind and
// Boost.Stacktrace listed before kwbase, so that the plain name
// _Unwind_Backtrace binds to libunwind's copy here. The baseline therefore
// takes the runtime's unwinder from libgcc_s by name, as kwbase does; the
// interposed one is shown on a line of its own. Every contender walks from
// the same depth: kFrames frames as the bare unwind counts them.
//
// The first exception of a process and the memory that 1000 exceptions leave
// behind are measured in fresh child processes: this program runs itself
// with "--child <what> <who> <depth>" and reads the figures from the child's
// output. Debug files with compressed sections are read from the user's
// cache of uncompressed copies, and frames resolved once are kept there
// for later processes: the rows run with that cache warm, one more row shows
// the first exception with an empty cache (what the user's very first
// process pays once), and a line the first exception when no frame was
// kept at all (every module's debug data opened, as a site never met
// before in every module would).
#define BOOST_STACKTRACE_LINK
#define BOOST_STACKTRACE_DYN_LINK
#include <dlfcn.h>
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

#ifndef KW_BENCH_BUILD_TYPE
#define KW_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;
const int kRuns = 5;
// The depth of a throw site in an application, as the bare unwind counts it.
const int kFrames = 11;

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

typedef _Unwind_Reason_Code (*Backtrace)(_Unwind_Trace_Fn, void*);
typedef _Unwind_Ptr (*GetIp)(_Unwind_Context*);

// An unwinder's two entry points, and the library they come from.
struct Unwinder {
  Backtrace backtrace = nullptr;
  GetIp getIp = nullptr;
  std::string library;
};

std::string libraryOf(const void* function) {
  Dl_info info{};
  if (!function || !dladdr(function, &info) || !info.dli_fname) return "?";
  return std::filesystem::path(info.dli_fname).filename().string();
}

// The C++ runtime's unwinder, whatever the program lists first.
const Unwinder& runtimeUnwinder() {
  static const Unwinder unwinder = [] {
    Unwinder found;
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return found;
    found.backtrace = reinterpret_cast<Backtrace>(dlsym(library, "_Unwind_Backtrace"));
    found.getIp = reinterpret_cast<GetIp>(dlsym(library, "_Unwind_GetIP"));
    found.library = libraryOf(reinterpret_cast<const void*>(found.backtrace));
    return found;
  }();
  return unwinder;
}

// The unwinder that the plain names bind to in this program.
const Unwinder& linkedUnwinder() {
  static const Unwinder unwinder = [] {
    Unwinder found;
    found.backtrace = &_Unwind_Backtrace;
    found.getIp = &_Unwind_GetIP;
    found.library = libraryOf(reinterpret_cast<const void*>(found.backtrace));
    return found;
  }();
  return unwinder;
}

struct Walk {
  const Unwinder* unwinder;
  int frames;
};

_Unwind_Reason_Code countFrame(_Unwind_Context* context, void* data) {
  auto* walk = static_cast<Walk*>(data);
  ++walk->frames;
  volatile _Unwind_Ptr ip = walk->unwinder->getIp(context);
  (void)ip;
  return _URC_NO_REASON;
}

int unwindWith(const Unwinder& unwinder) {
  Walk walk{&unwinder, 0};
  if (unwinder.backtrace) unwinder.backtrace(&countFrame, &walk);
  return walk.frames;
}

// Named so that a profiler's toggles find them.
__attribute__((noinline)) int bareUnwind() { return unwindWith(runtimeUnwinder()); }
__attribute__((noinline)) int linkedUnwind() { return unwindWith(linkedUnwinder()); }

__attribute__((noinline)) std::size_t kwException() {
  kw::Exception e(1, L"bench", L"f", 1, L"g");
  return std::wcslen(e.getStackTrace());
}

__attribute__((noinline)) std::size_t boostTrace() {
  return boost::stacktrace::to_string(boost::stacktrace::stacktrace()).size();
}

// Runs the step `depth` frames further down.
template <typename Step>
__attribute__((noinline)) void nested(int depth, Step& step) {
  if (depth > 0) {
    nested(depth - 1, step);
    asm volatile("");
    return;
  }
  step();
}

// The depth at which a contender called from a step runs with kFrames frames
// on the stack, as the bare unwind counts them from there.
int calibratedDepth() {
  for (int depth = 0; depth < 64; ++depth) {
    int frames = 0;
    auto step = [&] { frames = bareUnwind(); };
    nested(depth, step);
    if (frames >= kFrames) return depth;
  }
  return 0;
}

// Mean microseconds of processor time per call over `count` calls at the
// depth; on a shared machine the wall clock also counts other programs.
template <typename Call>
double perCall(int depth, int count, Call call) {
  double result = 0;
  auto step = [&] {
    volatile std::size_t sink = 0;
    const double start = cpuMicroseconds();
    for (int i = 0; i < count; ++i) sink = sink + static_cast<std::size_t>(call());
    result = (cpuMicroseconds() - start) / count;
  };
  nested(depth, step);
  return result;
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
int child(const std::string& what, const std::string& who, int depth) {
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
  nested(depth, step);
  std::printf("%f %f\n", figure, second);
  return 0;
}

struct Figures {
  double first = -1, second = -1;
};

// `cache`, when given, is the child's XDG_CACHE_HOME.
Figures inChild(const char* self, const char* what, const char* who, int depth,
                const char* cache = nullptr) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return Figures();
  const std::string depthText = std::to_string(depth);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeEnds[1], 1);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    if (cache) setenv("XDG_CACHE_HOME", cache, 1);
    execl(self, self, "--child", what, who, depthText.c_str(), static_cast<char*>(nullptr));
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

// The state of the user's cache each child starts from.
enum class Cache {
  kWarm,        // the user's own, filled
  kEmpty,       // a new, empty one
  kCopiesOnly,  // the uncompressed debug copies made, no frame kept (as before frames were kept)
};

Figures medianInChildren(const char* self, const char* what, const char* who, int depth,
                         Cache state = Cache::kWarm) {
  std::vector<double> firsts, seconds;
  char copies[] = "/tmp/kwbench-cache-XXXXXX";
  if (state == Cache::kCopiesOnly) {
    if (!mkdtemp(copies)) return Figures();
    inChild(self, "first", "kw", depth, copies);
  }
  for (int run = 0; run < kRuns; ++run) {
    char cache[] = "/tmp/kwbench-cache-XXXXXX";
    if (state == Cache::kEmpty && !mkdtemp(cache)) return Figures();
    if (state == Cache::kCopiesOnly)
      std::filesystem::remove_all(std::filesystem::path(copies) / "kwbase" / "frames");
    Figures figures = inChild(self, what, who, depth,
                              state == Cache::kEmpty        ? cache
                              : state == Cache::kCopiesOnly ? copies
                                                            : nullptr);
    if (state == Cache::kEmpty) std::filesystem::remove_all(cache);
    firsts.push_back(figures.first);
    seconds.push_back(figures.second);
  }
  if (state == Cache::kCopiesOnly) std::filesystem::remove_all(copies);
  Figures result;
  result.first = median(firsts);
  result.second = median(seconds);
  return result;
}

void ratioRow(const std::string& row, double ours, const std::string& peer, double peerFigure,
              const char* unit, const char* goal, bool ok) {
  std::printf("RATIO\t%s\t%.2f %s\t%s %.2f %s\t%.2fx\t%s\t%s\n", row.c_str(), ours, unit,
              peer.c_str(), peerFigure, unit, peerFigure > 0 ? ours / peerFigure : 0.0, goal,
              ok ? "ok" : "MISS");
}

// Whether kwbase's own frames came with source files and lines.
bool kwbaseHasLines() {
  kw::Exception e(1, L"bench", L"f", 1, L"g");
  return std::wcsstr(e.getStackTrace(), L"Exception.cpp (") != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
    return child(argv[2], argv[3], std::atoi(argv[4]));

  const char* self = "/proc/self/exe";
  char path[4096] = {};
  ssize_t length = readlink(self, path, sizeof path - 1);
  if (length > 0) self = path;

  const int depth = calibratedDepth();

  const Figures coldKw = medianInChildren(self, "first", "kw", depth, Cache::kEmpty);
  const Figures copiesKw = medianInChildren(self, "first", "kw", depth, Cache::kCopiesOnly);
  inChild(self, "first", "kw", depth);  // fills the user's cache if it is empty
  const Figures firstKw = medianInChildren(self, "first", "kw", depth);
  const Figures firstBoost = medianInChildren(self, "first", "boost", depth);
  const Figures memoryKw = medianInChildren(self, "memory", "kw", depth);
  const Figures memoryBoost = medianInChildren(self, "memory", "boost", depth);

  const bool lines = kwbaseHasLines();  // the session is warm from here on
  boostTrace();
  linkedUnwind();
  int frames = 0;
  auto count = [&] { frames = bareUnwind(); };
  nested(depth, count);

  // Runs take turns, so that every contender meets the same load.
  std::vector<double> bare, linked, kw, boost;
  for (int run = 0; run < kRuns; ++run) {
    bare.push_back(perCall(depth, 100000, bareUnwind));
    linked.push_back(perCall(depth, 20000, linkedUnwind));
    kw.push_back(perCall(depth, 5000, kwException));
    boost.push_back(perCall(depth, 500, boostTrace));
  }
  const double bareUs = median(bare), linkedUs = median(linked), kwUs = median(kw),
               boostUs = median(boost);

  std::printf("built as %s; kwbase frames with files and lines: %s\n", KW_BENCH_BUILD_TYPE,
              lines ? "yes" : "no");
  std::printf("frames on the measured stack: %d (bare unwind from the measured call)\n", frames);
  std::printf("the runtime's _Unwind_Backtrace (baseline) is %s's; the name binds to %s's here\n",
              runtimeUnwinder().library.c_str(), linkedUnwinder().library.c_str());
  std::printf(
      "steady state (processor time): kwbase %.2f us, bare unwind %.2f us, the name's "
      "_Unwind_Backtrace %.2f us, Boost.Stacktrace %.2f us\n",
      kwUs, bareUs, linkedUs, boostUs);
  std::printf(
      "first trace of a process (processor time): kwbase %.2f ms (wall %.2f ms), "
      "Boost.Stacktrace %.1f ms (wall %.1f ms)\n",
      firstKw.second / 1000, firstKw.first / 1000, firstBoost.second / 1000,
      firstBoost.first / 1000);
  std::printf(
      "first trace with an empty debug file cache (processor time): kwbase %.1f ms (wall %.1f "
      "ms)\n",
      coldKw.second / 1000, coldKw.first / 1000);
  std::printf(
      "first trace with no frame kept, debug copies made (processor time): kwbase %.2f ms "
      "(wall %.2f ms)\n",
      copiesKw.second / 1000, copiesKw.first / 1000);
  std::printf(
      "after 1000 traces: kwbase +%.1f MB (+%.1f MB after the first), Boost.Stacktrace +%.1f MB "
      "(+%.1f MB after the first)\n",
      memoryKw.first, memoryKw.second, memoryBoost.first, memoryBoost.second);

  const std::string steady =
      "Exception construction, steady state (" + std::to_string(frames) + " frames)";
  ratioRow(steady, kwUs, "bare _Unwind_Backtrace", bareUs, "us", "<= 2x", kwUs <= 2 * bareUs);
  ratioRow(steady, kwUs, "Boost.Stacktrace", boostUs, "us", "<= 1x", kwUs <= boostUs);
  // Processor time, as above: page faults and system calls count, waiting for a core does not.
  const double firstMs = firstKw.second / 1000, coldMs = coldKw.second / 1000,
               peerMs = firstBoost.second / 1000;
  ratioRow("first Exception of a process, warm debug cache", firstMs, "Boost.Stacktrace first text",
           peerMs, "ms", "<= 5 ms", firstMs <= 5);
  ratioRow("first Exception of a process, empty debug cache", coldMs, "Boost.Stacktrace first text",
           peerMs, "ms", "<= 20 ms", coldMs <= 20);
  ratioRow("memory after 1000 exceptions", memoryKw.first, "Boost.Stacktrace texts",
           memoryBoost.first, "MB", "<= 8 MB", memoryKw.first <= 8);
  return 0;
}
