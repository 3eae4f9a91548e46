// Where the settings stores live: /var/lib/kestrelwright for the machine,
// ~/.config/Kestrelwright for the user, or KW_REGISTRY_DIR for both.
#include "os/posix/RegistryPlace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "os/Registry.h"

namespace kw::os::settings {

namespace {

const char kPrivateFolder[] = "/private";

std::string passwordHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

mode_t folderMode(Root root) { return root == Root::Machine ? 0755 : 0700; }

long errnoCode(int error) {
  switch (error) {
    case 0:
      return kRegOk;
    case ENOENT:
      return kRegNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kRegPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kRegAccessDenied;
    case ENOMEM:
      return kRegOutOfMemory;
    case ENOSPC:
    case EDQUOT:
      return kRegDiskFull;
    default:
      return kRegCantOpen;
  }
}

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

long locate(Root root, Place& place) {
  place.root = root;
  const char* override = std::getenv("KW_REGISTRY_DIR");
  if (override && *override) {
    place.folder = override;
  } else if (root == Root::Machine) {
    place.folder = "/var/lib/kestrelwright";
  } else {
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') {
      place.folder = config;
    } else {
      const char* home = std::getenv("HOME");
      std::string homeFolder = home && *home ? std::string(home) : passwordHome();
      if (homeFolder.empty()) return kRegPathNotFound;
      place.folder = homeFolder + "/.config";
    }
    place.folder += "/Kestrelwright";
  }
  if (root == Root::Machine) {
    place.published = place.folder + "/HKEY_LOCAL_MACHINE.db";
    place.file = place.folder + kPrivateFolder + "/HKEY_LOCAL_MACHINE.db";
  } else {
    place.file = place.folder + "/HKEY_CURRENT_USER.db";
  }
  return kRegOk;
}

long makeFolders(const std::string& folder, mode_t mode) {
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = folder.find('/', end + 1);
    std::string part = folder.substr(0, end);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errnoCode(errno);
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return kRegPathNotFound;
  return kRegOk;
}

long chooseMachineFile(Place& place, bool create) {
  const std::string privateFolder = folderOf(place.file);
  if (::faccessat(AT_FDCWD, privateFolder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0)
    return kRegOk;
  if (errno != ENOENT && errno != EACCES) return errnoCode(errno);
  if (errno == EACCES && create) return kRegAccessDenied;
  if (errno == ENOENT && create) return kRegOk;
  place.readsCopy = true;
  place.file = place.published;
  return kRegOk;
}

}  // namespace kw::os::settings
