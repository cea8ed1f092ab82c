// What a signal does around the end of a run, in child processes of the
// test's own (the signals are process-wide).
#include "app/front/interruption.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/sync.h"

namespace lomp {
namespace {

// The wait status of a child that runs `body` and then exits with 7.
int StatusOfChild(const std::function<void()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);  // never left behind
    body();
    _exit(7);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

void SignalSelfAndWait(int signal) {
  kill(getpid(), signal);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST(Interruption, ASignalAfterTheRunEndedChangesNothing) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    StartWatchingForInterruption();
    StopWatchingForInterruption();
    SignalSelfAndWait(SIGINT);
    SignalSelfAndWait(SIGTERM);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

// The watcher a run left in its wait watches the next run of the process.
TEST(Interruption, ASecondRunIsWatchedAgain) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    StartWatchingForInterruption();
    StopWatchingForInterruption();
    StartWatchingForInterruption();
    SignalSelfAndWait(SIGTERM);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A run that ends after a handler took the first signal ends the watcher
// that waits for the second (it hangs, and the alarm ends it, if not).
TEST(Interruption, TheEndStopsAWatcherThatHandledASignal) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    SetInterruptionHandler([] {});
    StartWatchingForInterruption();
    SignalSelfAndWait(SIGINT);
    StopWatchingForInterruption();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

// A run of one message starts no watcher until it has to wait: a signal
// that comes before waits for the first lasting wait, which acts on it
// there and then (the child never reaches its own end).
TEST(Interruption, ASignalWaitsForTheRunsFirstLastingWait) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    StartWatchingWhenTheRunWaits();
    kill(getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no wait of the run's
    platform::Sleep(std::chrono::milliseconds(2000));
    _exit(9);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// ... or for the run's end, when no wait lasted.
TEST(Interruption, ARunThatNeverWaitedEndsByItsSignalAtItsEnd) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    StartWatchingWhenTheRunWaits();
    kill(getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    StopWatchingForInterruption();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

// After the end, a wait that lasts starts nothing: the signal stays blocked.
TEST(Interruption, NoWatcherStartsAfterTheEnd) {
  const int status = StatusOfChild([] {
    WatchForInterruption();
    StartWatchingWhenTheRunWaits();
    StopWatchingForInterruption();
    kill(getpid(), SIGTERM);
    platform::Sleep(std::chrono::milliseconds(200));
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
}  // namespace lomp
