// Recursive mutexes that survive their holder: a holder that ends without
// releasing leaves the mutex abandoned, and the next lock takes it over.
#pragma once

#include <kw/Platform.h>

namespace kw::os {

// A mutex handle, of a type of its own so that no other handle passes for
// it (on Windows its value is the system's HANDLE).
struct MutexObject;
using MutexHandle = MutexObject*;

enum class LockResult { Acquired, Abandoned, Failed };

// Opens the named mutex of the session, creating it when missing; a null
// name makes a private one. Null on failure, with the thread's last error.
MutexHandle mutexCreate(const wchar_t* name);
// Failed sets the thread's last error; a null handle fails.
LockResult mutexLock(MutexHandle mutex);
bool mutexRelease(MutexHandle mutex);
// Does not release a lock still held; null is ignored.
void mutexClose(MutexHandle mutex);

}  // namespace kw::os
