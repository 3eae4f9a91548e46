// Wall-clock time on Linux: gettimeofday and localtime_r. Twin: src/os/win32/Clock.cpp.
#include "os/Clock.h"

#include <sys/time.h>

namespace kw::os {

std::int64_t currentTime() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<std::int64_t>(now.tv_sec);
}

bool localTime(std::time_t when, std::tm& out) { return localtime_r(&when, &out) != nullptr; }

}  // namespace kw::os
