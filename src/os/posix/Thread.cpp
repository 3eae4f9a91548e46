#include "os/Thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

namespace kw::os {

namespace {

// A manual-reset event; waits measure time on the monotonic clock.
class ManualEvent {
 public:
  ManualEvent() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_mutex_init(&m_mutex, nullptr);
  }
  ~ManualEvent() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
  }
  ManualEvent(const ManualEvent&) = delete;
  ManualEvent& operator=(const ManualEvent&) = delete;

  void set() {
    pthread_mutex_lock(&m_mutex);
    m_bSet = true;
    pthread_cond_broadcast(&m_cond);
    pthread_mutex_unlock(&m_mutex);
  }

  bool isSet() {
    pthread_mutex_lock(&m_mutex);
    bool set = m_bSet;
    pthread_mutex_unlock(&m_mutex);
    return set;
  }

  // A cancellation point while the caller's cancellation is enabled: then
  // glibc takes the mutex back and unwinds, and the guard releases it.
  WaitResult wait(unsigned long timeoutMs) {
    struct Unlock {
      pthread_mutex_t* mutex;
      ~Unlock() { pthread_mutex_unlock(mutex); }
    };
    const timespec deadline = deadlineAfter(timeoutMs);
    pthread_mutex_lock(&m_mutex);
    Unlock unlock{&m_mutex};
    while (!m_bSet) {
      if (timeoutMs == 0) return WaitResult::TimedOut;
      int status = timeoutMs == INFINITE ? pthread_cond_wait(&m_cond, &m_mutex)
                                         : pthread_cond_timedwait(&m_cond, &m_mutex, &deadline);
      if (status == ETIMEDOUT) return m_bSet ? WaitResult::Signalled : WaitResult::TimedOut;
      if (status != 0) {
        errno = status;
        return WaitResult::Failed;
      }
    }
    return WaitResult::Signalled;
  }

 private:
  static timespec deadlineAfter(unsigned long ms) {
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

  pthread_mutex_t m_mutex;
  pthread_cond_t m_cond;
  bool m_bSet = false;
};

// Workers run with cancellation disabled, so that a kill never lands in the
// C library or in a destructor; a window opens it at a stop point.
class CancelWindow {
 public:
  CancelWindow() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &m_previous); }
  ~CancelWindow() { pthread_setcancelstate(m_previous, nullptr); }
  CancelWindow(const CancelWindow&) = delete;
  CancelWindow& operator=(const CancelWindow&) = delete;

 private:
  int m_previous = PTHREAD_CANCEL_DISABLE;
};

constexpr unsigned long kCancelledExitCode = 0xFFFFFFFF;

// Shared by the handle and the worker; the last of the two deletes it.
struct PosixThread {
  ~PosixThread() { pthread_mutex_destroy(&lock); }

  void release() {
    if (references.fetch_sub(1) == 1) delete this;
  }

  // The first way of ending early that is claimed sets the exit code.
  bool claimEarlyEnd(unsigned long code) {
    pthread_mutex_lock(&lock);
    const bool claimed = !earlyEndClaimed;
    if (claimed) {
      earlyEndClaimed = true;
      earlyExitCode = code;
    }
    pthread_mutex_unlock(&lock);
    return claimed;
  }

  void finish(bool returned, unsigned long returnedCode) {
    pthread_mutex_lock(&lock);
    exitCode = returned ? returnedCode : (earlyEndClaimed ? earlyExitCode : kCancelledExitCode);
    pthread_mutex_unlock(&lock);
    ended.set();
  }

  pthread_t thread{};
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  ManualEvent ended;
  std::atomic<int> references{2};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards the fields below
  bool earlyEndClaimed = false;
  unsigned long earlyExitCode = 0;
  unsigned long exitCode = kStillActive;
};

thread_local PosixThread* t_current = nullptr;

// Records the exit code whether the routine returns or is unwound.
struct Finisher {
  ~Finisher() {
    worker->finish(returned, code);
    worker->release();
  }
  PosixThread* worker;
  bool returned = false;
  unsigned long code = 0;
};

void* workerMain(void* argument) {
  auto* worker = static_cast<PosixThread*>(argument);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  t_current = worker;
  Finisher finisher{worker};
  finisher.code = worker->routine(worker->argument);
  finisher.returned = true;
  return nullptr;
}

PosixThread* fromHandle(HANDLE handle) { return static_cast<PosixThread*>(handle); }

}  // namespace

HANDLE threadStart(ThreadRoutine routine, void* arg) {
  auto* worker = new (std::nothrow) PosixThread;
  if (!worker) {
    errno = ENOMEM;
    return nullptr;
  }
  worker->routine = routine;
  worker->argument = arg;
  int status = pthread_create(&worker->thread, nullptr, workerMain, worker);
  if (status != 0) {
    delete worker;
    errno = status;
    return nullptr;
  }
  return worker;
}

WaitResult threadWait(HANDLE thread, unsigned long timeoutMs) {
  if (!thread) {
    errno = EINVAL;
    return WaitResult::Failed;
  }
  return fromHandle(thread)->ended.wait(timeoutMs);
}

void threadExit(unsigned long exitCode) {
  if (t_current) t_current->claimEarlyEnd(exitCode);
  pthread_exit(nullptr);
}

bool threadKill(HANDLE thread, unsigned long exitCode) {
  PosixThread* worker = fromHandle(thread);
  if (!worker) {
    errno = EINVAL;
    return false;
  }
  // Once it has ended there is nothing to stop; pthread_t stays valid until
  // the handle joins it.
  if (worker->ended.isSet() || !worker->claimEarlyEnd(exitCode)) return true;
  int status = pthread_cancel(worker->thread);
  if (status != 0) errno = status;
  return status == 0;
}

bool threadExitCode(HANDLE thread, unsigned long& exitCode) {
  PosixThread* worker = fromHandle(thread);
  if (!worker) {
    errno = EINVAL;
    return false;
  }
  pthread_mutex_lock(&worker->lock);
  exitCode = worker->exitCode;
  pthread_mutex_unlock(&worker->lock);
  return true;
}

bool threadIsCurrent(HANDLE thread) { return thread && fromHandle(thread) == t_current; }

void threadClose(HANDLE thread) {
  PosixThread* worker = fromHandle(thread);
  if (!worker) return;
  if (worker->ended.isSet())
    pthread_join(worker->thread, nullptr);
  else
    pthread_detach(worker->thread);
  worker->release();
}

void threadStopPoint() {
  CancelWindow window;
  pthread_testcancel();
}

HANDLE wakeEventCreate() {
  auto* event = new (std::nothrow) ManualEvent;
  if (!event) errno = ENOMEM;
  return event;
}

void wakeEventSet(HANDLE event) {
  if (event) static_cast<ManualEvent*>(event)->set();
}

WaitResult wakeEventWait(HANDLE event, unsigned long timeoutMs) {
  CancelWindow window;
  pthread_testcancel();
  if (!event) {
    errno = EINVAL;
    return WaitResult::Failed;
  }
  return static_cast<ManualEvent*>(event)->wait(timeoutMs);
}

void wakeEventClose(HANDLE event) { delete static_cast<ManualEvent*>(event); }

}  // namespace kw::os
