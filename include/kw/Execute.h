// Execute: starts another program hidden and waits a bounded time for it.
#pragma once

#include <kw/Platform.h>

namespace kw {

// Starts programs hidden.
class KW_API Execute {
 public:
  // Runs `program` (a command line) from `folder`, or from the folder of
  // this process's executable when null, and waits up to 5 seconds: true
  // when it finished in that time. A program still running is left running.
  static bool exec(const wchar_t* program, const wchar_t* folder);

  Execute() = delete;
};

}  // namespace kw
