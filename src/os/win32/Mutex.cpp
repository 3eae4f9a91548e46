#include "os/Mutex.h"

namespace kw::os {

HANDLE mutexCreate(const wchar_t* name) { return CreateMutexW(nullptr, FALSE, name); }

LockResult mutexLock(HANDLE mutex) {
  switch (WaitForSingleObject(mutex, INFINITE)) {
    case WAIT_OBJECT_0:
      return LockResult::Acquired;
    case WAIT_ABANDONED:
      return LockResult::Abandoned;
    default:
      return LockResult::Failed;
  }
}

bool mutexRelease(HANDLE mutex) { return ReleaseMutex(mutex) != FALSE; }

void mutexClose(HANDLE mutex) { CloseHandle(mutex); }

}  // namespace kw::os
