// Change stamps of the settings stores: an inotify watch on each root's
// folder. Twin of the change stamps in os/win32/Registry.cpp.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include "os/Desktop.h"
#include "os/Registry.h"
#include "os/posix/RegistryPlace.h"

namespace kw::os {

namespace {

using settings::folderOf;
using settings::locate;
using settings::Place;
using settings::Root;

// An inotify watch on a root's store folder: every write, creation, removal
// or rename in it queues an event before the writer's call returns, so one
// non-blocking read tells whether anything may have changed. While the
// folder is missing, its nearest existing ancestor is watched for its
// creation instead.
struct StoreWatch {
  int fd = -1;
  int wd = -1;
  int privateWd = -1;  // machine settings: the writers' own folder too
  std::string folder;  // the store folder the watch stands for
  std::uint64_t changes = 0;
  unsigned long owner = 0;  // the process that made it
};

constexpr std::uint32_t kChangeEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                        IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

std::mutex& watchLock() {
  static std::mutex lock;
  return lock;
}

StoreWatch& watchOf(Root root) {
  static StoreWatch watches[2];
  return watches[root == Root::Machine ? 0 : 1];
}

// Watches the folder, or the nearest ancestor that exists.
int addWatch(int fd, const std::string& folder) {
  std::string place = folder;
  for (;;) {
    int wd = inotify_add_watch(fd, place.c_str(), kChangeEvents | IN_ONLYDIR);
    if (wd >= 0 || errno != ENOENT) return wd;
    std::size_t cut = place.find_last_of('/');
    if (cut == std::string::npos || cut == 0) return -1;
    place.erase(cut);
  }
}

// Reads every queued event; true when there was one.
bool drainEvents(StoreWatch& watch) {
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  for (;;) {
    ssize_t count = ::read(watch.fd, buffer, sizeof buffer);
    if (count <= 0) return any;
    any = true;
  }
}

}  // namespace

bool regChangeStamp(HKEY root, std::uint64_t& stamp) {
  if (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER) return false;
  try {
    Place place;
    if (locate(root == HKEY_LOCAL_MACHINE ? Root::Machine : Root::User, place) != kRegOk ||
        place.folder.empty() || place.folder[0] != '/')
      return false;
    std::lock_guard<std::mutex> lock(watchLock());
    StoreWatch& watch = watchOf(place.root);
    // A child shares its parent's event queue: it must read its own.
    const unsigned long process = currentProcessId();
    if (watch.owner != process) {
      if (watch.fd >= 0) ::close(watch.fd);
      watch = StoreWatch{};
      watch.owner = process;
    }
    if (watch.fd < 0) {
      watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (watch.fd < 0) return false;
    }
    if (watch.wd >= 0 && watch.folder == place.folder && !drainEvents(watch)) {
      stamp = watch.changes;
      return true;
    }
    // Something changed, or the watch is new: it is set up afresh (its
    // folder may have been created or replaced) before the caller reads.
    if (watch.wd >= 0) inotify_rm_watch(watch.fd, watch.wd);
    if (watch.privateWd >= 0) inotify_rm_watch(watch.fd, watch.privateWd);
    drainEvents(watch);
    ++watch.changes;
    watch.folder = place.folder;
    watch.wd = addWatch(watch.fd, place.folder);
    // Its creation shows in the folder above; until then, and for users
    // who may not enter it, the watch above is all there is.
    watch.privateWd =
        place.published.empty()
            ? -1
            : inotify_add_watch(watch.fd, folderOf(place.file).c_str(), kChangeEvents | IN_ONLYDIR);
    stamp = watch.changes;
    return watch.wd >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kw::os
