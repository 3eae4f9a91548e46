// The walk by kept unwind rules reports the frames the runtime's unwinder
// reports, from every kind of stack a throw site sits on, or leaves the walk
// to it.
#if !defined(_WIN32)
#include <alloca.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unwind.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "os/posix/UnwindingRules.h"

using kw::os::RuleFrame;
using kw::os::UnwindingRules;

namespace {

// The runtime's unwinder, by name: libunwind may export the same names.
struct Runtime {
  _Unwind_Reason_Code (*backtrace)(_Unwind_Trace_Fn, void*) = nullptr;
  _Unwind_Ptr (*getIp)(_Unwind_Context*) = nullptr;
  _Unwind_Word (*getGr)(_Unwind_Context*, int) = nullptr;
};

const Runtime& runtime() {
  static const Runtime bound = [] {
    Runtime found;
    void* library = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return found;
    found.backtrace =
        reinterpret_cast<decltype(found.backtrace)>(dlsym(library, "_Unwind_Backtrace"));
    found.getIp = reinterpret_cast<decltype(found.getIp)>(dlsym(library, "_Unwind_GetIP"));
    found.getGr = reinterpret_cast<decltype(found.getGr)>(dlsym(library, "_Unwind_GetGR"));
    return found;
  }();
  return bound;
}

_Unwind_Reason_Code collect(_Unwind_Context* context, void* data) {
  static_cast<std::vector<RuleFrame>*>(data)->push_back(
      {runtime().getIp(context), runtime().getGr(context, 6)});
  return _URC_NO_REASON;
}

// One comparison: both walks from the same frame, the rules' twice (the
// second from the kept rules).
struct Comparison {
  std::vector<RuleFrame> runtimeFrames, walks[2];
  bool walked[2] = {false, false};
};

UnwindingRules* s_rules = nullptr;
std::vector<Comparison>* s_comparisons = nullptr;

__attribute__((noinline)) void compareHere() {
  Comparison comparison;
  runtime().backtrace(&collect, &comparison.runtimeFrames);
  for (int i = 0; i < 2; ++i) comparison.walked[i] = s_rules->backtrace(comparison.walks[i]);
  s_comparisons->push_back(comparison);
}

__attribute__((noinline)) void recurse(int depth) {
  if (depth > 0) {
    recurse(depth - 1);
    asm volatile("");
    return;
  }
  compareHere();
}

// A frame whose stack pointer moves at run time: its CFA is the frame pointer's.
__attribute__((noinline)) void withAlloca(int size) {
  char* block = static_cast<char*>(alloca(static_cast<std::size_t>(size)));
  block[0] = 1;
  asm volatile("" : : "r"(block) : "memory");
  if (size > 64)
    withAlloca(size / 2);
  else
    compareHere();
  asm volatile("" : : "r"(block) : "memory");
}

struct Node {
  virtual ~Node() = default;
  virtual void visit(int depth) {
    if (depth > 0)
      visit(depth - 1);
    else
      compareHere();
  }
};

[[noreturn]] __attribute__((noinline)) void compareAndThrow() {
  compareHere();
  throw 1;
}

// Its call is its last instruction: the return address is past its end.
__attribute__((noinline)) void callNoReturn() { compareAndThrow(); }

int byValue(const void* a, const void* b) {
  static int calls = 0;
  if (calls++ < 2) compareHere();
  return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

// The stacks a throw site may sit on, through the C library and the C++
// runtime too.
const std::vector<std::pair<const char*, std::function<void()>>>& stacks() {
  static const std::vector<std::pair<const char*, std::function<void()>>> all = {
      {"shallow", [] { compareHere(); }},
      {"deep recursion", [] { recurse(40); }},
      {"alloca frames", [] { withAlloca(4096); }},
      {"virtual calls",
       [] {
         Node node;
         node.visit(5);
       }},
      {"call at the end of a function",
       [] {
         try {
           callNoReturn();
         } catch (int) {
         }
       }},
      {"qsort callback",
       [] {
         int values[16];
         for (int i = 0; i < 16; ++i) values[i] = (i * 7919) % 16;
         std::qsort(values, 16, sizeof(int), &byValue);
       }},
      {"std::sort comparator",
       [] {
         std::vector<int> values(64);
         for (int i = 0; i < 64; ++i) values[i] = (i * 7919) % 64;
         int calls = 0;
         std::sort(values.begin(), values.end(), [&](int a, int b) {
           if (calls++ < 2) compareHere();
           return a < b;
         });
       }},
      {"worker thread", [] { std::thread([] { recurse(3); }).join(); }},
  };
  return all;
}

class UnwindingRulesTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    if (!runtime().backtrace || !runtime().getIp || !runtime().getGr)
      GTEST_SKIP() << "no libgcc_s unwinder to compare with";
    s_rules = &m_rules;
    s_comparisons = &m_comparisons;
  }
  void TearDown() override {
    s_rules = nullptr;
    s_comparisons = nullptr;
  }
  UnwindingRules m_rules;
  std::vector<Comparison> m_comparisons;
};

TEST_P(UnwindingRulesTest, ReportsTheRuntimesFrames) {
  stacks().at(GetParam()).second();
  ASSERT_FALSE(m_comparisons.empty());
  for (const Comparison& comparison : m_comparisons) {
    const std::vector<RuleFrame>& expected = comparison.runtimeFrames;
    EXPECT_EQ(expected.back().ip, 0u);
    for (int walk = 0; walk < 2; ++walk) {
#if !defined(__x86_64__)
      if (!comparison.walked[walk]) GTEST_SKIP() << "rules are kept on x86-64 only";
#endif
      ASSERT_TRUE(comparison.walked[walk]) << walk;
      const std::vector<RuleFrame>& walked = comparison.walks[walk];
      ASSERT_EQ(walked.size(), expected.size()) << walk;
      // The first frame is compareHere's, at two different calls.
      for (std::size_t i = 1; i < expected.size(); ++i) {
        EXPECT_EQ(walked[i].ip, expected[i].ip) << walk << " frame " << i;
        EXPECT_EQ(walked[i].framePointer, expected[i].framePointer) << walk << " frame " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stacks, UnwindingRulesTest,
                         ::testing::Range<std::size_t>(0, stacks().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name = stacks().at(info.param).first;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// A signal frame has its own unwinding: the rules leave it to the runtime.
std::vector<RuleFrame>* s_signalFrames = nullptr;
UnwindingRules* s_signalRules = nullptr;
volatile sig_atomic_t s_signalWalked = -1;

void walkInHandler(int) { s_signalWalked = s_signalRules->backtrace(*s_signalFrames) ? 1 : 0; }

TEST(UnwindingRulesSignal, WalkThroughASignalFrameIsTheRuntimes) {
  std::vector<RuleFrame> frames;
  frames.reserve(256);
  // The first walk of a process looks the runtime up, which no signal handler may do.
  UnwindingRules().backtrace(frames);
  frames.clear();
  UnwindingRules rules;
  s_signalFrames = &frames;
  s_signalRules = &rules;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = &walkInHandler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
  raise(SIGUSR2);
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_EQ(s_signalWalked, 0);
}

}  // namespace
#endif
