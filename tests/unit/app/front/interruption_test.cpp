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

}  // namespace
}  // namespace lomp
