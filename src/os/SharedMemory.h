// Named memory shared by the processes of a session: created zero-filled
// by the first opener, alive while some process holds it.
#pragma once

#include <kw/Platform.h>

#include <cstddef>
#include <string>

namespace kw::os {

// A shared-memory handle, of a type of its own so that no other handle
// passes for it (on Windows its value is the system's HANDLE).
struct SharedMemoryObject;
using SharedMemoryHandle = SharedMemoryObject*;

// Creates the named object, or opens it when it exists. Null on failure,
// with the thread's last error.
SharedMemoryHandle sharedMemoryCreate(const wchar_t* name, std::size_t size);
// The whole object mapped read-write; null on failure, with the last error.
void* sharedMemoryMap(SharedMemoryHandle memory, std::size_t size);
void sharedMemoryUnmap(void* view);
void sharedMemoryClose(SharedMemoryHandle memory);

// Why the place of the user's named objects (mutexes and blocks alike)
// was refused: the folder and its owner. Empty when it was not, and on
// Windows, whose session namespace nobody else can enter.
std::wstring namedObjectRefusal();

// Which step of giving an object the low integrity label failed.
enum class LabelFailure { None, Descriptor, Sacl, SetInfo };
// Lets processes of low integrity open the object, of any kind (a mutex or
// a shared block). On a failure the thread's last error says why.
LabelFailure lowerIntegrity(HANDLE object);

}  // namespace kw::os
