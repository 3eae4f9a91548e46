// Mutexes on Linux: a fair recursive lock of our own on a futex word among the threads of a
// process, and for a named one a second futex word in its object between processes, whose holder
// is known by a slot its process keeps a file lock on. Nothing depends on a thread ID another PID
// namespace would have to resolve, and no value a peer writes into the object can crash or hang
// a locker. Twin of win32/Mutex.cpp.
#include "os/Mutex.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "os/ErrorText.h"
#include "os/posix/Futex.h"
#include "os/posix/OwnedFd.h"
#include "os/posix/SharedSegment.h"

namespace kw::os {

namespace {

constexpr std::uint32_t kMagic = 0x4B574D34;  // "KWM4"

// gettid is a system call each time; a lock takes it on every turn. The
// thread that forks is the child's only thread, under a new id; the child's
// objects need descriptions of their own (file locks belong to one).
thread_local pid_t t_self = 0;
std::atomic<unsigned> g_forks{0};
const int g_forgetInChild = pthread_atfork(nullptr, nullptr, [] {
  t_self = 0;
  ++g_forks;
});

pid_t callerTid() {
  if (t_self == 0) t_self = gettid();
  return t_self;
}

// A thread of this process; its ID stays valid while it runs.
bool threadAlive(pid_t tid) { return syscall(SYS_tgkill, getpid(), tid, 0) == 0 || errno != ESRCH; }

// A waiter looks at the holder this often; a lock handed to a waiter that
// never takes it is free again after the shorter wait.
constexpr long kHolderCheckMs = 50;
constexpr long kHandOffWaitMs = 20;

// The recursive lock among the threads of this process. A release with a
// sleeping waiter hands the lock over: the releaser, asking again at once
// (a writer polling for a free slot), waits behind it instead of taking it
// straight back. A holder thread that ended is found by its waiters, which
// take the lock over as abandoned.
class ThreadLock {
 public:
  LockResult lock() {
    const pid_t self = callerTid();
    if (m_holder.load() == self) {
      ++m_depth;
      return LockResult::Acquired;
    }
    bool waited = false;
    bool abandoned = false;
    for (;;) {
      std::uint32_t seen = m_word.load();
      if ((seen == kFree || (seen == kHandedOff && waited)) &&
          m_word.compare_exchange_strong(seen, kHeld))
        break;
      if (seen == kFree) continue;
      ++m_sleepers;
      const long slept = futexWaitFor(&m_word, FUTEX_WAIT_PRIVATE, seen,
                                      seen == kHandedOff ? kHandOffWaitMs : kHolderCheckMs);
      const bool timedOut = slept != 0 && errno == ETIMEDOUT;
      --m_sleepers;
      waited = true;
      if (!timedOut || seen != kHeld) continue;
      pid_t holder = m_holder.load();
      if (holder != 0 && !threadAlive(holder) && m_holder.compare_exchange_strong(holder, self)) {
        abandoned = true;
        break;
      }
    }
    m_holder = self;
    m_depth = 1;
    return abandoned ? LockResult::Abandoned : LockResult::Acquired;
  }

  bool release() {
    if (!heldByCaller()) return failing(EPERM, false);
    if (--m_depth > 0) return true;
    m_holder = 0;
    if (m_sleepers.load() > 0) {
      m_word = kHandedOff;
      if (futexWake(&m_word, FUTEX_WAKE_PRIVATE, 1) > 0) return true;
      // Nobody asleep to take it after all.
      std::uint32_t handed = kHandedOff;
      m_word.compare_exchange_strong(handed, kFree);
      return true;
    }
    m_word = kFree;
    // A waiter that came in between sleeps on the old value: wake it.
    if (m_sleepers.load() > 0) futexWake(&m_word, FUTEX_WAKE_PRIVATE, 1);
    return true;
  }

  bool heldByCaller() const { return m_holder.load() == callerTid() && m_depth > 0; }
  int depth() const { return m_depth; }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kHandedOff = 2;  // for a thread that has waited

