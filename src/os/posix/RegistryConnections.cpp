// The connection cache: most recently used first, a few at a time.
#include "os/posix/RegistryConnections.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace kw::os::settings {

namespace {

// Tests switch folders often; older connections are closed beyond this.
constexpr std::size_t kMaxStores = 4;

// Drops the stores that belong to the process before a fork, untouched.
void forgetInheritedStores(State& state) {
  if (state.pid == getpid()) return;
  for (auto& store : state.stores) store->abandon();
  state.stores.clear();
  state.pid = getpid();
}

// The last connection to close checkpoints a store's write-ahead log and
// removes it and its index, so that no process leaves them behind.
extern "C" void closeStoresAtExit() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  forgetInheritedStores(st);
  st.stores.clear();
  st.exiting = true;
}

}  // namespace

State& state() {
  static State* const instance = [] {
    auto* created = new State;
    std::atexit(closeStoresAtExit);
    return created;
  }();
  return *instance;
}

long acquire(State& state, const Place& requested, bool create, Store*& out) {
  out = nullptr;
  forgetInheritedStores(state);
  Place place = requested;
  if (!place.published.empty()) {
    long code = chooseMachineFile(place, create);
    if (code != kRegOk) return code;
  }
  struct stat info {};
  bool exists = ::stat(place.file.c_str(), &info) == 0;
  int statError = exists ? 0 : errno;
  for (auto it = state.stores.begin(); it != state.stores.end(); ++it) {
    Store& store = **it;
    if (store.path != place.file) continue;
    if (exists && !store.broken && store.device == info.st_dev && store.inode == info.st_ino) {
      state.stores.splice(state.stores.begin(), state.stores, it);
      long code = ensureSchema(store, create);
      if (code == kRegOk) out = &store;
      return code;
    }
    // Deleted, replaced or broken: start afresh.
    state.stores.erase(it);
    break;
  }
  if (!exists) {
    if (statError != ENOENT) return errnoCode(statError);
    if (!create) return kRegNotFound;
    long code = makeFolders(place.folder, folderMode(place.root));
    if (code != kRegOk) return code;
    if (!place.published.empty()) {
      code = createPrivateStore(place);
    } else {
      int fd = ::open(place.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
      if (fd >= 0)
        ::close(fd);
      else if (errno != EEXIST)
        code = errnoCode(errno);
    }
    if (code != kRegOk) return code;
    if (::stat(place.file.c_str(), &info) != 0) return errnoCode(errno);
  }
  sqlite3* db = nullptr;
  int rc = place.readsCopy
               ? sqlite3_open_v2(immutableUri(place.file).c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
               : sqlite3_open_v2(place.file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    long code = sqliteCode(db, rc);
    sqlite3_close_v2(db);
    return code;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  state.stores.push_front(std::make_unique<Store>(place.file, db, info.st_dev, info.st_ino));
  while (state.stores.size() > kMaxStores) state.stores.pop_back();
  Store& store = *state.stores.front();
  if (!place.readsCopy) store.publishTo = place.published;
  long code = ensureSchema(store, create);
  if (code == kRegOk) out = &store;
  return code;
}

}  // namespace kw::os::settings
