// Tests of Thread: the worker's steps and states, exceptions on the worker, requested and forced
// stops, the wake event, and killing a thread.
#include <gtest/gtest.h>
#include <kw/AutoMutex.h>
#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/LogDevice.h>
#include <kw/Logger.h>
#include <kw/Mutex.h>
#include <kw/SiteId.h>
#include <kw/Thread.h>
#include <kw/Tools.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "os/Thread.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/SettingsArea.h"
#include "support/TraceCapture.h"

#ifndef _WIN32
#include <link.h>
#include <malloc.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#endif

using namespace std::chrono_literals;

namespace {

// Bounded, so that a worker that never gets there fails the test instead of
// stalling the suite; workers call it too, where an assertion cannot return.
void waitUntil(const std::function<bool()>& condition) {
  if (!kwtest::eventually(condition)) ADD_FAILURE() << "the awaited state never came";
}

// What a worker did; declared before the Probe so that it outlives it.
struct Script {
  std::function<bool()> setup = [] { return true; };
  std::function<int(kw::Thread&)> execute = [](kw::Thread&) { return 0; };
  std::function<void()> cleanUp = [] {};
  std::atomic<int> setups{0}, executes{0}, cleanUps{0};
  std::atomic<bool> passedStopPoint{false}, insideCleanUp{false};
  std::atomic<void*> param{nullptr};
};

class Probe : public kw::Thread {
 public:
  explicit Probe(Script& script) : m_script(script) {}
  ~Probe() override {
    terminate(INFINITE);
    EXPECT_FALSE(m_script.insideCleanUp) << "destroyed under a worker still in cleanUp";
  }

  using Thread::entryPoint;
  using Thread::run;
  using Thread::terminateIfRequested;

 protected:
  bool setup() override {
    ++m_script.setups;
    return m_script.setup();
  }
  int execute(void* param) override {
    ++m_script.executes;
    m_script.param = param;
    return m_script.execute(*this);
  }
  void cleanUp() override {
    struct Inside {
      std::atomic<bool>& flag;
      ~Inside() { flag = false; }
    } inside{m_script.insideCleanUp};
    inside.flag = true;
    m_script.cleanUp();
    ++m_script.cleanUps;
  }

 private:
  Script& m_script;
};

// Runs the probe's worker routine on a thread whose handle the test owns,
// to see the exit code.
struct OwnWorker {
  explicit OwnWorker(Probe& probe) : handle(kw::os::threadStart(&Probe::entryPoint, &probe)) {}
  ~OwnWorker() {
    kw::os::threadWait(handle, INFINITE);
    kw::os::threadClose(handle);
  }
  unsigned long exitCode() {
    EXPECT_EQ(kw::os::threadWait(handle, INFINITE), kw::os::WaitResult::Signalled);
    unsigned long code = 0;
    EXPECT_TRUE(kw::os::threadExitCode(handle, code));
    return code;
  }
  kw::os::ThreadHandle handle;
};

kw::Exception failure(const wchar_t* description) {
  return kw::Exception(4242, description, L".\\src\\ThreadTest", 1, L"ThreadTest");
}

// Runs work on a helper thread; false when it has not returned within the
// bound, after which unstick must make it return.
bool returnsWithin(std::chrono::milliseconds bound, const std::function<void()>& work,
                   const std::function<void()>& unstick) {
  std::atomic<bool> done{false};
  std::thread helper([&] {
    work();
    done = true;
  });
  const bool returned =
      kwtest::eventually([&] { return done.load(); }, static_cast<int>(bound.count()));
  if (!returned) unstick();
  helper.join();
  return returned;
}

int napForever(kw::Thread& self, Script& script) {
  for (;;) {
    self.nap();
    script.passedStopPoint = true;
  }
}

}  // namespace

TEST(Thread, StopCallsWithoutAWorkerDoNothing) {
  Script script;
  Probe probe(script);
  probe.requestTermination();
  probe.terminate(0);
  probe.terminate(INFINITE);
  EXPECT_EQ(probe.getThreadState(), kw::Thread::NotStarted);
  EXPECT_EQ(script.setups, 0);
}

