// Where the settings store of a root key lives on Linux, and the modes its
// folders and files get.
#pragma once

#include <sys/types.h>

#include <string>

namespace kw::os::settings {

enum class Root { Machine, User };

// Machine settings are written by an administrator and read by every user.
// A database that others may open, they may also lock: one read transaction
// held by another user would stall every write. So the writers' database is
// private (folder 0700, file 0600), and after each committed write a copy of
// it is published beside it, world-readable, by an atomic rename: other
// users read that copy without taking locks (nothing ever writes it in
// place), and a lock they take on it delays nobody. Both writers' databases
// use a write-ahead log.
mode_t folderMode(Root root);
inline constexpr mode_t kPrivateFolderMode = 0700, kPrivateFileMode = 0600, kPublishedMode = 0644;

struct Place {
  Root root = Root::User;
  std::string folder;
  // The database the writers keep: machine settings' is in a private folder.
  std::string file;
  // Machine settings: the copy every user reads.
  std::string published;
  // This process reads the published copy: it cannot enter the private folder.
  bool readsCopy = false;
};

// Fills `place` for the root, from the environment as it is now: a changed
// KW_REGISTRY_DIR takes effect at once.
long locate(Root root, Place& place);

// mkdir -p with that mode.
long makeFolders(const std::string& folder, mode_t mode);

// Machine settings: the published copy is read by a process that cannot
// enter the private folder, and by one that finds none and does not write.
long chooseMachineFile(Place& place, bool create);

// The Windows code for a system error.
long errnoCode(int error);

// The folder part of a path.
std::string folderOf(const std::string& path);

}  // namespace kw::os::settings
