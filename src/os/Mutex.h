// Recursive mutexes that survive their holder: a holder that ends without
// releasing leaves the mutex abandoned, and the next lock takes it over.
#pragma once

#include <kw/Platform.h>

namespace kw::os {

enum class LockResult { Acquired, Abandoned, Failed };

// Opens the named mutex of the session, creating it when missing; a null
// name makes a private one. Null on failure, with the thread's last error.
HANDLE mutexCreate(const wchar_t* name);
// Failed sets the thread's last error; a null handle fails.
LockResult mutexLock(HANDLE mutex);
bool mutexRelease(HANDLE mutex);
// Does not release a lock still held; null is ignored.
void mutexClose(HANDLE mutex);

}  // namespace kw::os
