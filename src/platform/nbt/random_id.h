// Starting values for the ids that tell one request or datagram from the
// next (NAME_TRN_ID, DGM_ID): unpredictable, so that a run's replies are not
// mistaken for another run's and a peer cannot guess them.
#pragma once

#include <cstdint>

namespace lomp::platform::nbt {

// 32 bits from the kernel's random pool (getrandom). std::random_device does
// the same in the end, but first asks the processor which sources it has,
// and under a hypervisor every such question costs a trap out of the guest.
std::uint32_t RandomId();

}  // namespace lomp::platform::nbt
