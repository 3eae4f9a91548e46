// Thread: starting the worker, requesting and forcing its end, and its interruptible sleep.
#include "os/Thread.h"

#include <kw/Exception.h>
#include <kw/SiteId.h>
#include <kw/Thread.h>

#include "Site.h"

namespace kw {

namespace {

const wchar_t kSourceFile[] = L".\\src\\Thread";
constexpr unsigned long kKilledExitCode = 0xFFFFFFFF;

}  // namespace

Thread::Thread()
    : m_hThread(nullptr),
      m_hWakeEvent(nullptr),
      m_eState(NotStarted),
      m_pParam(nullptr),
      m_bTerminate(false) {}

Thread::~Thread() {
  terminate(INFINITE);
  os::threadClose(m_hThread);
  m_hThread = nullptr;
  os::wakeEventClose(m_hWakeEvent);
  m_hWakeEvent = nullptr;
}

bool Thread::startThread(void* param) {
  if (m_hThread) return false;  // one worker per object
  m_pParam = param;
  if (!m_hWakeEvent) m_hWakeEvent = os::wakeEventCreate();
  m_hThread = os::threadStart(&Thread::entryPoint, this);
  return m_hThread != nullptr;
}

void Thread::requestTermination() {
  // A started worker still in setup keeps the request, so that terminate
  // cannot miss a worker that reaches Running just after it looked.
  const ThreadState state = m_eState;
  if (state == Stopped || (state == NotStarted && !m_hThread)) return;
  m_bTerminate = true;
  if (m_hWakeEvent) os::wakeEventSet(m_hWakeEvent);
}

void Thread::terminate(unsigned int timeout) {
  if (!m_hThread) return;
  const bool self = os::threadIsCurrent(m_hThread);
  if (m_eState != Stopped)
    requestTermination();
  else if (self)
    return;  // in its own cleanUp
  // A worker that set Stopped by itself may still be in cleanUp: the caller
  // may destroy what it uses once this returns, so it gets the same time-out.
  if (os::threadWait(m_hThread, timeout) != os::WaitResult::Signalled) {
    if (self) m_eState = Stopped;  // the kill does not return
    if (!os::threadKill(m_hThread, kKilledExitCode)) letWorkerGo();
  }
  m_eState = Stopped;
}

void Thread::letWorkerGo() {
  const Site site(kSourceFile, L"Thread::terminate");
  site.trace(SiteId::ThreadStopFailed, L"The thread could not be stopped in Thread::terminate()",
             __LINE__);
  // The worker goes on and may still wait on the event: it is closed when
  // the worker ends. This object no longer refers to either.
  os::wakeEventCloseAfter(m_hWakeEvent, m_hThread);
  m_hWakeEvent = nullptr;
  os::threadClose(m_hThread);
  m_hThread = nullptr;
}

void Thread::sleep(int ms) {
  os::wakeEventWait(m_hWakeEvent, ms < 0 ? INFINITE : static_cast<unsigned long>(ms));
  terminateIfRequested();
}

void Thread::nap() { sleep(10); }

Thread::ThreadState Thread::getThreadState() const { return m_eState; }

unsigned long KW_THREAD_ROUTINE Thread::entryPoint(void* self) {
  static_cast<Thread*>(self)->run();
  return 0;
}

int Thread::run() {
  const Site site(kSourceFile, L"Thread::run");
  int result = 0;
  try {
    if (!setup()) {
      site.trace(SiteId::ThreadSetupFailed, L"Setup failed in Thread::run()", 91);
      m_eState = Stopped;
      cleanUp();
      return -1;
    }
    m_eState = Running;
    result = execute(m_pParam);
    m_eState = Stopped;
    cleanUp();
  } catch (Exception& exception) {
    site.traceCaught(SiteId::ThreadUnexpectedException, exception,
                     L"An unexpected exception occured in Thread::run()", 107);
    m_eState = Stopped;
    cleanUp();
  }
  return result;
}

void Thread::terminateIfRequested() {
  if (m_bTerminate) os::threadExit(1);
}

}  // namespace kw
