// Simulated time for one test: waits that end only by their time-outs end
// at once, and the clock shows the time they would have taken. A wait that
// would block on a deadline jumps the clock to it; waits without a deadline
// still block until something is set. Use it only where no other thread
// waits with a time-out of its own (a worker's retry loop would spin).
#pragma once

#include <atomic>

#include "platform/sync.h"

namespace lomp::testing {

class SimulatedTime {
 public:
  SimulatedTime() { platform::InstallSyncClock(&clock_); }
  ~SimulatedTime() { platform::InstallSyncClock(nullptr); }
  SimulatedTime(const SimulatedTime&) = delete;
  SimulatedTime& operator=(const SimulatedTime&) = delete;

  // The simulated time now.
  platform::SteadyClock::time_point Now() const { return clock_.Now(); }

 private:
  class Clock final : public platform::SyncClock {
   public:
    platform::SteadyClock::time_point Now() const override {
      return platform::SteadyClock::time_point(platform::SteadyClock::duration(now_.load()));
    }
    bool AdvanceTo(platform::SteadyClock::time_point until) override {
      const platform::SteadyClock::rep target = until.time_since_epoch().count();
      platform::SteadyClock::rep current = now_.load();
      while (current < target && !now_.compare_exchange_weak(current, target)) {
      }
      return true;
    }

   private:
    std::atomic<platform::SteadyClock::rep> now_{
        platform::SteadyClock::now().time_since_epoch().count()};
  };

  Clock clock_;
};

}  // namespace lomp::testing
