// Mutex: creating or opening the named mutex, lock with abandoned-holder takeover, and release.
#include "os/Mutex.h"

#include <kw/Mutex.h>
#include <kw/SiteId.h>

#include "Site.h"
#include "os/SharedMemory.h"

namespace kw {

namespace {

constexpr wchar_t kFile[] = L".\\src\\Mutex";

}  // namespace

Mutex::Mutex() : m_hMutex(nullptr) {}

Mutex::~Mutex() {
  os::mutexClose(m_hMutex);
  m_hMutex = nullptr;
}

void Mutex::initialise(const wchar_t* name) {
  os::MutexHandle created = os::mutexCreate(name);
  if (!created) {
    // Named after the folder that was refused, when that was the cause.
    const std::wstring refusal = name ? os::namedObjectRefusal() : std::wstring();
    Site(kFile, L"Mutex::initialise")
        .throwSystemError(SiteId::MutexCreateFailed, L"Error Initialising Mutex", 46,
                          refusal.empty() ? nullptr : refusal.c_str());
  }
  os::mutexClose(m_hMutex);
  m_hMutex = created;
}

void Mutex::lock() {
  const Site site(kFile, L"Mutex::lock");
  switch (os::mutexLock(m_hMutex)) {
    case os::LockResult::Acquired:
      return;
    case os::LockResult::Abandoned:
      site.trace(SiteId::MutexAbandoned, L"Mutex Wait Abandoned", 64);
      return;
    case os::LockResult::Failed:
      break;
  }
  site.throwSystemError(SiteId::MutexWaitFailed, L"Mutex Wait failed", 70);
}

void Mutex::release() {
  if (!os::mutexRelease(m_hMutex))
    Site(kFile, L"Mutex::release")
        .throwSystemError(SiteId::MutexReleaseFailed, L"Error Releasing Mutex", 87);
}

}  // namespace kw
