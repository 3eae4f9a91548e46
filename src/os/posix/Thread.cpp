// Threads on Linux: pthreads, futex events and a stop signal. Twin of
// win32/Thread.cpp.
#include "os/Thread.h"

#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "os/ErrorText.h"

namespace kw::os {

namespace {

// Futexes instead of condition variables: a thread killed while it waits
// leaves no waiter count behind that would block a later destroy.
long futexWait(std::atomic<int>& word, int expected, const timespec* deadline) {
  return syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
                 deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWakeAll(std::atomic<int>& word) {
  syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
          0);
}

timespec deadlineAfter(unsigned long ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += static_cast<time_t>(ms / 1000);
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

[[maybe_unused]] bool before(const timespec& deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec < deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec < deadline.tv_nsec);
}

// A manual-reset event; bounded waits measure time on the monotonic clock.
class ManualEvent {
 public:
  void set() {
    if (m_nSet.exchange(1) == 0) futexWakeAll(m_nSet);
  }

  bool isSet() const { return m_nSet.load() != 0; }

  WaitResult wait(unsigned long timeoutMs) {
    if (isSet()) return WaitResult::Signalled;
    if (timeoutMs == 0) return WaitResult::TimedOut;
    const bool bounded = timeoutMs != INFINITE;
    const timespec deadline = bounded ? deadlineAfter(timeoutMs) : timespec{};
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a signal handler only inside the calls that it
    // intercepts, which the futex call is not: a kill would never reach a
    // waiting thread. Poll instead.
    for (;;) {
      if (isSet()) return WaitResult::Signalled;
      if (bounded && !before(deadline)) return WaitResult::TimedOut;
      poll(nullptr, 0, 1);
    }
#endif
    for (;;) {
      const long status = futexWait(m_nSet, 0, bounded ? &deadline : nullptr);
      if (isSet()) return WaitResult::Signalled;
      if (status == -1 && errno == ETIMEDOUT) return WaitResult::TimedOut;
      if (status == -1 && errno != EAGAIN && errno != EINTR) return WaitResult::Failed;
    }
  }

 private:
  std::atomic<int> m_nSet{0};
};

constexpr unsigned long kUnknownEndExitCode = 0xFFFFFFFF;

}  // namespace

// The wake event is a bare manual-reset event.
struct WakeEventObject : ManualEvent {};

namespace {

// Who ends the worker: it returns, it unwinds after threadExit, or another
// thread kills it. Only the first claim counts; a kill can overtake an
// unwinding worker but not one that has returned.
enum Phase : int { kRunning, kUnwinding, kFinishing, kKilled };

}  // namespace

// Shared by the handle and the worker; the last of the two deletes it. A
// killed worker's share is dropped by its killer.
struct ThreadObject {
  void release() {
    if (references.fetch_sub(1) == 1) delete this;
  }

  pthread_t thread{};
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  ManualEvent ended;   // the thread no longer runs any of its code
  ManualEvent killed;  // a killed worker is at its last instruction
  std::atomic<int> phase{kRunning};
  std::atomic<ManualEvent*> waitingOn{nullptr};
  std::atomic<int> references{2};
  std::atomic<unsigned long> earlyExitCode{0};
  std::atomic<unsigned long> exitCode{kStillActive};
};

namespace {

// Initial-exec, so that the signal handler can read it.
__attribute__((tls_model("initial-exec"))) thread_local ThreadObject* t_current = nullptr;

// Ends the calling worker at once, without unwinding: nothing of its stack
// runs again. Robust mutexes that it holds are marked abandoned by the kernel.
[[noreturn]] void endWithoutUnwinding(ThreadObject* worker) {
  worker->killed.set();
  for (;;) syscall(SYS_exit, 0);
}

void onStopSignal(int, siginfo_t* info, void*) {
  ThreadObject* worker = t_current;
  if (!worker || info->si_code != SI_QUEUE || info->si_value.sival_ptr != worker) return;
  if (worker->phase.load() != kKilled) return;
  // Woken, but not yet back from its wait (a busy machine): it returns at
  // once and ends there by unwinding, as it would have on the request.
  ManualEvent* waiting = worker->waitingOn.load();
  if (waiting && waiting->isSet()) return;
  endWithoutUnwinding(worker);
}

// The highest real-time signal that nobody handles yet, taken once; 0 when
// there is none.
int stopSignal() {
  static const int taken = [] {
    for (int candidate = SIGRTMAX; candidate >= SIGRTMIN; --candidate) {
      struct sigaction current {};
      if (sigaction(candidate, nullptr, &current) != 0) continue;
      if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_sigaction = onStopSignal;
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      sigfillset(&action.sa_mask);
      if (sigaction(candidate, &action, nullptr) == 0) return candidate;
    }
    return 0;
  }();
  return taken;
}

// Records the exit code whether the routine returns or is unwound.
struct Finisher {
  ~Finisher() {
    int phase = worker->phase.load();
    do {
      if (phase == kKilled) endWithoutUnwinding(worker);
    } while (!worker->phase.compare_exchange_weak(phase, kFinishing));
    worker->exitCode = phase == kUnwinding ? worker->earlyExitCode.load()
                       : returned          ? code
                                           : kUnknownEndExitCode;
    worker->ended.set();
    worker->release();
  }
  ThreadObject* worker;
  bool returned = false;
  unsigned long code = 0;
};

void* workerMain(void* argument) {
  auto* worker = static_cast<ThreadObject*>(argument);
  t_current = worker;
  if (const int signal = stopSignal()) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, signal);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  }
  Finisher finisher{worker};
  finisher.code = worker->routine(worker->argument);
  finisher.returned = true;
  return nullptr;
}

}  // namespace

