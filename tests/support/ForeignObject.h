// Named objects planted where the library will look for its own, as another
// local user or a careless one would leave them (Linux only).
#pragma once

#include <string>

namespace kwtest {

// The file under /dev/shm behind a session-local object name.
std::string sharedObjectPath(const std::wstring& localName);

// Creates that file as another local user ("nobody") with the given mode.
// False, with the reason, where this process cannot act as another user.
bool createAsOtherUser(const std::string& path, unsigned mode, std::string& reason);

// Creates it as this user, then gives it the mode (past the umask).
bool createWithMode(const std::string& path, unsigned mode);

// Whether the thread with that ID is asleep (blocked in a wait).
bool threadIsBlocked(long tid);
// The calling thread's ID.
long currentThreadId();

}  // namespace kwtest