TEST(Thread, RunsItsStepsOnTheWorkerAndReportsItsState) {
  Script script;
  std::atomic<bool> setupMayEnd{false}, executeMayEnd{false};
  std::thread::id worker;
  script.setup = [&] {
    worker = std::this_thread::get_id();
    waitUntil([&] { return setupMayEnd.load(); });
    return true;
  };
  script.execute = [&](kw::Thread&) {
    waitUntil([&] { return executeMayEnd.load(); });
    return 5;
  };
  int param = 0;
  {
    Probe probe(script);
    ASSERT_TRUE(probe.startThread(&param));
    EXPECT_FALSE(probe.startThread(&param)) << "a second worker on one object";
    EXPECT_EQ(probe.getThreadState(), kw::Thread::NotStarted) << "before setup succeeded";
    setupMayEnd = true;
    waitUntil([&] { return probe.getThreadState() == kw::Thread::Running; });
    EXPECT_EQ(script.executes, 1);
    executeMayEnd = true;
    waitUntil([&] { return script.cleanUps == 1; });
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
    probe.terminate(INFINITE);  // finished by itself: nothing to do
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(script.param.load(), &param);
  EXPECT_EQ(script.cleanUps, 1);
}

TEST(Thread, FailedSetupIsTracedAndSkipsExecute) {
  kwtest::TraceCapture trace;
  Script script;
  script.setup = [] { return false; };
  Probe probe(script);
  EXPECT_EQ(probe.run(), -1);
  EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  EXPECT_EQ(script.executes, 0);
  EXPECT_EQ(script.cleanUps, 1);
  ASSERT_EQ(trace.ids(), std::vector<int>{kw::SiteId::ThreadSetupFailed});
  EXPECT_EQ(trace.records()[0].type, kw::Event::Error);
  EXPECT_NE(trace.records()[0].text.find(L"Setup failed in Thread::run()"), std::wstring::npos);

  Script again;
  again.setup = [] { return false; };
  Probe threaded(again);
  EXPECT_EQ(OwnWorker(threaded).exitCode(), 0u) << "the routine's result is not run's";
}

TEST(Thread, ExceptionsOfTheFamilyAreTracedAndCleanedUp) {
  kwtest::TraceCapture trace;
  struct Case {
    const char* name;
    bool throwInSetup, throwInExecute, throwInCleanUp;
    int result, cleanUps;
  };
  const Case cases[] = {
      {"setup", true, false, false, 0, 1},
      {"execute", false, true, false, 0, 1},
      {"cleanUp, cleaned up again", false, false, true, 7, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace.clear();
    Script script;
    script.setup = [&] {
      if (c.throwInSetup) throw failure(L"setup broke");
      return true;
    };
    script.execute = [&](kw::Thread&) {
      if (c.throwInExecute) throw failure(L"execute broke");
      return 7;
    };
    bool thrown = false;
    script.cleanUp = [&] {
      if (c.throwInCleanUp && !thrown) {
        thrown = true;
        throw failure(L"cleanUp broke");
      }
    };
    Probe probe(script);
    EXPECT_EQ(probe.run(), c.result);
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
    EXPECT_EQ(script.cleanUps, c.cleanUps) << "calls that completed";
    EXPECT_EQ(thrown, c.throwInCleanUp);
    ASSERT_EQ(trace.ids(), std::vector<int>{kw::SiteId::ThreadUnexpectedException});
    const std::wstring text = trace.records()[0].text;
    EXPECT_NE(text.find(L"An unexpected exception occured in Thread::run()"), std::wstring::npos);
    EXPECT_NE(text.find(L" broke"), std::wstring::npos) << "the exception's text";
  }
}

TEST(Thread, OtherExceptionsAreNotCaught) {
  Script script;
  script.execute = [](kw::Thread&) -> int { throw std::runtime_error("not ours"); };
  Probe probe(script);
  EXPECT_THROW(probe.run(), std::runtime_error);
  EXPECT_EQ(probe.getThreadState(), kw::Thread::Running);
  EXPECT_EQ(script.cleanUps, 0);
}

TEST(Thread, AnExceptionOnTheWorkerLeavesItStopped) {
  kwtest::TraceCapture trace;
  Script script;
  script.execute = [](kw::Thread&) -> int { throw failure(L"worker broke"); };
  {
    Probe probe(script);
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return script.cleanUps == 1; });
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  EXPECT_EQ(trace.count(kw::SiteId::ThreadUnexpectedException), 1);
}

TEST(Thread, TerminationRequestWakesASleepAndEndsTheWorker) {
  // sleep(-1) returns only when woken: a lost wake-up hangs here.
  for (int ms : {-1, 60000}) {
    SCOPED_TRACE(ms);
    Script script;
    script.execute = [&](kw::Thread& self) -> int {
      for (;;) {
        self.sleep(ms);
        script.passedStopPoint = true;
      }
    };
    {
      Probe probe(script);
      ASSERT_TRUE(probe.startThread(nullptr));
      waitUntil([&] { return probe.getThreadState() == kw::Thread::Running; });
      probe.requestTermination();
    }
    EXPECT_FALSE(script.passedStopPoint);
    EXPECT_EQ(script.cleanUps, 0);
  }
}

TEST(Thread, ARequestedStopEndsTheWorkerWithExitCodeOne) {
  Script script;
  std::atomic<int> naps{0};
  script.execute = [&](kw::Thread& self) -> int {
    for (;;) {
      ++naps;
      self.nap();  // no wake event without startThread: returns at once
    }
  };
  Probe probe(script);
  OwnWorker worker(probe);
  waitUntil([&] { return naps > 1; });
  probe.requestTermination();
  EXPECT_EQ(worker.exitCode(), 1u);
  EXPECT_EQ(script.cleanUps, 0);
  EXPECT_EQ(probe.getThreadState(), kw::Thread::Running) << "until terminate sets it";
}

TEST(Thread, TerminateStopsANappingWorkerWithoutForce) {
  Script script;
  script.execute = [&](kw::Thread& self) { return napForever(self, script); };
  {
    Probe probe(script);
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return probe.getThreadState() == kw::Thread::Running; });
    probe.terminate(30000);
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
    probe.terminate(0);
  }
  EXPECT_EQ(script.cleanUps, 0);
}

