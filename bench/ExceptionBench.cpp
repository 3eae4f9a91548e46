// Exception construction, which walks and symbolises the stack, next to a
// bare unwind of the same stack (_Unwind_Backtrace) and Boost.Stacktrace
// (capture and to_string, libbacktrace backend) in the same run.
//
// The first exception of a process and the memory that 1000 exceptions leave
// behind are measured in fresh child processes: this program runs itself
// with "--child <what> <who>" and reads one figure from the child's output.
#define BOOST_STACKTRACE_LINK
#define BOOST_STACKTRACE_DYN_LINK
#include <kw/Exception.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <boost/stacktrace.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int kRuns = 5;

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

// Mean microseconds per call over `count` calls, median of kRuns runs.
template <typename Call>
double perCall(int count, Call call) {
  std::vector<double> runs;
  for (int run = 0; run < kRuns; ++run) {
    volatile std::size_t sink = 0;
    auto step = [&] {
      Clock::time_point start = Clock::now();
      for (int i = 0; i < count; ++i) sink = sink + static_cast<std::size_t>(call());
      runs.push_back(microsecondsSince(start) / count);
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

// One figure from a fresh process: microseconds of the first trace, or the
// megabytes that 1000 traces add while their texts are kept.
int child(const std::string& what, const std::string& who) {
  const bool kw = who == "kw";
  double figure = 0;
  auto step = [&] {
    if (what == "first") {
      Clock::time_point start = Clock::now();
      volatile std::size_t size = kw ? kwException() : boostTrace();
      (void)size;
      figure = microsecondsSince(start);
    } else {
      long before = residentKilobytes();
      std::vector<std::wstring> wide;
      std::vector<std::string> narrow;
      for (int i = 0; i < 1000; ++i) {
        if (kw) {
          kw::Exception e(1, L"bench", L"f", 1, L"g");
          wide.emplace_back(e.getStackTrace());
        } else {
          narrow.push_back(boost::stacktrace::to_string(boost::stacktrace::stacktrace()));
        }
      }
      figure = (residentKilobytes() - before) / 1024.0;
    }
  };
  nested(4, step);
  std::printf("%f\n", figure);
  return 0;
}

double inChild(const char* self, const char* what, const char* who) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeEnds[1], 1);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
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
  return used ? std::atof(buffer) : -1;
}

double medianInChildren(const char* self, const char* what, const char* who) {
  std::vector<double> figures;
  for (int run = 0; run < kRuns; ++run) figures.push_back(inChild(self, what, who));
  return median(figures);
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

  const double firstKw = medianInChildren(self, "first", "kw") / 1000;
  const double firstBoost = medianInChildren(self, "first", "boost") / 1000;
  const double memoryKw = medianInChildren(self, "memory", "kw");
  const double memoryBoost = medianInChildren(self, "memory", "boost");

  kwException();  // the session is warm from here on
  boostTrace();
  const double bare = perCall(100000, bareUnwind);
  const double steadyKw = perCall(5000, kwException);
  const double steadyBoost = perCall(500, boostTrace);

  std::printf("frames on the stack: %d\n", frames);
  std::printf("steady state: kwbase %.2f us, bare unwind %.2f us, Boost.Stacktrace %.2f us\n",
              steadyKw, bare, steadyBoost);
  std::printf("first trace of a process: kwbase %.1f ms, Boost.Stacktrace %.1f ms\n", firstKw,
              firstBoost);
  std::printf("after 1000 traces: kwbase +%.1f MB, Boost.Stacktrace +%.1f MB\n", memoryKw,
              memoryBoost);

  const std::string steadyRow =
      "Exception construction, steady state (" + std::to_string(frames) + " frames)";
  ratioRow(steadyRow.c_str(), steadyKw, bare, "us", steadyKw / bare, "<= 5x", steadyKw <= 5 * bare);
  ratioRow("first Exception of a process", firstKw, firstBoost, "ms", firstKw / firstBoost,
           "<= 20 ms", firstKw <= 20);
  ratioRow("memory after 1000 exceptions", memoryKw, memoryBoost, "MB",
           memoryBoost > 0 ? memoryKw / memoryBoost : 0, "<= 8 MB", memoryKw <= 8);
  return 0;
}
