// The per-user folder of named objects on Linux: chosen once per process, and checked on the open
// descriptor, never by name alone.
#include "os/posix/ObjectFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "Utf16.h"
#include "os/ErrorText.h"
#include "os/posix/OwnedFd.h"

namespace kw::os {

namespace {

constexpr char kSubfolder[] = "Kestrelwright";

struct Chosen {
  int fd = -1;
};

std::mutex g_lock;
Chosen g_chosen;
std::string g_refusal;

bool ownedByCaller(const struct stat& st) { return S_ISDIR(st.st_mode) && st.st_uid == geteuid(); }

std::string ownerName(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  std::string name = "uid " + std::to_string(uid);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    name = std::string(found->pw_name) + " (" + name + ")";
  return name;
}

// The folder `name` under `at` (or the absolute path), made with mode 0700
// when missing; a folder of the caller's own is made private should a
// umask or an older version have left it open. -1 with errno and the
// reason when it is a link, not a folder, or another user's.
int openOwnFolder(int at, const std::string& name, bool create, std::string& reason) {
  if (create && mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  OwnedFd fd(openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) reason = "is not a folder of its own";
    return -1;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!ownedByCaller(st)) {
    reason = "belongs to " + ownerName(st.st_uid);
    return failing(EACCES, -1);
  }
  if ((st.st_mode & 077) != 0 && fchmod(fd.get(), 0700) != 0) return -1;
  return fd.release();
}

// The runtime folder counts only when it already is the caller's and
// private: the login manager makes it so.
bool useRuntimeFolder(const std::string& base, Chosen& chosen) {
  if (base.empty() || base[0] != '/') return false;
  const OwnedFd baseFd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!baseFd.valid()) return false;
  struct stat st {};
  std::string ignored;
  const bool usable = fstat(baseFd.get(), &st) == 0 && ownedByCaller(st) && (st.st_mode & 077) == 0;
  const int fd = usable ? openOwnFolder(baseFd.get(), kSubfolder, true, ignored) : -1;
  if (fd < 0) return false;
  chosen.fd = fd;
  return true;
}

bool choose(Chosen& chosen, std::string& refusal) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && useRuntimeFolder(runtime, chosen)) return true;
  const std::string uid = std::to_string(geteuid());
  if (useRuntimeFolder("/run/user/" + uid, chosen)) return true;
  // No login session (a service, a container): a folder of the user's own
  // in the memory file system, which another user may have taken first.
  const std::string fallback = std::string("/dev/shm/") + kSubfolder + "-" + uid;
  std::string reason;
  const int fd = openOwnFolder(AT_FDCWD, fallback, true, reason);
  if (fd < 0) {
    refusal = fallback + (reason.empty() ? std::string() : " " + reason);
    return false;
  }
  chosen.fd = fd;
  return true;
}

// Chosen once: every object of the process lives in one folder. A refusal
// is looked at again on the next call, the folder may be freed meanwhile.
const Chosen* chosenFolder() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_chosen.fd >= 0) return &g_chosen;
  std::string refusal;
  Chosen chosen;
  if (!choose(chosen, refusal)) {
    keepingLastError([&] { g_refusal = refusal; });
    return nullptr;
  }
  g_refusal.clear();
  g_chosen = chosen;
  return &g_chosen;
}

}  // namespace

int objectFolder() {
  const Chosen* chosen = chosenFolder();
  return chosen ? chosen->fd : -1;
}

std::wstring objectFolderRefusal() {
  std::wstring refusal;
  // Asked while a failure is reported: its error stays.
  keepingLastError([&] {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_chosen.fd < 0) refusal = utf16::fromUtf8(g_refusal);
  });
  return refusal;
}

}  // namespace kw::os