TEST(Thread, RequestsBeforeStartAreDroppedButDuringSetupKept) {
  Script finishing;
  finishing.execute = [](kw::Thread& self) {
    for (int i = 0; i < 3; ++i) self.sleep(0);
    return 0;
  };
  {
    Probe probe(finishing);
    probe.requestTermination();
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return finishing.cleanUps == 1; });
  }
  EXPECT_EQ(finishing.executes, 1);

  Script slowSetup;
  std::atomic<bool> setupMayEnd{false};
  slowSetup.setup = [&] {
    waitUntil([&] { return setupMayEnd.load(); });
    return true;
  };
  slowSetup.execute = [&](kw::Thread& self) { return napForever(self, slowSetup); };
  {
    Probe probe(slowSetup);
    ASSERT_TRUE(probe.startThread(nullptr));
    probe.requestTermination();  // still NotStarted
    setupMayEnd = true;
    probe.terminate(INFINITE);  // would wait for ever if the request was lost
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  EXPECT_FALSE(slowSetup.passedStopPoint);
  EXPECT_EQ(slowSetup.cleanUps, 0);
}

TEST(Thread, TerminateWaitsForAWorkerStillInCleanUp) {
  // The worker sets Stopped before cleanUp: a caller that destroys the
  // object as soon as it reads Stopped must not pull it from under cleanUp.
  Script script;
  script.setup = [] { return false; };
  script.cleanUp = [] { std::this_thread::sleep_for(50ms); };
  kwtest::TraceCapture trace;
  auto* probe = new Probe(script);
  ASSERT_TRUE(probe->startThread(nullptr));
  waitUntil([&] { return probe->getThreadState() == kw::Thread::Stopped; });
  delete probe;  // ~Probe checks that cleanUp has ended
  EXPECT_EQ(script.cleanUps, 1);

  // Many quick cycles through the other way to Stopped, untraced.
  Script quick;
  for (int i = 0; i < 300; ++i) {
    auto* cycled = new Probe(quick);
    ASSERT_TRUE(cycled->startThread(nullptr));
    while (cycled->getThreadState() != kw::Thread::Stopped) std::this_thread::yield();
    delete cycled;
  }
  EXPECT_EQ(quick.cleanUps, 300);
}

