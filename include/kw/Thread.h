// Thread: the base of worker threads, with cooperative and forced stopping.
#pragma once

#include <kw/Platform.h>
#include <kw/Win32Names.h>

#include <atomic>

#if defined(_WIN32)
#define KW_THREAD_ROUTINE WINAPI
#else
#define KW_THREAD_ROUTINE
#endif

namespace kw {

namespace os {
struct ThreadObject;
struct WakeEventObject;
}  // namespace os

// Base of every worker thread: the worker runs setup, execute and cleanUp
// in order. Another thread stops it by request (a flag and a wake event that
// cuts the worker's sleeps short) or, after a time-out, by force.
class KW_API Thread {
 public:
  // The worker's life: before start, running, ended.
  enum ThreadState : int { NotStarted = 0, Running = 1, Stopped = 2 };

  Thread();
  // A copy would share the system thread and event with the original.
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // Stops the worker (terminate(INFINITE)) and waits until it is gone. A
  // subclass stops it in its own destructor (terminate), as its steps use
  // its members: by the time this runs they are destroyed.
  virtual ~Thread();

  // Starts the worker with param for execute; false when no thread could be
  // made, or when this object already has its worker.
  bool startThread(void* param);
  // Asks the worker to stop and wakes it. A started worker still in setup
  // keeps the request; ignored before startThread and once Stopped.
  void requestTermination();
  // Requests termination and waits up to timeout ms (INFINITE: no limit) for
  // the worker to end, then stops it by force; the state is then Stopped.
  // When this returns the worker has ended, also one that had set Stopped
  // by itself and was still in cleanUp (it gets the same time-out), so the
  // caller may destroy the object.
  //
  // A forced stop ends the worker without unwinding its stack: nothing more
  // of execute or cleanUp runs and the objects on its stack are not
  // destroyed; a Mutex that it holds is later taken over as abandoned. On
  // Windows it is TerminateThread, which may also leave locks of the C
  // runtime or the system held, hanging the next thread that needs them.
  // On Linux (a real-time signal, the highest one without a handler when the
  // first worker starts, that the library then keeps for itself) the worker
  // is ended only where no lock of the C library (its heap's among them),
  // the loader or the C++ runtime is left held: while it runs outside their
  // code with none of them among its callers, in a sleep, or blocked in a
  // system call of its own such as read, write, poll or nanosleep (a stdio
  // stream that it was blocked reading or writing stays locked), but not in
  // a condition variable's wait. Elsewhere it runs on to their edge, where
  // it ends as it returns to its own code. Its stack and thread record are
  // given back; its thread_local objects are destroyed as at any thread's
  // end. A worker woken from its sleep but not yet out of it unwinds, as on
  // the request.
  // A worker that cannot be stopped within about a second more (it blocks
  // every signal, or never leaves those runtimes) is let go: trace event
  // ThreadStopFailed (1051003) says so, this returns with the state Stopped,
  // and the object no longer refers to the worker or its wake event, which
  // is freed when the worker ends; the worker ends at its next sleep, nap or
  // terminateIfRequested, or wherever the stop finds it stoppable later.
  void terminate(unsigned int timeout);
  // Worker only: waits ms (negative: until woken), or less once termination
  // was requested, then ends the thread if it was.
  void sleep(int ms);
  // Worker only: sleep(10).
  void nap();
  // The worker's state, safe from any thread.
  ThreadState getThreadState() const;

 protected:
  // First step on the worker; false ends it without execute.
  virtual bool setup() = 0;
  // The worker's work; its result is the thread's exit code.
  virtual int execute(void* param) = 0;
  // Last step on the worker, after execute.
  virtual void cleanUp() = 0;

  // The system thread's entry; runs `self`.
  static unsigned long KW_THREAD_ROUTINE entryPoint(void* self);
  // setup, execute and cleanUp in order, with the state changes.
  int run();
  // Worker only: ends the thread with exit code 1 when termination was
  // requested; nothing of execute or cleanUp runs after that (on Linux the
  // stack unwinds, destroying its objects).
  void terminateIfRequested();

 private:
  // After a forced stop that failed: traces it and hands the worker what it
  // may still use.
  void letWorkerGo();

  os::ThreadObject* m_hThread;
  os::WakeEventObject* m_hWakeEvent;
  std::atomic<ThreadState> m_eState;
  void* m_pParam;
  std::atomic<bool> m_bTerminate;
};

}  // namespace kw
