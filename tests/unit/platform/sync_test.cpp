#include "platform/sync.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

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

// The hook of the first lasting wait: counted, and removed after each test.
std::atomic<int> longWaits{0};
void CountLongWait() {
  ++longWaits;
}

class FirstLongWait : public ::testing::Test {
 protected:
  FirstLongWait() {
    longWaits = 0;
    CallOnFirstLongWait(&CountLongWait);
  }
  ~FirstLongWait() override { CallOnFirstLongWait(nullptr); }
};

TEST_F(FirstLongWait, WaitsThatEndWithinAMomentDoNotCallIt) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  ASSERT_EQ(write(pipeEnds[1], "x", 1), 1);
  pollfd readable{pipeEnds[0], POLLIN, 0};
  EXPECT_EQ(PollNotingLongWait(&readable, 1, 5000), 1);  // ready at once
  pollfd quiet{pipeEnds[1], POLLIN, 0};
  EXPECT_EQ(PollNotingLongWait(&quiet, 1, 0), 0);  // no wait at all
  EXPECT_EQ(PollNotingLongWait(&quiet, 1, 5), 0);  // shorter than a moment
  Event set(true);
  EXPECT_TRUE(WaitForSingle(set, 5000ms));
  Sleep(kMomentOfWait);
  EXPECT_EQ(longWaits, 0);
  EXPECT_TRUE(LongWaitAwaited());
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

TEST_F(FirstLongWait, APollThatGoesOnCallsItOnceAndStillWaitsItsTime) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  pollfd quiet{pipeEnds[0], POLLIN, 0};
  const auto began = Clock::now();
  EXPECT_EQ(PollNotingLongWait(&quiet, 1, 60), 0);
  EXPECT_GE(Clock::now() - began, 60ms);
  EXPECT_EQ(longWaits, 1);
  EXPECT_FALSE(LongWaitAwaited());
  // Data that comes after the moment still ends the wait.
  std::thread writer([&] {
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(write(pipeEnds[1], "x", 1), 1);
  });
  EXPECT_EQ(PollNotingLongWait(&quiet, 1, -1), 1);
  writer.join();
  EXPECT_EQ(longWaits, 1);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

TEST_F(FirstLongWait, WaitsForObjectsAndSleepsCallItWhenTheyLast) {
  WaitableTimer timer;
  timer.SetRelative(50ms);
  EXPECT_EQ(WaitForAny({&timer}), 0);
  EXPECT_EQ(longWaits, 1);

  CallOnFirstLongWait(&CountLongWait);
  Event event;
  std::thread setter([&] {
    std::this_thread::sleep_for(40ms);
    event.Set();
  });
  EXPECT_TRUE(WaitForSingle(event));
  setter.join();
  EXPECT_EQ(longWaits, 2);

  CallOnFirstLongWait(&CountLongWait);
  Sleep(30ms);
  EXPECT_EQ(longWaits, 3);
}

TEST_F(FirstLongWait, ComesOnceFromManyThreads) {
  std::vector<std::thread> waiters;
  for (int i = 0; i < 8; ++i) waiters.emplace_back([] { Sleep(20ms); });
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(longWaits, 1);
}

}  // namespace
}  // namespace lomp::platform
