// Named segments on Linux, behind the named mutexes, the shared blocks and
// the wake paths; Windows has named objects of its own and no twin.
#include "os/posix/SharedSegment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Utf16.h"
#include "os/ErrorText.h"

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

// The caller's own, and private: nobody else may have opened it, and
// nobody else can open it from now on.
bool isPrivate(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

void closeKeepingErrno(int fd) {
  keepingLastError([fd] { ::close(fd); });
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
  if (text.size() > kMaxName) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(hash));
    text = text.substr(0, kMaxName - 17) + suffix;
  }
  return "/" + text;
}

bool SharedSegment::open(const std::string& objectName, std::size_t size, std::uint32_t magic,
                         const std::function<bool(void*)>& layOut) {
  close();
  // An opener racing with the last closer may open the object just before
  // it is unlinked; it notices under the guard and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Created exclusively with mode 0600, or found: no window in which
    // another user could open what this one creates.
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    const bool created = fd >= 0;
    if (!created) {
      if (errno != EEXIST) return false;
      fd = shm_open(objectName.c_str(), O_RDWR, 0);
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0) return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      closeKeepingErrno(fd);
      return false;
    }
    // A umask may have taken away the owner's bits; it never adds others'.
    if (created && (st.st_mode & 0777) != 0600 && fchmod(fd, 0600) != 0) {
      closeKeepingErrno(fd);
      return false;
    }
    if (!created && !isPrivate(st)) {
      ::close(fd);
      return failing(EACCES, false);
    }
    if (!rangeLock(fd, F_WRLCK, kGuardByte, true)) {
      closeKeepingErrno(fd);
      return false;
    }
    m_nFd = fd;
    m_strName = objectName;
    if (!stillNamed()) {
      ::close(fd);
      m_nFd = -1;
      continue;
    }
    const bool ok = lockedOpen(size, magic, layOut);
    keepingLastError([&] {
      rangeLock(fd, F_UNLCK, kGuardByte, false);
      if (!ok) {
        ::close(fd);
        m_nFd = -1;
      }
    });
    return ok;
  }
  return failing(EAGAIN, false);
}

bool SharedSegment::stillNamed() const {
  struct stat opened {};
  struct stat named {};
  return fstat(m_nFd, &opened) == 0 && stat(("/dev/shm" + m_strName).c_str(), &named) == 0 &&
         named.st_ino == opened.st_ino && named.st_dev == opened.st_dev;
}

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
  ok = ok && rangeLock(m_nFd, F_RDLCK, kHolderByte, true);
  if (!ok) {
    keepingLastError([&] { munmap(base, total); });
    return false;
  }
  m_pBase = base;
  m_pData = data;
  m_nTotal = total;
  return true;
}

void SharedSegment::close() {
  if (m_nFd < 0) return;
  if (m_pBase) {
    // The last holder takes the name away, unless a new object has it. Not
    // without the guard: an opener may be laying the object out; a name
    // left behind is laid out afresh by the next opener.
    if (rangeLock(m_nFd, F_WRLCK, kGuardByte, true) && stillNamed() &&
        rangeLock(m_nFd, F_WRLCK, kHolderByte, false))
      shm_unlink(m_strName.c_str());
    munmap(m_pBase, m_nTotal);
  }
  // Closing the descriptor drops every lock this opener held.
  ::close(m_nFd);
  m_nFd = -1;
  m_pBase = m_pData = nullptr;
}

bool SharedSegment::setMark(int index) {
  return m_nFd >= 0 && rangeLock(m_nFd, F_RDLCK, kFirstMarkByte + index, true);
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

}  // namespace kw::os
