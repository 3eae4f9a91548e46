// The open settings databases of the process, kept between calls, and the
// handles it gave out; a forked child and an exiting process let them go.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "os/posix/RegistryPlace.h"
#include "os/posix/RegistryStore.h"

namespace kw::os::settings {

// What an HKEY stands for here: a store, a key in it and the access granted.
struct Key {
  Place place;
  std::int64_t id = 0;
  unsigned access = KEY_ALL_ACCESS;
};

struct State {
  std::mutex mutex;
  pid_t pid = getpid();
  std::list<std::unique_ptr<Store>> stores;  // most recently used first
  std::unordered_set<Key*> handles;
  // Past the exit handler: every store is closed again after its use.
  bool exiting = false;
};

// The one state of the process. Never destroyed: static destructors
// elsewhere may still read settings.
State& state();

// Ends a use of the stores: once the process is exiting, nothing stays open.
class StoreUse {
 public:
  explicit StoreUse(State& state) : m_state(state) {}
  StoreUse(const StoreUse&) = delete;
  StoreUse& operator=(const StoreUse&) = delete;
  ~StoreUse() {
    if (m_state.exiting) m_state.stores.clear();
  }

 private:
  State& m_state;
};

// The open store for a place. Without `create` a missing file is "not found"
// and nothing is made on disk.
long acquire(State& state, const Place& requested, bool create, Store*& out);

}  // namespace kw::os::settings
