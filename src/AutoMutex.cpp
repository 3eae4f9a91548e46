// AutoMutex: lock on construction, release on destruction.
#include <kw/AutoMutex.h>

namespace kw {

AutoMutex::AutoMutex(Mutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }

// Cannot fail while the mutex lives and this thread holds it from the
// constructor; should it fail anyway, the exception ends the process
// rather than unwinding a second time.
AutoMutex::~AutoMutex() { m_mutex.release(); }

}  // namespace kw
