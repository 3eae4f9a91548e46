// Mutexes on Windows: the system's mutex objects. Twin of posix/Mutex.cpp.
#include "os/Mutex.h"

namespace kw::os {

MutexHandle mutexCreate(const wchar_t* name) {
  return static_cast<MutexHandle>(CreateMutexW(nullptr, FALSE, name));
}

LockResult mutexLock(MutexHandle mutex) {
  const DWORD answer = WaitForSingleObject(mutex, INFINITE);
  if (answer == WAIT_OBJECT_0) return LockResult::Acquired;
  return answer == WAIT_ABANDONED ? LockResult::Abandoned : LockResult::Failed;
}

bool mutexRelease(MutexHandle mutex) { return ReleaseMutex(mutex) != FALSE; }

// The handle's close is not reported: the caller has no use for it.
void mutexClose(MutexHandle mutex) { CloseHandle(mutex); }

}  // namespace kw::os
