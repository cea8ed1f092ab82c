// The messaging service as the front end sees it.
#pragma once

namespace lomp {

// Prepares the transports that the command line needs. Returns 0 when the
// service is ready and non-zero when it is not; may raise a KrNetworkErr
// whose text says what failed. Called once, before any delivery.
int lomp_initialize();

}  // namespace lomp
