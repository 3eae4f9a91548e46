#include "os/SharedMemory.h"

#include <cerrno>
#include <cstdint>
#include <new>

#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B57534D;  // "KWSM"

}  // namespace

// The segment maps the object when it opens, so the handle is the segment
// and the view its data; the mapping goes with the handle.
HANDLE sharedMemoryCreate(const wchar_t* name, std::size_t size) {
  auto* segment = new (std::nothrow) SharedSegment;
  if (!segment) return nullptr;
  // A fresh object is zero-filled already, which is the free slot.
  if (!segment->open(SharedSegment::objectName(name), size, kMagic, [](void*) { return true; })) {
    int error = errno;
    delete segment;
    errno = error;
    return nullptr;
  }
  return segment;
}

void* sharedMemoryMap(HANDLE memory, std::size_t) {
  return memory ? static_cast<SharedSegment*>(memory)->data() : nullptr;
}

void sharedMemoryUnmap(void*) {}

void sharedMemoryClose(HANDLE memory) { delete static_cast<SharedSegment*>(memory); }

// Linux has no integrity levels; the objects are the user's own (mode 0600)
// and are never used when another user owns them or others may open them.
LabelFailure lowerIntegrity(HANDLE) { return LabelFailure::None; }

}  // namespace kw::os
