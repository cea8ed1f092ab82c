// Linked into the lomp of a test build only. A global object is made before
// main and destroyed after main's own statics (the transports), so the check
// runs when every descriptor of the program should be closed again.
#include "support/open_descriptors.h"

namespace {

const lomp::testing::FdCheckAtExit fdCheck;

}  // namespace
