// Named segments on Linux, behind the named mutexes, the shared blocks and
// the wake paths; Windows has named objects of its own and no twin.
#include "os/posix/SharedSegment.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "Utf16.h"
#include "os/ErrorText.h"
#include "os/posix/ObjectFolder.h"
#include "os/posix/OwnedFd.h"

namespace kw::os {

namespace {

constexpr std::size_t kMaxName = 200;
constexpr std::size_t kHeaderSlot = 64;

// Byte ranges of the object's file locks (open-file-description locks, so
// that two openers in one process are two holders). The guard is held
// exclusively while an opener opens or closes; every opener holds the
// holder byte shared; the marks follow.
constexpr off_t kGuardByte = 0;
constexpr off_t kHolderByte = 1;
constexpr off_t kFirstMarkByte = 2;

// Openers hold the guard for microseconds; a peer that holds a lock longer
// than this is hung or hostile, and the open or close gives up.
constexpr std::chrono::milliseconds kLockPatience(2000);

bool rangeLock(int fd, short type, off_t byte, bool wait) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = byte;
  range.l_len = 1;
  int status;
  while ((status = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range)) != 0 && errno == EINTR) {
  }
  return status == 0;
}

// Polls rather than blocks, so that a lock nobody gives back fails the
// caller (ETIMEDOUT) instead of hanging it.
bool rangeLockWithin(int fd, short type, off_t byte) {
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    if (rangeLock(fd, type, byte, false)) return true;
    if (errno != EAGAIN && errno != EACCES) return false;
    if (std::chrono::steady_clock::now() >= deadline) return failing(ETIMEDOUT, false);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

// The caller's own, and private: nobody else may have opened it, and
// nobody else can open it from now on.
bool isPrivate(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool namesFile(int folder, const std::string& name, int fd) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 &&
         fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         named.st_ino == opened.st_ino && named.st_dev == opened.st_dev;
}

// Objects whose openers all died (kill -9) leave their names behind; the
// first process of the user to open the folder removes those that nobody
// holds, under the same locks as a last closer.
void sweep(int folder) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* entries = fdopendir(listing);
  if (!entries) {
    ::close(listing);
    return;
  }
  while (const dirent* entry = readdir(entries)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    const OwnedFd fd(openat(folder, entry->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) continue;
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && isPrivate(st) &&
        rangeLock(fd.get(), F_WRLCK, kGuardByte, false) &&
        namesFile(folder, entry->d_name, fd.get()) &&
        rangeLock(fd.get(), F_WRLCK, kHolderByte, false))
      unlinkat(folder, entry->d_name, 0);
  }
  closedir(entries);
}

// The mappings of this process, for the bus-error handler: a peer that
// shrinks an object makes the next access to a page past its new end
// fault. The handler grows the object back (zero-filled, as the peer left
// the bytes it cut), and the access goes on; a peer that keeps shrinking it
// gets the mapping replaced by private memory, which ends the sharing.
struct Mapping {
  std::atomic<int> state{0};  // 0 free, 1 changing, 2 in use
  std::atomic<int> users{0};  // handlers looking at it
  std::atomic<unsigned> regrown{0};
  char* base = nullptr;
  std::size_t length = 0;
  int fd = -1;
};

constexpr int kMappings = 1024;
constexpr unsigned kMaxRegrowths = 1000;
Mapping g_mappings[kMappings];
struct sigaction g_previousBusAction;

void passOn(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previousBusAction;
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
    previous.sa_sigaction(signal, info, context);
  } else if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
             previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // The old disposition meets the fault when its instruction runs again.
    sigaction(signal, &previous, nullptr);
    if (info->si_code <= 0) raise(signal);
  }
}

