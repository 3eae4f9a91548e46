// AutoMutex: a kw::Mutex held for one scope.
#pragma once

#include <kw/Mutex.h>

namespace kw {

// Holds a Mutex locked for the extent of a scope.
class KW_API AutoMutex {
 public:
  // Locks `mutex`; the destructor releases it.
  explicit AutoMutex(Mutex& mutex);
  // A copy would release once more than it locked.
  AutoMutex(const AutoMutex&) = delete;
  AutoMutex& operator=(const AutoMutex&) = delete;
  virtual ~AutoMutex();

 private:
  Mutex& m_mutex;
};

}  // namespace kw
