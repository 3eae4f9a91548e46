// Wall-clock time.
#pragma once

#include <cstdint>
#include <ctime>

namespace kw::os {

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t currentTime();

// A time as local time, broken down; false when it cannot be converted.
bool localTime(std::time_t when, std::tm& out);

}  // namespace kw::os
