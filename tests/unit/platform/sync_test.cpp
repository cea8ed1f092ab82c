#include "platform/sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace lomp::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Event, ManualResetStaysSetUntilReset) {
  Event event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(WaitForSingle(event, 0ms));
  event.Set();
  EXPECT_TRUE(WaitForSingle(event, 0ms));
  EXPECT_TRUE(WaitForSingle(event, 0ms));  // a wait does not consume it
  event.Reset();
  EXPECT_FALSE(WaitForSingle(event, 10ms));
  EXPECT_TRUE(WaitForSingle(Event(true), 0ms));
}

TEST(WaitForAny, ReportsTheLowestSignalledIndex) {
  Event first;
  Event second;
  WaitableTimer timer;
  timer.SetRelative(0ms);
  EXPECT_EQ(WaitForAny({&first, &timer}), 1);
  second.Set();
  EXPECT_EQ(WaitForAny({&first, &second, &timer}), 1);
  first.Set();
  EXPECT_EQ(WaitForAny({&first, &second, &timer}), 0);
}

TEST(WaitForAny, TimesOutWhenNothingIsSignalled) {
  Event event;
  WaitableTimer unarmed;
  const auto start = Clock::now();
  EXPECT_EQ(WaitForAny({&event, &unarmed}, 30ms), kWaitTimeout);
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(WaitForAny, WakesForAnEventSetByAnotherThread) {
  Event event;
  WaitableTimer timer;
  timer.SetRelative(10s);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    event.Set();
  });
  const auto start = Clock::now();
  EXPECT_EQ(WaitForAny({&timer, &event}), 1);
  EXPECT_LT(Clock::now() - start, 5s);
  setter.join();
}

TEST(WaitableTimer, FiresAtItsDueTime) {
  WaitableTimer timer;
  const auto start = Clock::now();
  timer.SetRelative(40ms);
  EXPECT_FALSE(WaitForSingle(timer, 0ms));
  EXPECT_TRUE(WaitForSingle(timer));
  EXPECT_GE(Clock::now() - start, 40ms);
  timer.Cancel();
  EXPECT_FALSE(WaitForSingle(timer, 0ms));
  timer.SetRelative(-5ms);  // a due time in the past is due at once
  EXPECT_TRUE(WaitForSingle(timer, 0ms));
}

}  // namespace
}  // namespace lomp::platform