namespace {

std::atomic<bool> g_spinForever{true};

int spin(Script& script) {
  while (g_spinForever) {
  }
  script.passedStopPoint = true;
  return 0;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
#define KW_SKIP_UNDER_TSAN()                                                               \
  GTEST_SKIP() << "ThreadSanitizer delivers signals only at its own interception points, " \
                  "which a tight loop never reaches"
#else
#define KW_SKIP_UNDER_TSAN() (void)0
#endif

TEST(Thread, TerminateStopsAWorkerSpinningInATightLoop) {
  KW_SKIP_UNDER_TSAN();
  g_spinForever = true;
  Script script;
  std::atomic<bool> spinning{false};
  script.execute = [&](kw::Thread&) {
    spinning = true;
    return spin(script);
  };
  {
    Probe probe(script);
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return spinning.load(); });
    EXPECT_TRUE(returnsWithin(
        10s, [&] { probe.terminate(50); }, [] { g_spinForever = false; }))
        << "terminate(50) waited for the worker";
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  g_spinForever = false;  // a worker still alive would now pass the loop
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(script.passedStopPoint);
  EXPECT_EQ(script.cleanUps, 0);
}

TEST(WakeEvent, IsManualResetAndStaysSignalled) {
  kw::os::WakeEventHandle event = kw::os::wakeEventCreate();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(kw::os::wakeEventWait(event, 0), kw::os::WaitResult::TimedOut);
  EXPECT_EQ(kw::os::wakeEventWait(event, 20), kw::os::WaitResult::TimedOut);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    kw::os::wakeEventSet(event);
  });
  EXPECT_EQ(kw::os::wakeEventWait(event, INFINITE), kw::os::WaitResult::Signalled);
  setter.join();
  for (int i = 0; i < 3; ++i)  // no wait resets it
    EXPECT_EQ(kw::os::wakeEventWait(event, 0), kw::os::WaitResult::Signalled);
  kw::os::wakeEventClose(event);
  EXPECT_EQ(kw::os::wakeEventWait(nullptr, INFINITE), kw::os::WaitResult::Failed);
}

namespace {

struct Spinner {
  std::atomic<bool> spinning{false}, gateOpen{false}, passedGate{false};
};

unsigned long KW_THREAD_ROUTINE spinAtTheGate(void* argument) {
  auto* spinner = static_cast<Spinner*>(argument);
  spinner->spinning = true;
  while (!spinner->gateOpen) {
  }
  spinner->passedGate = true;
  return 0;
}

}  // namespace

TEST(ThreadKill, EndsASpinningThreadWithTheGivenExitCode) {
  KW_SKIP_UNDER_TSAN();
  Spinner spinner;
  kw::os::ThreadHandle thread = kw::os::threadStart(spinAtTheGate, &spinner);
  ASSERT_NE(thread, nullptr);
  waitUntil([&] { return spinner.spinning.load(); });
  unsigned long code = 0;
  ASSERT_TRUE(kw::os::threadExitCode(thread, code));
  EXPECT_EQ(code, kw::os::kStillActive);
  EXPECT_EQ(kw::os::threadWait(thread, 0), kw::os::WaitResult::TimedOut);
  EXPECT_TRUE(returnsWithin(
      10s,
      [&] {
        EXPECT_TRUE(kw::os::threadKill(thread, 0xFFFFFFFF));
        EXPECT_EQ(kw::os::threadWait(thread, 10000), kw::os::WaitResult::Signalled);
      },
      [&] { spinner.gateOpen = true; }))
      << "the kill waited for the thread to stop by itself";
  spinner.gateOpen = true;
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(spinner.passedGate);
  ASSERT_TRUE(kw::os::threadExitCode(thread, code));
  EXPECT_EQ(code, 0xFFFFFFFFu);
  kw::os::threadClose(thread);
}

namespace {

struct Sleeper {
  kw::os::WakeEventHandle event = kw::os::wakeEventCreate();
  std::atomic<bool> waiting{false}, woke{false};
};

unsigned long KW_THREAD_ROUTINE sleepOnTheEvent(void* argument) {
  auto* sleeper = static_cast<Sleeper*>(argument);
  sleeper->waiting = true;
  kw::os::wakeEventWait(sleeper->event, INFINITE);
  sleeper->woke = true;
  return 0;
}

}  // namespace

