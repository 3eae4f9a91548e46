// ForeignObject: plants shared objects with other owners or modes where the library looks for its
// own, tells whether a thread is blocked, and runs a child's work in a new PID namespace.
#include "support/ForeignObject.h"

#ifndef _WIN32
#include <fcntl.h>
#include <kw/Tools.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace kwtest {

namespace {

std::string leafName(const std::wstring& localName) {
  return kw::Tools::narrowWideString(localName.substr(localName.find(L'\\') + 1));
}

const passwd* otherUser(std::string& reason) {
  if (geteuid() != 0) {
    reason = "acting as a second local user needs root";
    return nullptr;
  }
  const passwd* other = getpwnam("nobody");
  if (!other || other->pw_uid == 0) {
    reason = "no local user \"nobody\"";
    return nullptr;
  }
  return other;
}

}  // namespace

// The rule the library follows, stated again: the runtime folder when it
// is a private folder of the user's own, else the fallback in /dev/shm.
std::string objectFolder() {
  auto privateOwn = [](const std::string& path) {
    struct stat st {};
    return !path.empty() && path[0] == '/' && lstat(path.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
  };
  const std::string uid = std::to_string(geteuid());
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && privateOwn(runtime)) return std::string(runtime) + "/Kestrelwright";
  if (privateOwn("/run/user/" + uid)) return "/run/user/" + uid + "/Kestrelwright";
  return "/dev/shm/Kestrelwright-" + uid;
}

std::string sharedObjectPath(const std::wstring& localName) {
  return objectFolder() + "/" + leafName(localName);
}

std::string sharedFolderPath(const std::wstring& localName) {
  return "/dev/shm/" + leafName(localName);
}

bool createAsOtherUser(const std::string& path, unsigned mode, std::string& reason, bool folder) {
  const passwd* other = otherUser(reason);
  if (!other) return false;
  const uid_t uid = other->pw_uid;
  const gid_t gid = other->pw_gid;
  // Only system calls between fork and exit: the test process has threads.
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    if (folder) _exit(mkdir(path.c_str(), mode) == 0 && chmod(path.c_str(), mode) == 0 ? 0 : 3);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0 || fchmod(fd, mode) != 0 || ftruncate(fd, 4096) != 0) _exit(3);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    reason = "could not create " + path + " as user nobody";
    return false;
  }
  return true;
}

bool createOwnedByOtherUser(const std::string& path, unsigned mode, std::string& reason) {
  const passwd* other = otherUser(reason);
  if (!other) return false;
  if (!createWithMode(path, mode) || chown(path.c_str(), other->pw_uid, other->pw_gid) != 0) {
    reason = "could not hand " + path + " to user nobody";
    return false;
  }
  return true;
}

bool createWithMode(const std::string& path, unsigned mode) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && ftruncate(fd, 4096) == 0;
  close(fd);
  return ok;
}

bool overwriteObject(const std::wstring& localName, unsigned char byte) {
  // The segment's own header (64 bytes) stays: it only tells openers the layout.
  constexpr off_t kHeader = 64;
  const int fd = open(sharedObjectPath(localName).c_str(), O_RDWR | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && st.st_size > kHeader;
  if (ok) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size - kHeader), byte);
    ok = pwrite(fd, bytes.data(), bytes.size(), kHeader) == static_cast<ssize_t>(bytes.size());
  }
  close(fd);
  return ok;
}

bool threadIsBlocked(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The state follows the command name, which ends with the last ')'.
  const std::size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

long currentThreadId() { return static_cast<long>(gettid()); }

int inNewPidNamespace(const std::function<int()>& body) {
  if (unshare(CLONE_NEWPID) != 0) return kNoPidNamespace;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Killing the routine's process kills this one too.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int code = body();
    std::fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) < 0) {
  }
  // No thread can start in this process any more (a sanitizer's at exit
  // would): it ends here.
  std::fflush(nullptr);
  _exit(child < 0           ? kNoPidNamespace
        : WIFEXITED(status) ? WEXITSTATUS(status)
                            : 100 + WTERMSIG(status));
}

}  // namespace kwtest
#endif
