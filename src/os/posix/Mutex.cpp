#include "os/Mutex.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B574D31;  // "KWM1"

// Robust so that a holder's death is reported, recursive as a Windows
// mutex is, and process-shared when it lives in a named segment.
void initialiseMutex(pthread_mutex_t* mutex, bool shared) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (shared) pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

struct PosixMutex {
  pthread_mutex_t own;
  pthread_mutex_t* mutex = nullptr;
  SharedSegment segment;
};

PosixMutex* fromHandle(HANDLE handle) { return static_cast<PosixMutex*>(handle); }

// A robust mutex keeps its owner's thread ID in its futex word; 0 when free.
unsigned ownerOf(const pthread_mutex_t* mutex) {
  return static_cast<unsigned>(mutex->__data.__lock) & 0x3FFFFFFFu;
}

bool heldByThisProcess(const pthread_mutex_t* mutex) {
  const unsigned owner = ownerOf(mutex);
  if (owner == 0) return false;
  struct stat st {};
  return stat(("/proc/self/task/" + std::to_string(owner)).c_str(), &st) == 0;
}

// A thread of ours that still holds the mutex may be on its way out (a
// worker that was stopped while holding it): the kernel marks the mutex
// abandoned as the thread exits, after which the memory may go. False when
// the holder is the caller or stays alive.
bool holderEnds(const pthread_mutex_t* mutex) {
  if (ownerOf(mutex) == static_cast<unsigned>(syscall(SYS_gettid))) return false;
  for (int i = 0; i < 2000; ++i) {
    if (!heldByThisProcess(mutex)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return !heldByThisProcess(mutex);
}

}  // namespace

HANDLE mutexCreate(const wchar_t* name) {
  auto created = std::unique_ptr<PosixMutex>(new (std::nothrow) PosixMutex);
  if (!created) {
    errno = ENOMEM;
    return nullptr;
  }
  if (!name) {
    initialiseMutex(&created->own, false);
    created->mutex = &created->own;
    return created.release();
  }
  auto layOut = [](void* data) { initialiseMutex(static_cast<pthread_mutex_t*>(data), true); };
  if (!created->segment.open(SharedSegment::objectName(name), sizeof(pthread_mutex_t), kMagic,
                             layOut))
    return nullptr;
  created->mutex = static_cast<pthread_mutex_t*>(created->segment.data());
  return created.release();
}

LockResult mutexLock(HANDLE handle) {
  if (!handle) {
    errno = EINVAL;
    return LockResult::Failed;
  }
  pthread_mutex_t* mutex = fromHandle(handle)->mutex;
  int status = pthread_mutex_lock(mutex);
  if (status == 0) return LockResult::Acquired;
  if (status == EOWNERDEAD) {
    pthread_mutex_consistent(mutex);
    return LockResult::Abandoned;
  }
  errno = status;
  return LockResult::Failed;
}

bool mutexRelease(HANDLE handle) {
  if (!handle) {
    errno = EINVAL;
    return false;
  }
  int status = pthread_mutex_unlock(fromHandle(handle)->mutex);
  if (status != 0) errno = status;
  return status == 0;
}

void mutexClose(HANDLE handle) {
  PosixMutex* mutex = fromHandle(handle);
  if (!mutex) return;
  // The kernel marks a held robust mutex abandoned when its owner ends, by
  // writing to it: memory still held by one of our threads must stay
  // mapped, as a Windows mutex lives on while a thread owns it.
  if (heldByThisProcess(mutex->mutex) && !holderEnds(mutex->mutex)) return;
  delete mutex;
}

}  // namespace kw::os
