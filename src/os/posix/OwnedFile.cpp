// Opening files and folders by descriptor, checked after the open: a check
// of the name would leave a window for someone to swap it.
#include "os/posix/OwnedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/ErrorText.h"

namespace kw::os {

bool ownedPrivately(const struct stat& info) {
  return info.st_uid == geteuid() && (info.st_mode & 022) == 0;
}

namespace {

// The type, mode, link count and owner of an open file, and nothing else:
// asked for its times, a kernel with fine-grained timestamps gives the next
// write to the file a fresh one, an inode update that costs that write more
// than the query itself. Plain fstat where statx is missing or filtered.
bool describe(int fd, struct stat& info) {
  constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID;
  const int error = errno;
  struct statx found;
  if (::statx(fd, "", AT_EMPTY_PATH, kWanted, &found) == 0 &&
      (found.stx_mask & kWanted) == kWanted) {
    info = {};
    info.st_mode = found.stx_mode;
    info.st_nlink = found.stx_nlink;
    info.st_uid = found.stx_uid;
    return true;
  }
  errno = error;
  return ::fstat(fd, &info) == 0;
}

}  // namespace

int openOwnedFile(int parent, const char* path, int flags, mode_t mode) {
  int fd = ::openat(parent, path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat info;
  const bool fit =
      describe(fd, info) && S_ISREG(info.st_mode) && info.st_nlink == 1 && ownedPrivately(info);
  if (fit) return fd;
  ::close(fd);
  return failing(EACCES, -1);
}

int openRegularFile(const char* path) {
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return fd;
  ::close(fd);
  return failing(EINVAL, -1);
}

int openPrivateFolder(int parent, const char* name, bool create) {
  if (create && ::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return -1;
  int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) == 0 && ownedPrivately(info)) return fd;
  ::close(fd);
  return failing(EACCES, -1);
}

}  // namespace kw::os
