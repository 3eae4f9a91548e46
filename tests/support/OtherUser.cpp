// OtherUser: the second local user the hostile-neighbour tests act as.
#include "support/OtherUser.h"

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kwtest {

namespace {

bool lookUp(uid_t& uid, gid_t& gid) {
  const passwd* other = getpwnam("nobody");
  if (!other || other->pw_uid == 0) return false;
  uid = other->pw_uid;
  gid = other->pw_gid;
  return true;
}

bool become(uid_t uid, gid_t gid) {
  return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

}  // namespace

bool canActAsOtherUser(std::string& reason) {
  uid_t uid;
  gid_t gid;
  if (geteuid() != 0) {
    reason = "acting as a second local user needs root";
    return false;
  }
  if (!lookUp(uid, gid)) {
    reason = "no local user \"nobody\"";
    return false;
  }
  return true;
}

bool becomeOtherUser() {
  uid_t uid;
  gid_t gid;
  return lookUp(uid, gid) && become(uid, gid);
}

int runAsOtherUser(int (*body)(const void* data), const void* data) {
  uid_t uid;
  gid_t gid;
  if (!lookUp(uid, gid)) return -1;
  const pid_t child = fork();
  if (child == 0) _exit(become(uid, gid) ? body(data) : 125);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

unsigned otherUserId() {
  uid_t uid = 0;
  gid_t gid = 0;
  return lookUp(uid, gid) ? uid : 0;
}

}  // namespace kwtest
#endif
