// Named objects planted where the library will look for its own, as another
// local user or a careless one would leave them, and processes in another
// PID namespace (Linux only).
#pragma once

#include <functional>
#include <string>

namespace kwtest {

// The user's object folder, as this process's environment names it.
std::string objectFolder();
// The file in the user's object folder behind a session-local object name.
std::string sharedObjectPath(const std::wstring& localName);
// Where that name lay when every user's objects shared /dev/shm.
std::string sharedFolderPath(const std::wstring& localName);

// Creates that file (or, with folder, a folder) as another local user
// ("nobody") with the given mode, in a place where anyone may create names.
// False, with the reason, where this process cannot act as another user.
bool createAsOtherUser(const std::string& path, unsigned mode, std::string& reason,
                       bool folder = false);
// Creates it as this user and hands it to "nobody": what a folder no other
// user can enter may hold only through root.
bool createOwnedByOtherUser(const std::string& path, unsigned mode, std::string& reason);

// Creates it as this user, then gives it the mode (past the umask).
bool createWithMode(const std::string& path, unsigned mode);

// Overwrites the object's bytes after its header with `byte`.
bool overwriteObject(const std::wstring& localName, unsigned char byte);

// Whether the thread with that ID is asleep (blocked in a wait).
bool threadIsBlocked(long tid);
// The calling thread's ID.
long currentThreadId();

// For a child routine: runs `body` as the first process of a new PID
// namespace and ends the routine's process with its exit code (100 + signal
// when it died); returns 77 when the namespace cannot be made. The body
// dies with the routine's process.
int inNewPidNamespace(const std::function<int()>& body);
constexpr int kNoPidNamespace = 77;

}  // namespace kwtest