TEST(ThreadKill, AThreadKilledInAWaitLeavesTheEventUsable) {
  static Sleeper sleeper;  // outlives the thread should the kill fail
  kw::os::ThreadHandle thread = kw::os::threadStart(sleepOnTheEvent, &sleeper);
  waitUntil([&] { return sleeper.waiting.load(); });
  std::this_thread::sleep_for(20ms);  // into the wait
  ASSERT_TRUE(kw::os::threadKill(thread, 7));
  EXPECT_EQ(kw::os::threadWait(thread, 10000), kw::os::WaitResult::Signalled);
  unsigned long code = 0;
  EXPECT_TRUE(kw::os::threadExitCode(thread, code));
  EXPECT_EQ(code, 7u);
  kw::os::threadClose(thread);
  kw::os::wakeEventSet(sleeper.event);
  EXPECT_EQ(kw::os::wakeEventWait(sleeper.event, 0), kw::os::WaitResult::Signalled);
  EXPECT_FALSE(sleeper.woke) << "the killed thread went on";
  EXPECT_TRUE(returnsWithin(
      10s, [&] { kw::os::wakeEventClose(sleeper.event); }, [] {}))
      << "closing waited for the dead waiter";
}

namespace {

// A trace device that keeps the worker inside the logger, holding its lock,
// until the gate opens.
class GateDevice : public kw::LogDevice {
 public:
  explicit GateDevice(Spinner& spinner) : m_spinner(spinner) {}
  void Setup() override {}
  void ShutDown() override {}
  void Write(kw::Event& event) override {
    if (event.getID() != 999) return;
    m_spinner.spinning = true;
    while (!m_spinner.gateOpen) std::this_thread::sleep_for(1ms);
  }

 private:
  Spinner& m_spinner;
};

}  // namespace

TEST(Thread, ForcedStopSkipsTheRestAndLeavesTheProcessUsable) {
  kwtest::TraceCapture trace;
  Spinner spinner;
  kw::Logger::addCustomTraceDevice(new GateDevice(spinner));
  const std::wstring name =
      kw::Tools::createLocalObjectName((L"ThreadTest." + kwtest::uniqueName()).c_str());
  kw::Mutex named;
  named.initialise(name.c_str());

  // Kept out of the worker's stack, which a forced stop never unwinds.
  kw::Mutex mine;
  mine.initialise(name.c_str());
  kw::Event stuck(999, L"stuck", L".\\src\\ThreadTest", 1, L"ThreadTest");
  Script script;
  script.execute = [&](kw::Thread& self) {
    kw::AutoMutex hold(mine);
    kw::Logger::Trace(stuck);  // kept there until the gate opens
    self.nap();
    script.passedStopPoint = true;
    return 0;
  };
  {
    Probe probe(script);
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return spinner.spinning.load(); });
    EXPECT_TRUE(returnsWithin(
        10s, [&] { probe.terminate(0); }, [&] { spinner.gateOpen = true; }))
        << "terminate(0) waited for the worker";
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  spinner.gateOpen = true;
  EXPECT_FALSE(script.passedStopPoint);
  EXPECT_EQ(script.cleanUps, 0);

  // The logger and the worker's named mutex work as before. Killed holding
  // both, each is taken over once, as abandoned.
  kw::Event after(998, L"after", L".\\src\\ThreadTest", 2, L"ThreadTest");
  kw::Logger::Trace(after);
  EXPECT_EQ(trace.count(998), 1);
  // The logger's lock is shared with other processes of this application,
  // which may take it over first; the worker's own mutex is not.
  const int takenOver = trace.count(kw::SiteId::MutexAbandoned);
  named.lock();
  named.release();
  EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);

  Script next;
  next.execute = [](kw::Thread& self) {
    self.nap();
    return 0;
  };
  {
    Probe probe(next);
    ASSERT_TRUE(probe.startThread(nullptr));
    waitUntil([&] { return next.cleanUps == 1; });
  }
}

#ifndef _WIN32

// Forced stops on Linux, each scenario in a child process: a stop that leaves
// a lock of the C library or the loader held, or one that never returns,
// hangs the child, which an alarm then ends (exit 142) instead of the suite.

namespace {

constexpr unsigned kChildAlarmSeconds = 60;

// A worker that runs its body over and over until it is stopped.
class Looper : public kw::Thread {
 public:
  explicit Looper(std::function<void(kw::Thread&)> body) : m_body(std::move(body)) {}
  ~Looper() override { terminate(INFINITE); }

