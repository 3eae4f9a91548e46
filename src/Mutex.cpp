#include "os/Mutex.h"

#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/Mutex.h>
#include <kw/SiteId.h>
#include <kw/SystemException.h>

namespace kw {

namespace {

const wchar_t kSourceFile[] = L".\\src\\Mutex";

[[noreturn]] void fail(int id, const wchar_t* description, int line, const wchar_t* function) {
  SystemException exception(id, description, kSourceFile, line, function);
  exception.addSystemErrorInfo();
  throw exception;
}

}  // namespace

Mutex::Mutex() : m_hMutex(nullptr) {}

Mutex::~Mutex() {
  os::mutexClose(m_hMutex);
  m_hMutex = nullptr;
}

void Mutex::initialise(const wchar_t* name) {
  HANDLE created = os::mutexCreate(name);
  if (!created)
    fail(SiteId::MutexCreateFailed, L"Error Initialising Mutex", 46, L"Mutex::initialise");
  os::mutexClose(m_hMutex);
  m_hMutex = created;
}

void Mutex::lock() {
  switch (os::mutexLock(m_hMutex)) {
    case os::LockResult::Acquired:
      return;
    case os::LockResult::Abandoned: {
      Event event(SiteId::MutexAbandoned, L"Mutex Wait Abandoned", kSourceFile, 64, L"Mutex::lock");
      Logger::Trace(event);
      return;
    }
    case os::LockResult::Failed:
      break;
  }
  fail(SiteId::MutexWaitFailed, L"Mutex Wait failed", 70, L"Mutex::lock");
}

void Mutex::release() {
  if (!os::mutexRelease(m_hMutex))
    fail(SiteId::MutexReleaseFailed, L"Error Releasing Mutex", 87, L"Mutex::release");
}

}  // namespace kw