  std::atomic<std::uint32_t> m_word{kFree};
  std::atomic<std::uint32_t> m_sleepers{0};
  std::atomic<pid_t> m_holder{0};
  // Written by the holder only; atomic because a holder that ended leaves
  // it to the thread that takes over, with no other ordering between them.
  std::atomic<int> m_depth{0};
};

// Between processes a named lock is a futex word of its own in the object,
// naming its holder by a slot that each opening process claims for as long
// as it has the object open, by a file lock on the slot's byte, and by a
// random tag that the process publishes beside the slot. The kernel drops
// the file lock when the process dies, whatever its PID namespace: a waiter
// that finds the holder's slot unclaimed, or a tag that is not the slot's,
// takes the lock over as abandoned. Whatever a peer writes into the object
// costs at most a wait of kHolderCheckMs and an abandonment reported.
constexpr int kSlots = 250;
constexpr std::uint32_t kFreeWord = 0;
constexpr std::uint32_t kHandedOffWord = 0xFFFFFFFF;  // for a process that has waited

struct SharedState {
  std::atomic<std::uint32_t> word;       // kFreeWord, kHandedOffWord or a holder
  std::atomic<std::uint32_t> waiting;    // processes waiting
  std::atomic<std::uint32_t> abandoned;  // a holder that died was cleared: tell the next
  std::atomic<std::uint32_t> tags[kSlots];
};
static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a futex word");

off_t slotByte(int slot) { return SharedSegment::kFirstFreeLockByte + slot; }

int slotOf(std::uint32_t word) { return static_cast<int>(word & 0xFF) - 1; }

bool slotLock(int fd, short type, int slot) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = slotByte(slot);
  range.l_len = 1;
  int status;
  while ((status = fcntl(fd, F_OFD_SETLK, &range)) != 0 && errno == EINTR) {
  }
  return status == 0;
}

// Whether another open description holds the slot's byte.
bool slotClaimed(int fd, int slot) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = slotByte(slot);
  range.l_len = 1;
  // Unknown counts as claimed: the lock is then waited for, not taken.
  return fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type != F_UNLCK;
}

// 24 bits, never 0.
std::uint32_t randomTag() {
  std::uint32_t value = 0;
  if (syscall(SYS_getrandom, &value, sizeof value, 1 /* GRND_NONBLOCK */) != sizeof value)
    value =
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint32_t>(getpid()) * 2654435761u;
  value &= 0xFFFFFF;
  return value ? value : 1;
}

}  // namespace

// One per named object and process, shared by every handle of the process
// on it, so that a thread holding it through one handle holds it through
// all, and the others see that thread end.
struct NamedLock {
  // A slot of this process's own, on a description of its own.
  bool claimSlot() {
    lockFd.reset(segment.openAgain());
    forks = g_forks.load();
    processHolds = false;
    if (!lockFd.valid()) return false;
    for (slot = 0; slot < kSlots && !slotLock(lockFd.get(), F_WRLCK, slot); ++slot) {
    }
    if (slot == kSlots) return failing(EUSERS, false);
    const std::uint32_t tag = randomTag();
    shared->tags[slot] = tag;
    self = tag << 8 | static_cast<std::uint32_t>(slot + 1);
    // A process that died holding the lock may have had this slot.
    std::uint32_t seen = shared->word.load();
    if (slotOf(seen) == slot && seen != self && shared->word.compare_exchange_strong(seen, 0)) {
      shared->abandoned = 1;
      futexWake(&shared->word, FUTEX_WAKE);
    }
    return true;
  }

  // Whether `word` names a process that still has the object open.
  bool holderLives(std::uint32_t word) const {
    const int holder = slotOf(word);
    if (holder < 0 || holder >= kSlots || holder == slot) return false;
    return shared->tags[holder].load() == word >> 8 && slotClaimed(lockFd.get(), holder);
  }

  // The process-wide part, taken by the thread that holds `threads` first.
  bool acquire(bool& abandoned) {
    // A forked child shares its parent's description and holds nothing.
    if (forks != g_forks.load() && !claimSlot()) return false;
    bool waited = false;
    bool counted = false;
    for (;;) {
      std::uint32_t seen = shared->word.load();
      if ((seen == kFreeWord || (seen == kHandedOffWord && waited)) &&
          shared->word.compare_exchange_strong(seen, self))
        break;
      if (seen == kFreeWord) continue;
      if (seen != kHandedOffWord && !holderLives(seen)) {
        if (shared->word.compare_exchange_strong(seen, self)) {
          abandoned = true;
          break;
        }
        continue;
      }
      if (!counted) {
        ++shared->waiting;
        counted = true;
      }
      futexWaitFor(&shared->word, FUTEX_WAIT, seen,
                   seen == kHandedOffWord ? kHandOffWaitMs : kHolderCheckMs);
      waited = true;
    }
    if (counted) --shared->waiting;
    if (shared->abandoned.load() != 0 && shared->abandoned.exchange(0) != 0) abandoned = true;
    processHolds = true;
    return true;
  }

