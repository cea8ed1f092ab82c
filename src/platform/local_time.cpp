#include "platform/local_time.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace lomp::platform {

SystemTime GetLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  SystemTime time;
  time.year = static_cast<std::uint16_t>(local.tm_year + 1900);
  time.month = static_cast<std::uint16_t>(local.tm_mon + 1);
  time.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
  time.day = static_cast<std::uint16_t>(local.tm_mday);
  time.hour = static_cast<std::uint16_t>(local.tm_hour);
  time.minute = static_cast<std::uint16_t>(local.tm_min);
  time.second = static_cast<std::uint16_t>(local.tm_sec);
  time.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
  return time;
}

std::uint64_t SystemTimeToFileTime(const SystemTime& time) {
  using namespace std::chrono;
  const year_month_day date{year{time.year}, month{time.month}, day{time.day}};
  if (time.year < 1601 || !date.ok() || time.hour > 23 || time.minute > 59 || time.second > 59 ||
      time.milliseconds > 999) {
    return 0;
  }
  const auto epoch = sys_days{year{1601} / January / 1};
  const auto days = sys_days{date} - epoch;
  const auto sinceEpoch = days + hours{time.hour} + minutes{time.minute} + seconds{time.second} +
                          milliseconds{time.milliseconds};
  using FileTimeTicks = duration<std::int64_t, std::ratio<1, 10'000'000>>;
  return static_cast<std::uint64_t>(duration_cast<FileTimeTicks>(sinceEpoch).count());
}

std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

}  // namespace lomp::platform
