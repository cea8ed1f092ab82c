#include "app/messenger.h"

#include "runtime/trace_log.h"

namespace lomp {

int lomp_initialize() {
  LogTrace(".\\lomp_messenger", __LINE__, "lomp_initialize", "Entering...");
  // No transport is available in this build, so the service can never be
  // ready: reporting failure keeps the front end from claiming a delivery.
  LogTrace(".\\lomp_messenger", __LINE__, "lomp_initialize", "Leaving...");
  return 1;
}

}  // namespace lomp