  void giveUp() {
    processHolds = false;
    std::uint32_t mine = self;
    if (shared->waiting.load() != 0) {
      if (!shared->word.compare_exchange_strong(mine, kHandedOffWord)) return;
      if (futexWake(&shared->word, FUTEX_WAKE, 1) > 0) return;
      // Nobody asleep to take it after all.
      std::uint32_t handed = kHandedOffWord;
      shared->word.compare_exchange_strong(handed, kFreeWord);
      return;
    }
    // Another holder there means this one was taken over: it stays.
    if (!shared->word.compare_exchange_strong(mine, kFreeWord)) return;
    // A process that came in between sleeps on the old value: wake it.
    if (shared->waiting.load() != 0) futexWake(&shared->word, FUTEX_WAKE, 1);
  }

  ThreadLock threads;
  SharedSegment segment;
  SharedState* shared = nullptr;
  // Closing the description gives the slot up: a holder left (a handle
  // destroyed while held) is seen abandoned by the other processes.
  OwnedFd lockFd;
  int slot = -1;
  std::uint32_t self = 0;
  unsigned forks = 0;
  std::atomic<bool> processHolds{false};  // used by the holder of `threads`, as its depth
};

struct MutexObject {
  ThreadLock own;
  std::shared_ptr<NamedLock> named;
};

namespace {

using ObjectId = std::pair<unsigned long long, unsigned long long>;

std::mutex g_namedLock;
std::map<ObjectId, std::weak_ptr<NamedLock>>* g_named =
    new std::map<ObjectId, std::weak_ptr<NamedLock>>;

ObjectId identity(int fd) {
  struct stat st {};
  fstat(fd, &st);
  return {st.st_dev, st.st_ino};
}

std::shared_ptr<NamedLock> openNamed(const wchar_t* name) {
  auto opened = std::make_shared<NamedLock>();
  auto layOut = [](void* data) {
    new (data) SharedState{};
    return true;
  };
  if (!opened->segment.open(SharedSegment::objectName(name), sizeof(SharedState), kMagic, layOut))
    return nullptr;
  opened->shared = static_cast<SharedState*>(opened->segment.data());
  if (!opened->claimSlot()) return nullptr;
  const ObjectId id = identity(opened->lockFd.get());
  std::lock_guard<std::mutex> guard(g_namedLock);
  for (auto it = g_named->begin(); it != g_named->end();)
    it = it->second.expired() ? g_named->erase(it) : std::next(it);
  if (std::shared_ptr<NamedLock> known = (*g_named)[id].lock()) return known;
  (*g_named)[id] = opened;
  return opened;
}

}  // namespace

MutexHandle mutexCreate(const wchar_t* name) {
  auto created = std::unique_ptr<MutexObject>(new (std::nothrow) MutexObject);
  if (!created) return failing(ENOMEM, nullptr);
  if (name) {
    try {
      created->named = openNamed(name);
    } catch (const std::bad_alloc&) {
      return failing(ENOMEM, nullptr);
    }
    if (!created->named) return nullptr;
  }
  return created.release();
}

LockResult mutexLock(MutexHandle mutex) {
  if (!mutex) return failing(EINVAL, LockResult::Failed);
  if (!mutex->named) return mutex->own.lock();
  NamedLock& named = *mutex->named;
  const LockResult local = named.threads.lock();
  if (named.threads.depth() > 1) return local;
  // A thread of ours that ended holding it left the process holding it.
  if (named.processHolds && named.forks == g_forks.load()) return LockResult::Abandoned;
  bool abandoned = false;
  if (!named.acquire(abandoned)) {
    keepingLastError([&] { named.threads.release(); });
    return LockResult::Failed;
  }
  return abandoned || local == LockResult::Abandoned ? LockResult::Abandoned : LockResult::Acquired;
}

bool mutexRelease(MutexHandle mutex) {
  if (!mutex) return failing(EINVAL, false);
  if (!mutex->named) return mutex->own.release();
  NamedLock& named = *mutex->named;
  if (!named.threads.heldByCaller()) return failing(EPERM, false);
  if (named.threads.depth() == 1) named.giveUp();
  return named.threads.release();
}

void mutexClose(MutexHandle mutex) { delete mutex; }

}  // namespace kw::os
