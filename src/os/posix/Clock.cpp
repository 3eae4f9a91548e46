// Wall-clock time on Linux: gettimeofday and localtime_r. Twin: src/os/win32/Clock.cpp.
#include "os/Clock.h"

#include <sys/time.h>

namespace kw::os {

std::int64_t currentTime() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<std::int64_t>(now.tv_sec);
}

bool localTimeNow(std::tm& out) {
  // Events come many to a second: the time zone is worked out once a second
  // per thread.
  thread_local std::time_t t_second = -1;
  thread_local std::tm t_local{};
  const std::time_t now = std::time(nullptr);
  if (now != t_second) {
    if (!localtime_r(&now, &t_local)) return false;
    t_second = now;
  }
  out = t_local;
  return true;
}

}  // namespace kw::os
