// Threads on Windows: the system's threads and manual-reset events. Twin of
// posix/Thread.cpp.
#include "os/Thread.h"

namespace kw::os {

namespace {

WaitResult waitFor(HANDLE object, unsigned long timeoutMs) {
  const DWORD answer = WaitForSingleObject(object, timeoutMs);
  if (answer == WAIT_OBJECT_0) return WaitResult::Signalled;
  return answer == WAIT_TIMEOUT ? WaitResult::TimedOut : WaitResult::Failed;
}

}  // namespace

ThreadHandle threadStart(ThreadRoutine routine, void* arg) {
  return static_cast<ThreadHandle>(CreateThread(nullptr, 0, routine, arg, 0, nullptr));
}

WaitResult threadWait(ThreadHandle thread, unsigned long timeoutMs) {
  return waitFor(thread, timeoutMs);
}

void threadExit(unsigned long exitCode) { ExitThread(exitCode); }

bool threadKill(ThreadHandle thread, unsigned long exitCode) {
  return TerminateThread(thread, exitCode) != FALSE;
}

bool threadExitCode(ThreadHandle thread, unsigned long& exitCode) {
  DWORD code = 0;
  if (!GetExitCodeThread(thread, &code)) return false;
  exitCode = code;
  return true;
}

void threadClose(ThreadHandle thread) {
  if (thread) CloseHandle(thread);
}

bool threadIsCurrent(ThreadHandle thread) {
  return thread && GetThreadId(thread) == GetCurrentThreadId();
}

WakeEventHandle wakeEventCreate() {
  return static_cast<WakeEventHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

void wakeEventSet(WakeEventHandle event) { SetEvent(event); }

WaitResult wakeEventWait(WakeEventHandle event, unsigned long timeoutMs) {
  return waitFor(event, timeoutMs);
}

void wakeEventClose(WakeEventHandle event) {
  if (event) CloseHandle(event);
}

// A handle keeps the event alive for a thread that waits on it already.
void wakeEventCloseAfter(WakeEventHandle event, ThreadHandle) { wakeEventClose(event); }

}  // namespace kw::os