ThreadHandle threadStart(ThreadRoutine routine, void* arg) {
  auto* worker = new (std::nothrow) ThreadObject;
  if (!worker) return failing(ENOMEM, worker);
  worker->routine = routine;
  worker->argument = arg;
  // Born with the stop signal blocked: a kill that comes before the worker
  // knows who it is stays pending until it does.
  sigset_t stop, previous;
  sigemptyset(&stop);
  if (const int signal = stopSignal()) sigaddset(&stop, signal);
  if (!succeeded(pthread_sigmask(SIG_BLOCK, &stop, &previous))) {
    delete worker;
    return nullptr;
  }
  const int status = pthread_create(&worker->thread, nullptr, workerMain, worker);
  // Cannot fail: the mask is the one the first call gave back.
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!succeeded(status)) {
    delete worker;
    return nullptr;
  }
  return worker;
}

WaitResult threadWait(ThreadHandle thread, unsigned long timeoutMs) {
  if (!thread) return failing(EINVAL, WaitResult::Failed);
  return thread->ended.wait(timeoutMs);
}

void threadExit(unsigned long exitCode) {
  // Killed meanwhile, it unwinds all the same and ends at its last frame.
  if (ThreadObject* worker = t_current) {
    int phase = kRunning;
    if (worker->phase.compare_exchange_strong(phase, kUnwinding)) worker->earlyExitCode = exitCode;
  }
  pthread_exit(nullptr);
}

bool threadKill(ThreadHandle worker, unsigned long exitCode) {
  if (!worker || !stopSignal()) return failing(worker ? EAGAIN : EINVAL, false);
  int phase = worker->phase.load();
  do {
    // Already on its way out by its own return, or killed by another caller.
    if (phase == kFinishing || phase == kKilled) return true;
  } while (!worker->phase.compare_exchange_weak(phase, kKilled));
  if (worker == t_current) {
    worker->exitCode = exitCode;
    worker->killed.set();
    worker->ended.set();
    worker->release();
    for (;;) syscall(SYS_exit, 0);
  }
  sigval value{};
  value.sival_ptr = worker;
  // The queue of pending signals can be full for a moment.
  while (pthread_sigqueue(worker->thread, stopSignal(), value) == EAGAIN &&
         worker->killed.wait(1) != WaitResult::Signalled) {
  }
  worker->killed.wait(INFINITE);
  worker->exitCode = exitCode;
  worker->ended.set();
  worker->release();  // the share the worker can no longer drop
  return true;
}

bool threadExitCode(ThreadHandle thread, unsigned long& exitCode) {
  if (!thread) return failing(EINVAL, false);
  exitCode = thread->exitCode;
  return true;
}

bool threadIsCurrent(ThreadHandle thread) { return thread && thread == t_current; }

void threadClose(ThreadHandle worker) {
  if (!worker) return;
  // A killed thread is not joined: it ended outside the C library's
  // knowledge, and join would wait for bookkeeping that never comes.
  if (worker->ended.isSet() && !worker->killed.isSet())
    pthread_join(worker->thread, nullptr);
  else
    pthread_detach(worker->thread);
  worker->release();
}

WakeEventHandle wakeEventCreate() {
  auto* event = new (std::nothrow) WakeEventObject;
  return event ? event : failing(ENOMEM, event);
}

void wakeEventSet(WakeEventHandle event) {
  if (event) event->set();
}

WaitResult wakeEventWait(WakeEventHandle waited, unsigned long timeoutMs) {
  if (!waited) return failing(EINVAL, WaitResult::Failed);
  ThreadObject* worker = t_current;
  if (!worker) return waited->wait(timeoutMs);
  worker->waitingOn = waited;
  const WaitResult result = waited->wait(timeoutMs);
  worker->waitingOn = nullptr;
  if (worker->phase.load() == kKilled) pthread_exit(nullptr);
  return result;
}

void wakeEventClose(WakeEventHandle event) { delete event; }

}  // namespace kw::os
