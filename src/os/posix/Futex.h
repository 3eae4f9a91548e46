// Futex: the system call behind the sleeping locks, events and bells on Linux, one 32-bit word
// each.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <ctime>

namespace kw::os {

// Sleeps while the word holds `expected`, up to `timeout`: relative for FUTEX_WAIT(_PRIVATE),
// an absolute monotonic time for FUTEX_WAIT_BITSET_PRIVATE; null sleeps without a limit. 0 when
// woken, else -1 with errno (EAGAIN: the word had changed; ETIMEDOUT; EINTR).
inline long futexWait(const void* word, int op, std::uint32_t expected, const timespec* timeout) {
  return syscall(SYS_futex, word, op, expected, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// The same with a relative time-out in milliseconds.
inline long futexWaitFor(const void* word, int op, std::uint32_t expected, unsigned long ms) {
  const timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  return futexWait(word, op, expected, &timeout);
}

// Wakes up to `count` sleepers on the word; the number woken.
inline long futexWake(const void* word, int op, int count = INT_MAX) {
  return syscall(SYS_futex, word, op, count, nullptr, nullptr, 0);
}

}  // namespace kw::os
