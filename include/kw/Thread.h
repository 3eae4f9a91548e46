// Thread: the base of worker threads, with cooperative and forced stopping.
#pragma once

#include <kw/Platform.h>

#include <atomic>

#if defined(_WIN32)
#define KW_THREAD_ROUTINE WINAPI
#else
#define KW_THREAD_ROUTINE
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
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
  // by itself and was still in cleanUp, so the caller may destroy the object.
  //
  // A forced stop ends the worker wherever it is, without unwinding its
  // stack, on Windows (TerminateThread) and on Linux (a real-time signal,
  // the highest one without a handler when the first worker starts, that the
  // library then keeps for itself); only a Linux worker that had been woken
  // from its sleep but not yet left it unwinds, as on the request. It is a
  // last resort and may leave behind: the worker's objects undestroyed and
  // its memory unfreed; its stack and thread record allocated (on Linux);
  // locks that it holds, of which a Mutex is later taken over as abandoned
  // but C library and C++ runtime locks (the heap's, the loader's, the
  // exception unwinder's) can stay held for good, hanging the next thread
  // that needs them. On Linux a worker that blocks that signal cannot be
  // stopped by force.
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
  os::ThreadObject* m_hThread;
  os::WakeEventObject* m_hWakeEvent;
  std::atomic<ThreadState> m_eState;
  void* m_pParam;
  std::atomic<bool> m_bTerminate;
};

}  // namespace kw
