// ForeignObject: plants shared objects with other owners or modes where the library looks for its
// own, and tells whether a thread is blocked.
#include "support/ForeignObject.h"

#ifndef _WIN32
#include <fcntl.h>
#include <kw/Tools.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace kwtest {

std::string sharedObjectPath(const std::wstring& localName) {
  std::string name = kw::Tools::narrowWideString(localName.substr(localName.find(L'\\') + 1));
  return "/dev/shm/" + name;
}

bool createAsOtherUser(const std::string& path, unsigned mode, std::string& reason) {
  if (geteuid() != 0) {
    reason = "acting as a second local user needs root";
    return false;
  }
  const passwd* other = getpwnam("nobody");
  if (!other || other->pw_uid == 0) {
    reason = "no local user \"nobody\"";
    return false;
  }
  const uid_t uid = other->pw_uid;
  const gid_t gid = other->pw_gid;
  // Only system calls between fork and exit: the test process has threads.
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
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

bool createWithMode(const std::string& path, unsigned mode) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && ftruncate(fd, 4096) == 0;
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

}  // namespace kwtest
#endif
