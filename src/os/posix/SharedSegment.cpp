#include "os/posix/SharedSegment.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Utf16.h"

namespace kw::os {

namespace {

constexpr int kMaxOpeners = 126;
constexpr std::size_t kMaxName = 200;

bool isAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void lockFile(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

}  // namespace

struct SharedSegment::Header {
  std::uint32_t magic;
  std::uint32_t size;
  std::int32_t openers[kMaxOpeners];
};

constexpr std::size_t kHeaderSlot = 512;

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
                         const std::function<void(void*)>& layOut) {
  close();
  // An opener racing with the last closer may open the object just before
  // it is unlinked; it notices under the lock and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    lockFile(fd, LOCK_EX);
    struct stat opened {};
    struct stat named {};
    if (fstat(fd, &opened) != 0) {
      int error = errno;
      ::close(fd);
      errno = error;
      return false;
    }
    if (stat(("/dev/shm" + objectName).c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev) {
      ::close(fd);
      continue;
    }
    m_name = objectName;
    bool ok = lockedOpen(fd, size, magic, layOut);
    int error = errno;
    lockFile(fd, LOCK_UN);
    if (!ok) {
      ::close(fd);
      m_fd = -1;
      errno = error;
    }
    return ok;
  }
  errno = EAGAIN;
  return false;
}

bool SharedSegment::lockedOpen(int fd, std::size_t size, std::uint32_t magic,
                               const std::function<void(void*)>& layOut) {
  static_assert(sizeof(Header) <= kHeaderSlot, "the header fits its slot");
  struct stat st {};
  std::size_t total = kHeaderSlot + size;
  if (fstat(fd, &st) != 0) return false;
  if (static_cast<std::size_t>(st.st_size) < total && ftruncate(fd, total) != 0) return false;
  void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return false;

  auto* header = static_cast<Header*>(base);
  bool live = false;
  for (std::int32_t& pid : header->openers) {
    if (pid != 0 && !isAlive(pid)) pid = 0;
    live = live || pid != 0;
  }
  void* data = static_cast<char*>(base) + kHeaderSlot;
  if (!live || header->magic != magic || header->size != size) {
    std::memset(base, 0, total);
    layOut(data);
    header->size = static_cast<std::uint32_t>(size);
    header->magic = magic;
  }
  std::int32_t* slot = nullptr;
  for (std::int32_t& pid : header->openers) {
    if (pid == 0) {
      slot = &pid;
      break;
    }
  }
  if (!slot) {
    munmap(base, total);
    errno = EMFILE;
    return false;
  }
  *slot = getpid();
  m_fd = fd;
  m_base = base;
  m_data = data;
  m_total = total;
  return true;
}

void SharedSegment::close() {
  if (!m_base) return;
  lockFile(m_fd, LOCK_EX);
  auto* header = static_cast<Header*>(m_base);
  bool removed = false;
  bool live = false;
  for (std::int32_t& pid : header->openers) {
    if (!removed && pid == getpid()) {
      pid = 0;
      removed = true;
    } else if (pid != 0 && isAlive(pid)) {
      live = true;
    }
  }
  if (!live) shm_unlink(m_name.c_str());
  munmap(m_base, m_total);
  lockFile(m_fd, LOCK_UN);
  ::close(m_fd);
  m_base = m_data = nullptr;
  m_fd = -1;
}

}  // namespace kw::os
