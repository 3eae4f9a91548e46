// The folder of a user's named objects on Linux, where no other user can
// create a name: the session's runtime folder ($XDG_RUNTIME_DIR, else
// /run/user/<uid>) when it is a private folder of the user's own, else a
// private folder of the user's in /dev/shm. Both are memory file systems;
// the runtime folder goes at logout, and objects whose openers have all
// gone are swept by the next process of the user that opens the folder.
// Windows has session namespaces and no twin.
#pragma once

#include <string>

namespace kw::os {

// A descriptor of the folder, open for the rest of the process; -1 with
// errno set (EACCES when the folder is another user's or open to others).
int objectFolder();

// Why no folder is usable: the folder refused and its owner; empty when one is.
std::wstring objectFolderRefusal();

}  // namespace kw::os
