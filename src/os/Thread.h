// Worker threads: start, timed waits for their end, ending the calling
// thread, stopping another by force, and the manual-reset wake event.
//
// On Linux a thread that ends itself (threadExit) unwinds its stack; one that
// is killed (threadKill, through a real-time signal that the library takes
// for itself) ends without unwinding, as TerminateThread ends a Windows
// thread, but only where no lock of the C library, the loader or the C++
// runtime stays held, and its stack is given back.
#pragma once

#include <kw/Thread.h>

namespace kw::os {

// Handles of types of their own, so that neither passes for the other or
// for another facility's (on Windows their values are the system's HANDLEs).
struct ThreadObject;
using ThreadHandle = ThreadObject*;
struct WakeEventObject;
using WakeEventHandle = WakeEventObject*;

using ThreadRoutine = unsigned long(KW_THREAD_ROUTINE*)(void*);

enum class WaitResult { Signalled, TimedOut, Failed };

// The exit code of a thread still running.
constexpr unsigned long kStillActive = 259;

// Runs routine(arg) on a new thread at once; null on failure, with the
// thread's last error.
ThreadHandle threadStart(ThreadRoutine routine, void* arg);
// Waits up to timeoutMs (INFINITE: no limit) for the thread to end; a null
// handle fails at once.
WaitResult threadWait(ThreadHandle thread, unsigned long timeoutMs);
// Ends the calling thread with that exit code.
[[noreturn]] void threadExit(unsigned long exitCode);
// Stops the thread by force; it ends with that exit code unless it is already
// ending by itself. It may still be ending when this returns: wait for it
// before freeing what it uses. On Linux the thread has ended when this
// returns true; false (ETIMEDOUT) when it did not reach a point where it may
// end within about a second (it blocks the signal, or stays in the C library
// or the C++ runtime): it goes on, let go, and ends at its next wakeEventWait
// or threadExit, or where the pending signal finds it stoppable.
bool threadKill(ThreadHandle thread, unsigned long exitCode);
// The exit code, kStillActive while the thread runs; false on failure.
bool threadExitCode(ThreadHandle thread, unsigned long& exitCode);
// Null is ignored; a thread still running goes on without its handle.
void threadClose(ThreadHandle thread);
// True on the thread itself.
bool threadIsCurrent(ThreadHandle thread);

// A manual-reset event, unsignalled; null on failure.
WakeEventHandle wakeEventCreate();
// Signals it for good: every wait from then on returns at once.
void wakeEventSet(WakeEventHandle event);
// Waits up to timeoutMs for the event; a null event fails at once.
WaitResult wakeEventWait(WakeEventHandle event, unsigned long timeoutMs);
void wakeEventClose(WakeEventHandle event);
// Closes the event once that thread has ended (at once when it has, or when
// the thread is null), for a worker that may still wait on it.
void wakeEventCloseAfter(WakeEventHandle event, ThreadHandle thread);

}  // namespace kw::os
