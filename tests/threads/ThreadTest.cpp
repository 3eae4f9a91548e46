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
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

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
  std::atomic<int> executes{0}, cleanUps{0};
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

 protected:
  bool setup() override { return m_script.setup(); }
  int execute(void* param) override {
    ++m_script.executes;
    m_script.param = param;
    return m_script.execute(*this);
  }
  void cleanUp() override {
    m_script.insideCleanUp = true;
    struct Leave {
      std::atomic<bool>& flag;
      ~Leave() { flag = false; }
    } leave{m_script.insideCleanUp};
    m_script.cleanUp();
    ++m_script.cleanUps;
  }

 private:
  Script& m_script;
};

// The probe's worker routine on a thread whose handle the test owns, to see the exit code.
unsigned long exitCodeOfOwnWorker(
    Probe& probe, const std::function<void()>& meanwhile = [] {}) {
  const kw::os::ThreadHandle handle = kw::os::threadStart(&Probe::entryPoint, &probe);
  meanwhile();
  unsigned long code = 0;
  EXPECT_EQ(kw::os::threadWait(handle, INFINITE), kw::os::WaitResult::Signalled);
  EXPECT_TRUE(kw::os::threadExitCode(handle, code));
  kw::os::threadClose(handle);
  return code;
}

kw::Exception failure(const wchar_t* description) {
  return kw::Exception(4242, description, L".\\src\\ThreadTest", 1, L"ThreadTest");
}

// Runs work on a helper thread; false when it has not returned within ten
// seconds, after which unstick must make it return.
bool returnsInTime(const std::function<void()>& work, const std::function<void()>& unstick) {
  std::atomic<bool> done{false};
  std::thread helper([&] {
    work();
    done = true;
  });
  const bool returned = kwtest::eventually([&] { return done.load(); });
  if (!returned) unstick();
  helper.join();
  return returned;
}

int sleepForever(kw::Thread& self, Script& script, int ms) {
  for (;;) {
    self.sleep(ms);
    script.passedStopPoint = true;
  }
}

}  // namespace

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

