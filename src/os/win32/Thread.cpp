#include "os/Thread.h"

namespace kw::os {

namespace {

WaitResult waitFor(HANDLE object, unsigned long timeoutMs) {
  switch (WaitForSingleObject(object, timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::Signalled;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

}  // namespace

HANDLE threadStart(ThreadRoutine routine, void* arg) {
  return CreateThread(nullptr, 0, routine, arg, 0, nullptr);
}

WaitResult threadWait(HANDLE thread, unsigned long timeoutMs) { return waitFor(thread, timeoutMs); }

void threadExit(unsigned long exitCode) { ExitThread(exitCode); }

bool threadKill(HANDLE thread, unsigned long exitCode) {
  return TerminateThread(thread, exitCode) != FALSE;
}

bool threadExitCode(HANDLE thread, unsigned long& exitCode) {
  DWORD code = 0;
  if (!GetExitCodeThread(thread, &code)) return false;
  exitCode = code;
  return true;
}

void threadClose(HANDLE thread) {
  if (thread) CloseHandle(thread);
}

bool threadIsCurrent(HANDLE thread) {
  return thread && GetThreadId(thread) == GetCurrentThreadId();
}

HANDLE wakeEventCreate() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void wakeEventSet(HANDLE event) { SetEvent(event); }

WaitResult wakeEventWait(HANDLE event, unsigned long timeoutMs) {
  return waitFor(event, timeoutMs);
}

void wakeEventClose(HANDLE event) {
  if (event) CloseHandle(event);
}

}  // namespace kw::os
