// Mutex: a recursive system mutex, private or shared by name within the session.
#pragma once

#include <kw/Platform.h>

namespace kw {

namespace os {
struct MutexObject;
}  // namespace os

// A recursive system mutex, private to the process or shared by name with
// every process of the session that opens the same name. A holder that ends
// without releasing it leaves it abandoned: the next lock takes it over.
class KW_API Mutex {
 public:
  Mutex();
  // Copying would share the handle, which both copies would close.
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  // Closes the handle without releasing a lock still held.
  virtual ~Mutex();

  // Creates the object, or opens it when the name exists; null is unnamed.
  // A second call replaces (and closes) the previous handle.
  // Throws SystemException SiteId::MutexCreateFailed.
  void initialise(const wchar_t* name);
  // Returns holding the mutex; an abandoned one is traced (SiteId::MutexAbandoned) and
  // taken. Throws SystemException SiteId::MutexWaitFailed when the wait fails.
  void lock();
  // Throws SystemException SiteId::MutexReleaseFailed, for instance when not held.
  void release();
  // The system handle; null before initialise.
  HANDLE getHandle() const { return m_hMutex; }

 private:
  os::MutexObject* m_hMutex;
};

}  // namespace kw
