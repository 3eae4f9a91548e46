#include "os/WakePath.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B575750;  // "KWWP"

// One futex word per side: 1 once rung, 0 again when its side has seen it.
struct Bells {
  std::atomic<std::uint32_t> rung[2];
};
static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a futex word");

struct PosixWakePath {
  SharedSegment segment;
  WakeSide side = WakeReader;
  Bells* bells = nullptr;
};

PosixWakePath* fromHandle(HANDLE handle) { return static_cast<PosixWakePath*>(handle); }

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}

}  // namespace

bool wakePathSwitchedOff() {
  const char* value = std::getenv("KW_TRANSPORT_POLL_ONLY");
  return value && std::strcmp(value, "1") == 0;
}

HANDLE wakePathOpen(const wchar_t* name, WakeSide side) {
  auto* path = new (std::nothrow) PosixWakePath;
  if (!path) {
    errno = ENOMEM;
    return nullptr;
  }
  auto layOut = [](void* data) {
    new (data) Bells{};
    return true;
  };
  path->side = side;
  const std::wstring objectName = std::wstring(name) + L".wake";
  if (!path->segment.open(SharedSegment::objectName(objectName.c_str()), sizeof(Bells), kMagic,
                          layOut) ||
      !path->segment.setMark(side)) {
    const int error = errno;
    delete path;
    errno = error;
    return nullptr;
  }
  path->bells = static_cast<Bells*>(path->segment.data());
  return path;
}

void wakePathClose(HANDLE path) { delete fromHandle(path); }

bool wakePathPeerTakesPart(HANDLE handle) {
  PosixWakePath* path = fromHandle(handle);
  return path && path->segment.isMarked(path->side == WakeReader ? WakeWriter : WakeReader);
}

void wakePathRing(HANDLE handle, WakeSide side) {
  PosixWakePath* path = fromHandle(handle);
  if (!path) return;
  std::atomic<std::uint32_t>* word = &path->bells->rung[side];
  if (word->exchange(1) == 0) futex(word, FUTEX_WAKE, INT_MAX, nullptr);
}

bool wakePathWait(HANDLE handle, unsigned long timeoutMs) {
  PosixWakePath* path = fromHandle(handle);
  if (!path) return false;
  std::atomic<std::uint32_t>* word = &path->bells->rung[path->side];
  using Clock = std::chrono::steady_clock;  // the monotonic clock
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (word->exchange(0) != 0) return true;
    const long long left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const timespec wait{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    // Sleeps only while the word is still 0: a ring in between is not lost.
    futex(word, FUTEX_WAIT, 0, &wait);
  }
}

}  // namespace kw::os
