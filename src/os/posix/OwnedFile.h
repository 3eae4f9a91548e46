// Files and folders opened only when they belong to this user alone: never
// through a symbolic link, never another user's, never one others may write.
// Shared places like /tmp let anyone plant a name before we use it.
#pragma once

#include <sys/stat.h>

namespace kw::os {

// Owned by the effective user and writable by nobody else.
bool ownedPrivately(const struct stat& info);

// Opens or creates the regular file at `path` (relative to the folder
// `parent`, or AT_FDCWD) with `flags`, without following a link or waiting
// on a FIFO. -1, with errno set, when it is not a regular file of this user
// alone, or has more than one name (a hard link may lead anywhere).
int openOwnedFile(int parent, const char* path, int flags, mode_t mode);

// Opens the file at `path` for reading when it is a regular file, without
// waiting on a FIFO or a device; -1 for anything else. Files that others
// own are fine here: this is for reading what the system installed.
int openRegularFile(const char* path);

// Opens the folder `name` below `parent` (AT_FDCWD for a path), made 0700
// first when `create`, without following a link; -1 when it is not this
// user's alone.
int openPrivateFolder(int parent, const char* name, bool create);

}  // namespace kw::os