void onBusError(int signal, siginfo_t* info, void* context) {
  const int saved = errno;
  const char* address = static_cast<const char*>(info->si_addr);
  for (Mapping& mapping : g_mappings) {
    mapping.users.fetch_add(1);
    if (info->si_code > 0 && mapping.state.load() == 2 && address >= mapping.base &&
        address < mapping.base + mapping.length) {
      if (mapping.regrown.fetch_add(1) >= kMaxRegrowths ||
          ftruncate(mapping.fd, static_cast<off_t>(mapping.length)) != 0)
        mmap(mapping.base, mapping.length, PROT_READ | PROT_WRITE,
             MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      mapping.users.fetch_sub(1);
      errno = saved;
      return;
    }
    mapping.users.fetch_sub(1);
  }
  errno = saved;
  passOn(signal, info, context);
}

void installBusErrorHandler() {
  struct sigaction action {};
  action.sa_sigaction = onBusError;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previousBusAction);
}

// -1 when every slot is taken: that mapping is then unprotected.
int watchMapping(void* base, std::size_t length, int fd) {
  static std::once_flag installed;
  std::call_once(installed, installBusErrorHandler);
  for (int slot = 0; slot < kMappings; ++slot) {
    Mapping& mapping = g_mappings[slot];
    int free = 0;
    if (!mapping.state.compare_exchange_strong(free, 1)) continue;
    mapping.base = static_cast<char*>(base);
    mapping.length = length;
    mapping.fd = fd;
    mapping.regrown = 0;
    mapping.state = 2;
    return slot;
  }
  return -1;
}

void unwatchMapping(int slot) {
  if (slot < 0) return;
  Mapping& mapping = g_mappings[slot];
  mapping.state = 1;
  while (mapping.users.load() != 0) std::this_thread::yield();
  mapping.state = 0;
}

// The folder of the objects, swept once per process.
int sweptObjectFolder() {
  const int folder = objectFolder();
  static std::once_flag swept;
  if (folder >= 0) std::call_once(swept, sweep, folder);
  return folder;
}

}  // namespace

struct SharedSegment::Header {
  std::uint32_t magic;
  std::uint32_t size;
};

std::string SharedSegment::objectName(const wchar_t* name) {
  std::string text = utf16::toUtf8(name ? name : L"");
  const std::string local = "Local\\";
  if (text.compare(0, local.size(), local) == 0) text.erase(0, local.size());
  for (char& c : text) {
    if (c == '/' || c == '\\') c = '_';
  }
  if (text.empty() || text == "." || text == "..") text = "_" + text;
  if (text.size() > kMaxName) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(hash));
    text = text.substr(0, kMaxName - 17) + suffix;
  }
  return text;
}

bool SharedSegment::open(const std::string& objectName, std::size_t size, std::uint32_t magic,
                         const std::function<bool(void*)>& layOut) {
  close();
  const int folder = sweptObjectFolder();
  if (folder < 0) return false;
  // An opener racing with the last closer may open the object just before
  // it is unlinked; it notices under the guard and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Created exclusively with mode 0600, or found: no window in which
    // another user could open what this one creates.
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    OwnedFd fd(openat(folder, objectName.c_str(), flags | O_CREAT | O_EXCL, 0600));
    const bool created = fd.valid();
    if (!created) {
      if (errno != EEXIST) return false;
      fd.reset(openat(folder, objectName.c_str(), flags));
      if (!fd.valid() && errno == ENOENT) continue;
      if (!fd.valid()) return errno == ELOOP ? failing(EACCES, false) : false;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return false;
    // A umask may have taken away the owner's bits; it never adds others'.
    if (created && (st.st_mode & 0777) != 0600 && fchmod(fd.get(), 0600) != 0) return false;
    if (!created && !isPrivate(st)) return failing(EACCES, false);
    if (!rangeLockWithin(fd.get(), F_WRLCK, kGuardByte)) return false;
    m_nFd = fd.get();
    m_strName = objectName;
    if (!stillNamed()) {
      m_nFd = -1;
      continue;
    }
    const bool ok = lockedOpen(size, magic, layOut);
    keepingLastError([&] { rangeLock(fd.get(), F_UNLCK, kGuardByte, false); });
    if (ok)
      fd.release();
    else
      m_nFd = -1;
    return ok;
  }
  return failing(EAGAIN, false);
}

