// OwnedFd: a file descriptor closed when its owner goes.
#pragma once

#include <unistd.h>

#include "os/ErrorText.h"
#include "os/OwnedHandle.h"

namespace kw::os {

struct FdTraits {
  using Handle = int;
  static constexpr int invalid() { return -1; }
  static void close(int fd) {
    keepingLastError([fd] { ::close(fd); });
  }
};

using OwnedFd = OwnedHandle<FdTraits>;

}  // namespace kw::os
