// Worker threads: start, timed waits for their end, ending the calling
// thread, stopping another by force, and the manual-reset wake event.
//
// On Linux a thread that ends early (threadExit, or threadKill reaching it)
// unwinds its stack; it can be killed only at its stop points
// (wakeEventWait and threadStopPoint), so it never dies inside the C library
// or halfway through code that holds one of its locks. Exported for the
// tests.
#pragma once

#include <kw/Thread.h>

namespace kw::os {

using ThreadRoutine = unsigned long(KW_THREAD_ROUTINE*)(void*);

enum class WaitResult { Signalled, TimedOut, Failed };

// The exit code of a thread still running.
constexpr unsigned long kStillActive = 259;

// Runs routine(arg) on a new thread at once; null on failure, with the
// thread's last error.
KW_API HANDLE threadStart(ThreadRoutine routine, void* arg);
// Waits up to timeoutMs (INFINITE: no limit) for the thread to end; a null
// handle fails at once.
KW_API WaitResult threadWait(HANDLE thread, unsigned long timeoutMs);
// Ends the calling thread with that exit code.
[[noreturn]] KW_API void threadExit(unsigned long exitCode);
// Stops the thread by force; it ends with that exit code.
KW_API bool threadKill(HANDLE thread, unsigned long exitCode);
// The exit code, kStillActive while the thread runs; false on failure.
KW_API bool threadExitCode(HANDLE thread, unsigned long& exitCode);
// Null is ignored; a thread still running goes on without its handle.
KW_API void threadClose(HANDLE thread);
// True on the thread itself.
KW_API bool threadIsCurrent(HANDLE thread);
// Where a pending kill takes effect on the calling thread.
KW_API void threadStopPoint();

// A manual-reset event, unsignalled; null on failure.
KW_API HANDLE wakeEventCreate();
// Signals it for good: every wait from then on returns at once.
KW_API void wakeEventSet(HANDLE event);
// A stop point that waits up to timeoutMs for the event; a null event fails
// at once.
KW_API WaitResult wakeEventWait(HANDLE event, unsigned long timeoutMs);
KW_API void wakeEventClose(HANDLE event);

}  // namespace kw::os
