// Simulated time for one test: waits that end only by their time-outs end
// at once, and the clock shows the time they would have taken.
#pragma once

#include "platform/sync.h"

namespace lomp::testing {

class SimulatedTime {
 public:
  SimulatedTime() { platform::InstallSyncClock(&clock_); }
  ~SimulatedTime() { platform::InstallSyncClock(nullptr); }
  SimulatedTime(const SimulatedTime&) = delete;
  SimulatedTime& operator=(const SimulatedTime&) = delete;

 private:
  platform::SimulatedClock clock_;
};

}  // namespace lomp::testing