bool SharedSegment::stillNamed() const { return namesFile(objectFolder(), m_strName, m_nFd); }

bool SharedSegment::lockedOpen(std::size_t size, std::uint32_t magic,
                               const std::function<bool(void*)>& layOut) {
  static_assert(sizeof(Header) <= kHeaderSlot, "the header fits its slot");
  const std::size_t total = kHeaderSlot + size;
  // Alone when no other opener holds the holder byte: whatever the object
  // holds was left by openers that have all gone, so it starts afresh.
  const bool alone = rangeLock(m_nFd, F_WRLCK, kHolderByte, false);
  if (!alone && errno != EAGAIN && errno != EACCES) return false;
  if (alone && (ftruncate(m_nFd, 0) != 0 || ftruncate(m_nFd, static_cast<off_t>(total)) != 0))
    return false;
  struct stat st {};
  if (fstat(m_nFd, &st) != 0) return false;
  // Laid out for something else by its holders.
  if (static_cast<std::size_t>(st.st_size) < total) return failing(EPROTO, false);
  void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, m_nFd, 0);
  if (base == MAP_FAILED) return false;
  const int slot = watchMapping(base, total, m_nFd);
  auto* header = static_cast<Header*>(base);
  void* data = static_cast<char*>(base) + kHeaderSlot;
  bool ok = true;
  if (alone) {
    ok = layOut(data);
    header->size = static_cast<std::uint32_t>(size);
    header->magic = magic;
  } else if (header->magic != magic || header->size != size) {
    ok = failing(EPROTO, false);
  }
  // Held shared from now on; an exclusive holder byte becomes shared in place.
  ok = ok && rangeLockWithin(m_nFd, F_RDLCK, kHolderByte);
  if (!ok) {
    keepingLastError([&] {
      unwatchMapping(slot);
      munmap(base, total);
    });
    return false;
  }
  m_pBase = base;
  m_pData = data;
  m_nTotal = total;
  m_nSlot = slot;
  return true;
}

void SharedSegment::close() {
  if (m_nFd < 0) return;
  if (m_pBase) {
    // The last holder takes the name away, unless a new object has it. Not
    // without the guard: an opener may be laying the object out; a name
    // left behind is laid out afresh by the next opener, or swept.
    if (rangeLockWithin(m_nFd, F_WRLCK, kGuardByte) && stillNamed() &&
        rangeLock(m_nFd, F_WRLCK, kHolderByte, false))
      unlinkat(objectFolder(), m_strName.c_str(), 0);
    unwatchMapping(m_nSlot);
    munmap(m_pBase, m_nTotal);
  }
  // Closing the descriptor drops every lock this opener held.
  ::close(m_nFd);
  m_nFd = -1;
  m_nSlot = -1;
  m_pBase = m_pData = nullptr;
}

bool SharedSegment::setMark(int index) {
  return m_nFd >= 0 && rangeLockWithin(m_nFd, F_RDLCK, kFirstMarkByte + index);
}

bool SharedSegment::isMarked(int index) const {
  if (m_nFd < 0) return false;
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = kFirstMarkByte + index;
  range.l_len = 1;
  return fcntl(m_nFd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

int SharedSegment::openAgain() const {
  if (m_nFd < 0) return failing(EBADF, -1);
  // By the descriptor first: the name may be gone or another object's.
  OwnedFd fd(::open(("/proc/self/fd/" + std::to_string(m_nFd)).c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid())
    fd.reset(openat(objectFolder(), m_strName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return -1;
  struct stat mine {};
  struct stat other {};
  if (fstat(m_nFd, &mine) != 0 || fstat(fd.get(), &other) != 0 || mine.st_ino != other.st_ino ||
      mine.st_dev != other.st_dev)
    return failing(ESTALE, -1);
  return fd.release();
}

}  // namespace kw::os