  std::atomic<bool> started{false};

 protected:
  bool setup() override { return true; }
  int execute(void*) override {
    started = true;
    for (;;) m_body(*this);
  }
  void cleanUp() override {}

 private:
  std::function<void(kw::Thread&)> m_body;
};

// Sizes below and above the heap's mmap threshold, so that the worker is
// also stopped around the heap's system calls.
void churnTheHeap() {
  static const std::size_t kSizes[] = {16, 200, 4000, 70000, 300000};
  void* blocks[5];
  for (int i = 0; i < 5; ++i) blocks[i] = std::malloc(kSizes[i]);
  std::string text(300, 'x');
  text += std::to_string(reinterpret_cast<std::uintptr_t>(blocks[0]));
  for (void* block : blocks) std::free(block);
}

// Takes every arena's lock in turn and the loader's, and mallocs on new
// threads, which may be given any arena: a lock left held hangs here.
void useTheRuntimes() {
  malloc_trim(0);
  for (int i = 0; i < 8; ++i) std::thread(churnTheHeap).join();
  churnTheHeap();
  dl_iterate_phdr([](dl_phdr_info*, std::size_t, void*) { return 0; }, nullptr);
}

// Starts a looping worker, lets it run its body a moment and stops it by
// force; false when the stop was given up.
bool startAndForceStop(const std::function<void(kw::Thread&)>& body, kwtest::TraceCapture& trace) {
  const int givenUp = trace.count(kw::SiteId::ThreadStopFailed);
  // Left alive should the stop be given up: the worker still uses it.
  auto* worker = new Looper(body);
  if (!worker->startThread(nullptr)) return false;
  while (!worker->started) std::this_thread::yield();
  std::this_thread::sleep_for(2ms);
  worker->terminate(0);
  if (worker->getThreadState() != kw::Thread::Stopped ||
      trace.count(kw::SiteId::ThreadStopFailed) != givenUp)
    return false;
  delete worker;
  return true;
}

// A forced stop leaves the worker's memory unfreed, by design: the child
// ends without the leak check that a sanitizer runs at exit.
[[noreturn]] void endChild(int code) {
  std::fflush(nullptr);
  _exit(code);
}

[[noreturn]] void childFailure(const char* what) {
  std::fprintf(stderr, "forced stop child: %s\n", what);
  endChild(1);
}

// Whether the thread with that system ID still runs in this process.
bool taskAlive(pid_t task) {
  return std::filesystem::exists("/proc/self/task/" + std::to_string(task));
}

long vmSizeKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

int forcedStopChild(const char* name) {
  kwtest::ChildProcess child(name);
  if (!child.started()) return -1;
  return child.wait();
}

const char kHungNote[] = "142: the child hung, and its alarm ended it";

}  // namespace

#if defined(__SANITIZE_THREAD__)
#define KW_SKIP_FORCED_STOP_UNDER_TSAN()                                                       \
  GTEST_SKIP() << "ThreadSanitizer runs the stop signal's handler later, at one of its own "   \
                  "interception points, with the context of where the signal came: where the " \
                  "worker really is cannot be told, so a busy worker's stop is given up"
#else
#define KW_SKIP_FORCED_STOP_UNDER_TSAN() (void)0
#endif

KW_CHILD_MAIN(forcedStopsOfAHeapUser) {
  alarm(kChildAlarmSeconds);
  kwtest::TraceCapture trace;
  for (int i = 0; i < 20; ++i)
    if (!startAndForceStop([](kw::Thread&) { churnTheHeap(); }, trace))
      childFailure("a stop was given up");
  useTheRuntimes();
  endChild(0);
}

TEST(ForcedStop, NeverLeavesTheHeapLocked) {
  KW_SKIP_FORCED_STOP_UNDER_TSAN();
  EXPECT_EQ(forcedStopChild("forcedStopsOfAHeapUser"), 0) << kHungNote;
}

