#include "platform/nbt/random_id.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace lomp::platform::nbt {

std::uint32_t RandomId() {
  std::uint32_t value = 0;
  ssize_t got = 0;
  do {
    got = getrandom(&value, sizeof value, GRND_NONBLOCK);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof value)) return value;
  // A pool not yet seeded (early at boot) or a kernel without getrandom:
  // the clock and the process id still keep runs apart.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<std::uint32_t>(now) ^ (static_cast<std::uint32_t>(now >> 32) * 0x9E3779B1U) ^
         static_cast<std::uint32_t>(getpid());
}

}  // namespace lomp::platform::nbt
