// Wall-clock time.
#pragma once

#include <cstdint>
#include <ctime>

namespace kw::os {

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t currentTime();

// The current local time, broken down; false when the clock fails.
bool localTimeNow(std::tm& out);

}  // namespace kw::os
