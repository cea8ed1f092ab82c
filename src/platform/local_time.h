// Local wall-clock time in the shape the program's records use, and the
// calling thread's id.
#pragma once

#include <cstdint>

namespace lomp::platform {

struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;      // 1..12
  std::uint16_t dayOfWeek = 0;  // 0 = Sunday
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

// The current local time.
SystemTime GetLocalTime();

// 100-nanosecond intervals since 1601-01-01 of the given calendar time (the
// time is taken as it stands; no zone is applied). Fields out of range give 0.
std::uint64_t SystemTimeToFileTime(const SystemTime& time);

// The kernel's id of the calling thread.
std::uint32_t CurrentThreadId();

}  // namespace lomp::platform