// A setup that fails, or a kw::Exception from any step, is traced and the
// worker cleaned up once.
TEST(Thread, AFailedStepIsTracedAndCleanedUpOnce) {
  kwtest::TraceCapture trace;
  const wchar_t* unexpected = L"An unexpected exception occured in Thread::run()";
  struct Case {
    const char* step;
    int result, id;
    const wchar_t* text;
  };
  for (const Case& c :
       {Case{"no setup", -1, kw::SiteId::ThreadSetupFailed, L"Setup failed in Thread::run()"},
        Case{"setup", 0, kw::SiteId::ThreadUnexpectedException, unexpected},
        Case{"execute", 0, kw::SiteId::ThreadUnexpectedException, unexpected},
        Case{"cleanUp", 7, kw::SiteId::ThreadUnexpectedException, unexpected}}) {
    SCOPED_TRACE(c.step);
    trace.clear();
    const std::string in = c.step;
    Script script;
    script.setup = [&] {
      if (in == "setup") throw failure(L"setup broke");
      return in != "no setup";
    };
    script.execute = [&](kw::Thread&) {
      if (in == "execute") throw failure(L"execute broke");
      return 7;
    };
    bool thrown = false;
    script.cleanUp = [&] {
      if (in == "cleanUp" && !std::exchange(thrown, true)) throw failure(L"cleanUp broke");
    };
    Probe probe(script);
    EXPECT_EQ(probe.run(), c.result);
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
    EXPECT_EQ(script.executes, in == "execute" || in == "cleanUp" ? 1 : 0);
    EXPECT_EQ(script.cleanUps, 1) << "calls that completed";
    ASSERT_EQ(trace.ids(), std::vector<int>{c.id});
    EXPECT_EQ(trace.records()[0].type, kw::Event::Error);
    EXPECT_NE(trace.records()[0].text.find(c.text), std::wstring::npos);
    if (c.result != -1) EXPECT_NE(trace.records()[0].text.find(L" broke"), std::wstring::npos);
    if (c.result == -1) EXPECT_EQ(exitCodeOfOwnWorker(probe), 0u) << "not run's result";
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

// A sleep(-1) returns only when woken: a lost wake-up hangs here.
TEST(Thread, TerminateWakesASleepingWorkerAndEndsIt) {
  for (int ms : {-1, 60000}) {
    SCOPED_TRACE(ms);
    Script script;
    script.execute = [&](kw::Thread& self) { return sleepForever(self, script, ms); };
    {
      Probe probe(script);
      ASSERT_TRUE(probe.startThread(nullptr));
      waitUntil([&] { return probe.getThreadState() == kw::Thread::Running; });
      probe.terminate(30000);
      EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
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
  EXPECT_EQ(exitCodeOfOwnWorker(probe,
                                [&] {
                                  waitUntil([&] { return naps > 1; });
                                  probe.requestTermination();
                                }),
            1u);
  EXPECT_EQ(script.cleanUps, 0);
  EXPECT_EQ(probe.getThreadState(), kw::Thread::Running) << "until terminate sets it";
}

TEST(Thread, RequestsBeforeStartAreDroppedButDuringSetupKept) {
  Script finishing;
  finishing.execute = [](kw::Thread& self) {
    for (int i = 0; i < 3; ++i) self.sleep(0);
    return 0;
  };
  {
    Probe probe(finishing);
    probe.requestTermination();  // without a worker, these do nothing
    probe.terminate(0);
    probe.terminate(INFINITE);
    EXPECT_EQ(probe.getThreadState(), kw::Thread::NotStarted);
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
  slowSetup.execute = [&](kw::Thread& self) { return sleepForever(self, slowSetup, 10); };
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

// The worker sets Stopped before cleanUp: a caller that destroys the object
// as soon as it reads Stopped must not pull it from under cleanUp.
TEST(Thread, TerminateWaitsForAWorkerStillInCleanUp) {
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

// A thread to kill: it spins at the gate or sleeps on the event, then goes on.
struct Victim {
  kw::os::WakeEventHandle event = kw::os::wakeEventCreate();
  std::atomic<bool> started{false}, gateOpen{false}, wentOn{false};
};

unsigned long KW_THREAD_ROUTINE spinAtTheGate(void* argument) {
  auto* victim = static_cast<Victim*>(argument);
  victim->started = true;
  while (!victim->gateOpen) {
  }
  victim->wentOn = true;
  return 0;
}

unsigned long KW_THREAD_ROUTINE sleepOnTheEvent(void* argument) {
  auto* victim = static_cast<Victim*>(argument);
  victim->started = true;
  kw::os::wakeEventWait(victim->event, INFINITE);
  victim->wentOn = true;
  return 0;
}

// Kills the running thread with that exit code, at once and for good.
void expectKilled(kw::os::ThreadRoutine routine, Victim& victim, unsigned long exitCode) {
  kw::os::ThreadHandle thread = kw::os::threadStart(routine, &victim);
  ASSERT_NE(thread, nullptr);
  waitUntil([&] { return victim.started.load(); });
  std::this_thread::sleep_for(20ms);  // into the wait
  unsigned long code = 0;
  ASSERT_TRUE(kw::os::threadExitCode(thread, code));
  EXPECT_EQ(code, kw::os::kStillActive);
  EXPECT_EQ(kw::os::threadWait(thread, 0), kw::os::WaitResult::TimedOut);
  auto letGo = [&] {
    victim.gateOpen = true;
    kw::os::wakeEventSet(victim.event);
  };
  EXPECT_TRUE(returnsInTime(
      [&] {
        EXPECT_TRUE(kw::os::threadKill(thread, exitCode));
        EXPECT_EQ(kw::os::threadWait(thread, 10000), kw::os::WaitResult::Signalled);
      },
      letGo))
      << "the kill waited for the thread to stop by itself";
  letGo();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(victim.wentOn);
  ASSERT_TRUE(kw::os::threadExitCode(thread, code));
  EXPECT_EQ(code, exitCode);
  kw::os::threadClose(thread);
}

}  // namespace

TEST(ThreadKill, EndsASpinningThreadWithTheGivenExitCode) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer delivers signals only at its own interception points, "
                  "which a tight loop never reaches";
#endif
  Victim victim;
  expectKilled(spinAtTheGate, victim, 0xFFFFFFFF);
  kw::os::wakeEventClose(victim.event);
}

TEST(ThreadKill, AThreadKilledInAWaitLeavesTheEventUsable) {
  static Victim victim;  // outlives the thread should the kill fail
  expectKilled(sleepOnTheEvent, victim, 7);
  for (int i = 0; i < 2; ++i)  // set by expectKilled; no wait resets it
    EXPECT_EQ(kw::os::wakeEventWait(victim.event, 0), kw::os::WaitResult::Signalled);
  EXPECT_TRUE(returnsInTime([&] { kw::os::wakeEventClose(victim.event); }, [] {}))
      << "closing waited for the dead waiter";
}

namespace {

// A trace device that keeps the worker inside the logger, holding its lock,
// until the gate opens.
class GateDevice : public kw::LogDevice {
 public:
  explicit GateDevice(Victim& gate) : m_gate(gate) {}
  void Setup() override {}
  void ShutDown() override {}
  void Write(kw::Event& event) override {
    if (event.getID() != 999) return;
    m_gate.started = true;
    while (!m_gate.gateOpen) std::this_thread::sleep_for(1ms);
  }

 private:
  Victim& m_gate;
};

}  // namespace

TEST(Thread, ForcedStopSkipsTheRestAndLeavesTheProcessUsable) {
  kwtest::TraceCapture trace;
  Victim gate;
  kw::Logger::addCustomTraceDevice(new GateDevice(gate));
  const std::wstring name =
      kw::Tools::createLocalObjectName((L"ThreadTest." + kwtest::uniqueName()).c_str());
  kw::Mutex named, mine;  // mine is kept out of the worker's stack, which is never unwound
  named.initialise(name.c_str());
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
    waitUntil([&] { return gate.started.load(); });
    EXPECT_TRUE(returnsInTime([&] { probe.terminate(0); }, [&] { gate.gateOpen = true; }))
        << "terminate(0) waited for the worker";
    EXPECT_EQ(probe.getThreadState(), kw::Thread::Stopped);
  }
  gate.gateOpen = true;
  kw::os::wakeEventClose(gate.event);
  EXPECT_FALSE(script.passedStopPoint);
  EXPECT_EQ(script.cleanUps, 0);

  // Killed holding both, the logger and the worker's named mutex work as
  // before, each taken over once as abandoned. Other processes of this
  // application share the logger's lock and may take it over first.
  kw::Event after(998, L"after", L".\\src\\ThreadTest", 2, L"ThreadTest");
  kw::Logger::Trace(after);
  EXPECT_EQ(trace.count(998), 1);
  const int takenOver = trace.count(kw::SiteId::MutexAbandoned);
  { kw::AutoMutex hold(named); }
  EXPECT_EQ(trace.count(kw::SiteId::MutexAbandoned), takenOver + 1);

  Script next;
  Probe probe(next);
  ASSERT_TRUE(probe.startThread(nullptr));
  waitUntil([&] { return next.cleanUps == 1; });
}

#ifndef _WIN32

// Forced stops on Linux, each in a child: a stop that leaves a runtime lock
// held, or never returns, hangs it until its alarm ends it (exit 142).

namespace {

// A script whose worker runs the body over and over until it is stopped.
Script* looping(const std::function<void(kw::Thread&)>& body) {
  auto* script = new Script;
  script->execute = [body](kw::Thread& self) -> int {
    for (;;) body(self);
  };
  return script;
}

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

// A forced stop leaves the worker's memory unfreed, by design: the child
// ends without the leak check that a sanitizer runs at exit.
[[noreturn]] void endChild(const char* failure) {
  if (failure) std::fprintf(stderr, "forced stop child: %s\n", failure);
  std::fflush(nullptr);
  _exit(failure ? 1 : 0);
}

// Starts a looping worker, lets it run its body a moment and stops it by
// force; ends the child should the stop be given up.
void startAndForceStop(const std::function<void(kw::Thread&)>& body, kwtest::TraceCapture& trace) {
  // Left alive should the stop be given up: the worker still uses them.
  Script* script = looping(body);
  auto* worker = new Probe(*script);
  if (!worker->startThread(nullptr)) endChild("no worker");
  while (script->executes == 0) std::this_thread::yield();
  std::this_thread::sleep_for(2ms);
  worker->terminate(0);
  if (worker->getThreadState() != kw::Thread::Stopped ||
      trace.count(kw::SiteId::ThreadStopFailed) != 0)
    endChild("a stop was given up");
  delete worker;
  delete script;
}

long vmSizeKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

}  // namespace

KW_CHILD_MAIN(forcedStopsGiveTheStackBack) {
  alarm(60);
  kwtest::TraceCapture trace;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) endChild("no pipe");
  // Running in the heap, or blocked in a read that nothing answers.
  const std::function<void(kw::Thread&)> bodies[] = {[](kw::Thread&) { churnTheHeap(); },
                                                     [&](kw::Thread&) {
                                                       char byte;
                                                       if (read(pipeEnds[0], &byte, 1) < 0)
                                                         std::abort();
                                                     }};
  for (int i = 0; i < 10; ++i) startAndForceStop(bodies[i % 2], trace);
  const long before = vmSizeKiB();
  for (int i = 0; i < 100; ++i) startAndForceStop(bodies[i % 2], trace);
  // A stack is 8 MiB: left mapped, 100 of them grow it by 800 MiB. The address sanitizer's
  // own memory for the threads takes up to about 150 MiB.
  const long grown = vmSizeKiB() - before;
  if (before < 0 || grown > 400 * 1024) {
    std::fprintf(stderr, "grew by %ld KiB\n", grown);
    endChild("the address space grew");
  }
  useTheRuntimes();
  endChild(nullptr);
}

KW_CHILD_MAIN(forcedStopOfAConditionWaiter) {
  alarm(60);
  kwtest::TraceCapture trace;
  std::mutex mutex;
  auto* condition = new std::condition_variable;
  startAndForceStop(
      [&](kw::Thread&) {
        std::unique_lock<std::mutex> lock(mutex);
        condition->wait_for(lock, 20ms);
      },
      trace);
  delete condition;  // waits for ever for a waiter that vanished inside its wait
  endChild(nullptr);
}

namespace {

// A worker held where it cannot be stopped until the gate opens, then napping:
// terminate(50) returns, reports that it let the worker go, and the worker
// ends at its nap, leaving the runtimes usable.
[[noreturn]] void letGoUntilTheGateOpens(const std::function<void(std::atomic<bool>&)>& holdOut) {
  alarm(60);
  kwtest::TraceCapture trace;
  std::atomic<pid_t> task{0};
  std::atomic<bool> gateOpen{false}, passedNap{false};
  std::unique_ptr<Script> script(looping([&](kw::Thread& self) {
    task = static_cast<pid_t>(syscall(SYS_gettid));
    holdOut(gateOpen);
    self.nap();
    passedNap = true;
  }));
  Probe worker(*script);
  if (!worker.startThread(nullptr)) endChild("no worker");
  while (!task) std::this_thread::yield();
  std::this_thread::sleep_for(10ms);
  worker.terminate(50);
  if (worker.getThreadState() != kw::Thread::Stopped) endChild("not Stopped");
  if (trace.count(kw::SiteId::ThreadStopFailed) != 1) endChild("the stop was not reported");
  gateOpen = true;
  const std::string taskPath = "/proc/self/task/" + std::to_string(task);
  while (std::filesystem::exists(taskPath)) std::this_thread::sleep_for(1ms);
  if (passedNap) endChild("the worker went on past its nap");
  useTheRuntimes();
  endChild(nullptr);
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

class ForcedStop : public ::testing::TestWithParam<const char*> {};

TEST_P(ForcedStop, LeavesTheProcessUsable) {
#if defined(__SANITIZE_THREAD__)
  if (GetParam() == std::string("forcedStopsGiveTheStackBack"))
    GTEST_SKIP() << "ThreadSanitizer runs the stop signal's handler later, at one of its own "
                    "interception points: where a busy worker really is cannot be told, so its "
                    "stop is given up";
#endif
  kwtest::ChildProcess child(GetParam());
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0) << "142: the child hung, and its alarm ended it";
}

INSTANTIATE_TEST_SUITE_P(Children, ForcedStop,
                         ::testing::Values("forcedStopsGiveTheStackBack",
                                           "forcedStopOfAConditionWaiter",
                                           "aWorkerBlockingEverySignal",
                                           "aWorkerInACallbackOfTheLoader"),
                         [](const auto& info) { return std::string(info.param); });

#endif
