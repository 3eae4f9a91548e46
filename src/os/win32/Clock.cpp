// Wall-clock time on Windows: the runtime's 64-bit time and local time.
// Twin: src/os/posix/Clock.cpp.
#include "os/Clock.h"

#include <sys/timeb.h>
#include <time.h>

namespace kw::os {

std::int64_t currentTime() {
  __timeb64 now{};
  _ftime64_s(&now);
  return static_cast<std::int64_t>(now.time);
}

bool localTime(std::time_t when, std::tm& out) {
  const __time64_t time = when;
  return _localtime64_s(&out, &time) == 0;
}

}  // namespace kw::os
