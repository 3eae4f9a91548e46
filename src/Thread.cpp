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
  if (m_eState != Stopped) {
    requestTermination();
    if (os::threadWait(m_hThread, timeout) != os::WaitResult::Signalled)
      os::threadKill(m_hThread, kKilledExitCode);
    m_eState = Stopped;
  }
  // Stopped is set before cleanUp runs, and a killed thread may take a moment
  // to end: the caller may destroy what the worker still uses once this
  // returns (a subclass calls this from its destructor).
  if (!os::threadIsCurrent(m_hThread)) os::threadWait(m_hThread, INFINITE);
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
