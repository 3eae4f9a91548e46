// Named shared memory on Linux: a shared segment. Twin of
// win32/SharedMemory.cpp.
#include "os/SharedMemory.h"

#include <cerrno>
#include <cstdint>
#include <new>

#include "os/ErrorText.h"
#include "os/posix/ObjectFolder.h"
#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B57534D;  // "KWSM"

}  // namespace

// The segment maps the object when it opens, so the handle is the segment
// and the view its data; the mapping goes with the handle.
struct SharedMemoryObject {
  SharedSegment segment;
};

SharedMemoryHandle sharedMemoryCreate(const wchar_t* name, std::size_t size) {
  auto* memory = new (std::nothrow) SharedMemoryObject;
  if (!memory) return failing(ENOMEM, memory);
  // A fresh object is zero-filled already, which is the free slot.
  if (!memory->segment.open(SharedSegment::objectName(name), size, kMagic,
                            [](void*) { return true; })) {
    keepingLastError([&] { delete memory; });
    return nullptr;
  }
  return memory;
}

void* sharedMemoryMap(SharedMemoryHandle memory, std::size_t) {
  return memory ? memory->segment.data() : failing(EINVAL, nullptr);
}

void sharedMemoryUnmap(void*) {}

void sharedMemoryClose(SharedMemoryHandle memory) { delete memory; }

std::wstring namedObjectRefusal() { return objectFolderRefusal(); }

// Linux has no integrity levels; the objects are the user's own (mode 0600)
// and are never used when another user owns them or others may open them.
LabelFailure lowerIntegrity(HANDLE) { return LabelFailure::None; }

}  // namespace kw::os
