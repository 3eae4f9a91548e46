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
  // subclass stops it in its own destructor: the steps are its members.
  virtual ~Thread();

  // Starts the worker with param for execute; false when no thread could be
  // made, or when this object already has its worker.
  bool startThread(void* param);
  // Asks the worker to stop and wakes it. A started worker still in setup
  // keeps the request; ignored before startThread and once Stopped.
  void requestTermination();
  // Requests termination and waits up to timeout ms (INFINITE: no limit) for
  // the worker to end, then stops it by force; the state is then Stopped.
  // On Linux a worker stopped by force ends, unwinding, at its next sleep,
  // nap or terminateIfRequested, and terminate waits for that.
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
  // requested; nothing of execute or cleanUp runs after that.
  void terminateIfRequested();

 private:
  HANDLE m_hThread;
  HANDLE m_hWakeEvent;
  std::atomic<ThreadState> m_eState;
  void* m_pParam;
  std::atomic<bool> m_bTerminate;
};

}  // namespace kw
