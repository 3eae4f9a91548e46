// Wake-ups between the two sides of a channel on Linux: one futex word per side in a shared
// segment, and one per side private to its process. Twin: src/os/win32/WakePath.cpp.
#include "os/WakePath.h"

#include <linux/futex.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "os/ErrorText.h"
#include "os/posix/Futex.h"
#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B575732;  // "KWW2"

// A bell is 0 when quiet, 1 once rung and 2 while its side sleeps on it,
// so that a ring costs a system call only when it has somebody to wake.
constexpr std::uint32_t kQuiet = 0;
constexpr std::uint32_t kRung = 1;
constexpr std::uint32_t kAsleep = 2;

// One futex word per side, and per side whether it awaits the other.
struct Bells {
  std::atomic<std::uint32_t> bell[2];
  std::atomic<std::uint32_t> awaiting[2];
};
static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a futex word");

}  // namespace

struct WakePathObject {
  SharedSegment segment;
  WakeSide side = WakeReader;
  Bells* bells = nullptr;
  // This side's bell for its own process (a push for a writer's worker):
  // private to the process, so rung and slept on through the cheaper
  // private futex.
  std::atomic<std::uint32_t> localBell{kQuiet};
  // Spins that ran out in vain are not tried again for a while (a loaded
  // machine keeps the other side off the CPU): the spins to skip, and how
  // many the next failure makes it. Used by this side's worker only.
  unsigned spinsToSkip = 0;
  unsigned spinPenalty = 0;
};

namespace {

WakeSide otherSide(WakeSide side) { return side == WakeReader ? WakeWriter : WakeReader; }

// Spinning only pays while the other side runs on another CPU.
const bool g_bSpinning = sysconf(_SC_NPROCESSORS_ONLN) > 1;
// About the cost of the sleep and the wake-up that a spin saves.
constexpr std::chrono::microseconds kSpin(20);

constexpr unsigned kMaxSpinPenalty = 256;

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

void ringBell(std::atomic<std::uint32_t>& word, int wakeOp) {
  if (word.exchange(kRung) == kAsleep) futexWake(&word, wakeOp);
}

bool waitBell(std::atomic<std::uint32_t>& word, int waitOp, unsigned long timeoutMs) {
  using Clock = std::chrono::steady_clock;  // the monotonic clock
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::uint32_t seen = word.load();
    if (seen == kRung) {
      if (word.compare_exchange_weak(seen, kQuiet)) return true;
      continue;
    }
    // Quiet, or whatever a peer wrote there: this side sleeps on it now.
    // Left as it was, the wait below would return at once, again and again.
    if (seen != kAsleep && !word.compare_exchange_weak(seen, kAsleep)) continue;
    const long long left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    // Left asleep on a time-out: another waiter of this side may still sleep
    // on the word, and a ring too many costs only a system call.
    if (left <= 0) return false;
    const timespec wait{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    // Sleeps only while the word still says so: a ring in between is not lost.
    futexWait(&word, waitOp, kAsleep, &wait);
  }
}

}  // namespace

bool wakePathSwitchedOff() {
  const char* value = std::getenv("KW_TRANSPORT_POLL_ONLY");
  return value && std::strcmp(value, "1") == 0;
}

WakePathHandle wakePathOpen(const wchar_t* name, WakeSide side) {
  auto* path = new (std::nothrow) WakePathObject;
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
    keepingLastError([&] { delete path; });
    return nullptr;
  }
  path->bells = static_cast<Bells*>(path->segment.data());
  return path;
}

void wakePathClose(WakePathHandle path) {
  if (path && path->bells) path->bells->awaiting[path->side].store(0);
  delete path;
}

bool wakePathPeerTakesPart(WakePathHandle path) {
  return path && path->segment.isMarked(otherSide(path->side));
}

void wakePathRing(WakePathHandle path, WakeSide side) {
  if (path) ringBell(path->bells->bell[side], FUTEX_WAKE);
}

bool wakePathWait(WakePathHandle path, unsigned long timeoutMs) {
  return path && waitBell(path->bells->bell[path->side], FUTEX_WAIT, timeoutMs);
}

void wakePathRingLocal(WakePathHandle path) {
  if (path) ringBell(path->localBell, FUTEX_WAKE_PRIVATE);
}

bool wakePathWaitLocal(WakePathHandle path, unsigned long timeoutMs) {
  return path && waitBell(path->localBell, FUTEX_WAIT_PRIVATE, timeoutMs);
}

void wakePathAwaitPeer(WakePathHandle path, bool awaiting) {
  if (path) path->bells->awaiting[path->side].store(awaiting ? 1 : 0);
}

void wakePathRingPeerIfAwaited(WakePathHandle path) {
  if (!path) return;
  const WakeSide peer = otherSide(path->side);
  if (path->bells->awaiting[peer].load() != 0) wakePathRing(path, peer);
}

bool wakePathSpin(WakePathHandle path, bool peerMustAwait, const std::function<bool()>& done) {
  if (!path || !g_bSpinning) return done();
  if (path->spinsToSkip > 0) {
    --path->spinsToSkip;
    return done();
  }
  const WakeSide peer = otherSide(path->side);
  const std::atomic<std::uint32_t>& peerBell = path->bells->bell[peer];
  const std::atomic<std::uint32_t>& peerAwaits = path->bells->awaiting[peer];
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kSpin;
  for (unsigned turn = 1;; ++turn) {
    if (done()) {
      path->spinPenalty /= 2;
      return true;
    }
    if (peerBell.load(std::memory_order_relaxed) == kAsleep) return false;
    if (peerMustAwait && peerAwaits.load(std::memory_order_relaxed) == 0) return false;
    if (turn % 64 == 0 && Clock::now() >= deadline) {
      path->spinPenalty = std::min(std::max(2 * path->spinPenalty, 1u), kMaxSpinPenalty);
      path->spinsToSkip = path->spinPenalty;
      return false;
    }
    relax();
  }
}

void wordWait(const std::atomic<std::uint32_t>& word, std::uint32_t seen, unsigned long timeoutMs) {
  if (timeoutMs == INFINITE)
    futexWait(&word, FUTEX_WAIT_PRIVATE, seen, nullptr);
  else
    futexWaitFor(&word, FUTEX_WAIT_PRIVATE, seen, timeoutMs);
}

void wordWakeAll(std::atomic<std::uint32_t>& word) { futexWake(&word, FUTEX_WAKE_PRIVATE); }

}  // namespace kw::os