KW_CHILD_MAIN(forcedStopsGiveTheStackBack) {
  alarm(kChildAlarmSeconds);
  kwtest::TraceCapture trace;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) childFailure("no pipe");
  // Running in the heap, or blocked in a read that nothing answers.
  const std::function<void(kw::Thread&)> bodies[] = {[](kw::Thread&) { churnTheHeap(); },
                                                     [&](kw::Thread&) {
                                                       char byte;
                                                       if (read(pipeEnds[0], &byte, 1) < 0)
                                                         std::abort();
                                                     }};
  for (int i = 0; i < 10; ++i)
    if (!startAndForceStop(bodies[i % 2], trace)) childFailure("a stop was given up");
  const long before = vmSizeKiB();
  for (int i = 0; i < 100; ++i)
    if (!startAndForceStop(bodies[i % 2], trace)) childFailure("a stop was given up");
  const long grown = vmSizeKiB() - before;
  // A stack is 8 MiB: left mapped, 100 of them grow it by 800 MiB.
  if (before < 0 || grown > 160 * 1024) {
    std::fprintf(stderr, "forced stop child: the address space grew by %ld KiB\n", grown);
    endChild(2);
  }
  useTheRuntimes();
  endChild(0);
}

TEST(ForcedStop, GivesTheStackBack) {
  KW_SKIP_FORCED_STOP_UNDER_TSAN();
  EXPECT_EQ(forcedStopChild("forcedStopsGiveTheStackBack"), 0) << kHungNote;
}

KW_CHILD_MAIN(forcedStopOfAConditionWaiter) {
  alarm(kChildAlarmSeconds);
  kwtest::TraceCapture trace;
  std::mutex mutex;
  auto* condition = new std::condition_variable;
  const bool stopped = startAndForceStop(
      [&](kw::Thread&) {
        std::unique_lock<std::mutex> lock(mutex);
        condition->wait_for(lock, 20ms);
      },
      trace);
  if (!stopped) childFailure("the stop was given up");
  delete condition;  // waits for ever for a waiter that vanished inside its wait
  endChild(0);
}

TEST(ForcedStop, LeavesAConditionVariableDestroyable) {
  EXPECT_EQ(forcedStopChild("forcedStopOfAConditionWaiter"), 0) << kHungNote;
}

namespace {

// A worker held where it cannot be stopped until the gate opens, then napping:
// terminate(50) returns, reports that it let the worker go, and the worker
// ends at its nap, leaving the runtimes usable.
[[noreturn]] void letGoUntilTheGateOpens(const std::function<void(std::atomic<bool>&)>& holdOut) {
  alarm(kChildAlarmSeconds);
  kwtest::TraceCapture trace;
  std::atomic<pid_t> task{0};
  std::atomic<bool> gateOpen{false}, passedNap{false};
  Looper worker([&](kw::Thread& self) {
    task = static_cast<pid_t>(syscall(SYS_gettid));
    holdOut(gateOpen);
    self.nap();
    passedNap = true;
  });
  if (!worker.startThread(nullptr)) childFailure("no worker");
  while (!task) std::this_thread::yield();
  std::this_thread::sleep_for(10ms);
  worker.terminate(50);
  if (worker.getThreadState() != kw::Thread::Stopped) childFailure("not Stopped");
  if (trace.count(kw::SiteId::ThreadStopFailed) != 1)
    childFailure("the stop was not reported as given up");
  gateOpen = true;
  while (taskAlive(task)) std::this_thread::sleep_for(1ms);
  if (passedNap) childFailure("the worker went on past its nap");
  useTheRuntimes();
  endChild(0);
}

}  // namespace

KW_CHILD_MAIN(aWorkerBlockingEverySignal) {
  letGoUntilTheGateOpens([](std::atomic<bool>& gateOpen) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (!gateOpen) {
    }
  });
}

KW_CHILD_MAIN(aWorkerInACallbackOfTheLoader) {
  letGoUntilTheGateOpens([](std::atomic<bool>& gateOpen) {
    // The loader's lock is held while its callback runs.
    dl_iterate_phdr(
        [](dl_phdr_info*, std::size_t, void* gate) {
          while (!*static_cast<std::atomic<bool>*>(gate)) {
          }
          return 1;
        },
        &gateOpen);
  });
}

TEST(ForcedStop, AWorkerThatCannotBeStoppedIsLetGo) {
  for (const char* child : {"aWorkerBlockingEverySignal", "aWorkerInACallbackOfTheLoader"}) {
    SCOPED_TRACE(child);
    EXPECT_EQ(forcedStopChild(child), 0) << kHungNote;
  }
}

#endif
