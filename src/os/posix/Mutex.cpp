// Mutexes on Linux: robust pthread mutexes, named ones in a shared segment.
// Twin of win32/Mutex.cpp.
#include "os/Mutex.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "os/ErrorText.h"
#include "os/posix/SharedSegment.h"

namespace kw::os {

// The holder is kept beside the mutex: which of our threads holds it
// through this handle, and how often.
struct MutexObject {
  pthread_mutex_t own;
  pthread_mutex_t* mutex = nullptr;
  SharedSegment segment;
  std::atomic<pid_t> holder{0};
  int depth = 0;  // written by the holder only
};

namespace {

constexpr std::uint32_t kMagic = 0x4B574D32;  // "KWM2"

// Robust, so that a holder's end is reported; recursive, as a Windows mutex
// is; priority-inheriting, so that the kernel hands a released mutex to the
// thread that has waited longest instead of letting the releaser take it
// straight back; process-shared when it lives in a named segment.
bool initialiseMutex(pthread_mutex_t* mutex, bool shared) {
  pthread_mutexattr_t attributes;
  if (!succeeded(pthread_mutexattr_init(&attributes))) return false;
  const bool made =
      succeeded(pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE)) &&
      succeeded(pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST)) &&
      succeeded(pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT)) &&
      (!shared || succeeded(pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED))) &&
      succeeded(pthread_mutex_init(mutex, &attributes));
  if (!made) {
    keepingLastError([&] { pthread_mutexattr_destroy(&attributes); });
    return false;
  }
  if (succeeded(pthread_mutexattr_destroy(&attributes))) return true;
  keepingLastError([&] { pthread_mutex_destroy(mutex); });
  return false;
}

// gettid is a system call each time; a lock takes it on every turn. The
// thread that forks is the child's only thread, under a new id.
thread_local pid_t t_self = 0;
const int g_forgetSelfInChild = pthread_atfork(nullptr, nullptr, [] { t_self = 0; });

pid_t callerTid() {
  if (t_self == 0) t_self = gettid();
  return t_self;
}

bool threadAlive(pid_t tid) {
  struct stat st {};
  return stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) == 0;
}

// A thread of ours that still holds the mutex may be on its way out (a
// worker that was stopped while holding it): the kernel marks the mutex
// abandoned as the thread exits, by writing to it, after which the memory
// may go. False when the holder is the caller or stays alive.
bool holderEnds(pid_t holder) {
  if (holder == callerTid()) return false;
  for (int i = 0; i < 2000 && threadAlive(holder); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return !threadAlive(holder);
}

// Mutexes closed while a live thread of ours holds them stay here, mapped
// and reachable, for the rest of the process.
void keptForHolder(MutexObject* mutex) {
  static std::mutex lock;
  static auto* kept = new std::vector<MutexObject*>;
  std::lock_guard<std::mutex> guard(lock);
  kept->push_back(mutex);
}

void noteLocked(MutexObject* mutex, bool abandoned) {
  const pid_t self = callerTid();
  if (abandoned || mutex->holder.load() != self) {
    mutex->depth = 0;
    mutex->holder = self;
  }
  ++mutex->depth;
}

}  // namespace

MutexHandle mutexCreate(const wchar_t* name) {
  auto created = std::unique_ptr<MutexObject>(new (std::nothrow) MutexObject);
  if (!created) return failing(ENOMEM, nullptr);
  if (!name) {
    if (!initialiseMutex(&created->own, false)) return nullptr;
    created->mutex = &created->own;
    return created.release();
  }
  auto layOut = [](void* data) {
    return initialiseMutex(static_cast<pthread_mutex_t*>(data), true);
  };
  if (!created->segment.open(SharedSegment::objectName(name), sizeof(pthread_mutex_t), kMagic,
                             layOut))
    return nullptr;
  created->mutex = static_cast<pthread_mutex_t*>(created->segment.data());
  return created.release();
}

LockResult mutexLock(MutexHandle mutex) {
  if (!mutex) return failing(EINVAL, LockResult::Failed);
  const int status = pthread_mutex_lock(mutex->mutex);
  if (status == 0) {
    noteLocked(mutex, false);
    return LockResult::Acquired;
  }
  if (status == EOWNERDEAD) {
    const int consistent = pthread_mutex_consistent(mutex->mutex);
    noteLocked(mutex, true);
    if (consistent == 0) return LockResult::Abandoned;
    // Held but unusable: give it back and report the failure.
    mutexRelease(mutex);
    return failing(consistent, LockResult::Failed);
  }
  return failing(status, LockResult::Failed);
}

bool mutexRelease(MutexHandle mutex) {
  if (!mutex) return failing(EINVAL, false);
  // The record changes before the unlock, after which the next holder writes it.
  const pid_t self = callerTid();
  const bool mine = mutex->holder.load() == self && mutex->depth > 0;
  if (mine && --mutex->depth == 0) mutex->holder = 0;
  const int status = pthread_mutex_unlock(mutex->mutex);
  if (status != 0 && mine) {
    mutex->holder = self;
    ++mutex->depth;
  }
  return succeeded(status);
}

void mutexClose(MutexHandle mutex) {
  if (!mutex) return;
  // The kernel marks a held robust mutex abandoned when its holder ends, by
  // writing to it: memory still held by one of our threads must stay
  // mapped, as a Windows mutex lives on while a thread owns it.
  const pid_t holder = mutex->holder.load();
  if (holder != 0 && threadAlive(holder) && !holderEnds(holder)) {
    keptForHolder(mutex);
    return;
  }
  if (mutex->mutex == &mutex->own) pthread_mutex_destroy(&mutex->own);
  delete mutex;
}

}  // namespace kw::os
