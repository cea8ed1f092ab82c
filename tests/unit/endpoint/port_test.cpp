#include "endpoint/port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "endpoint/kr_network.h"
#include "support/eventually.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;
using lomp::testing::Eventually;
using Clock = std::chrono::steady_clock;

// A port whose Open fails a given number of times and that counts calls.
class CountingPort : public CPort {
 public:
  ~CountingPort() override { Stop(); }
  bool Open() override {
    ++opens;
    isOpen = opens > failingOpens;
    return isOpen;
  }
  void Close() override {
    ++closes;
    isOpen = false;
  }
  void Listen() override {
    ++listens;
    thread.WaitForStop(2ms);
  }
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<int> listens{0};
  int failingOpens = 1'000'000;
};

// Counts its deletions.
class TrackedConnection : public CConnection {
 public:
  TrackedConnection(CPort* owner, std::atomic<int>& deletions)
      : CConnection(owner), deletions_(deletions) {}
  ~TrackedConnection() override { ++deletions_; }

 private:
  std::atomic<int>& deletions_;
};

TEST(CPort, WaitOpenRetriesAndReturnsSoonAfterAStop) {
  CountingPort port;
  port.openRetryMs = 30ms;
  port.Start();
  std::this_thread::sleep_for(200ms);
  const auto start = Clock::now();
  port.Stop();
  EXPECT_LT(Clock::now() - start, 100ms);
  // About one Open per 30 ms: a retry loop, not a busy one.
  EXPECT_GE(port.opens, 3);
  EXPECT_LE(port.opens, 10);
  EXPECT_EQ(port.closes, 1);  // Run closes once, although Open never succeeded
  EXPECT_EQ(port.listens, 0);
}

TEST(CPort, OpenPortListensUntilStopped) {
  CountingPort port;
  port.failingOpens = 0;
  port.Start();
  ASSERT_TRUE(Eventually("three listens", [&] { return port.listens >= 3; }));
  port.Stop();
  EXPECT_EQ(port.opens, 1);  // WaitOpen does not reopen an open port
  EXPECT_EQ(port.closes, 1);
  port.Stop();  // a second stop finds no thread
  EXPECT_EQ(port.closes, 1);
}

TEST(CPort, StopOnANeverStartedPortReturnsAtOnce) {
  CountingPort port;
  const auto start = Clock::now();
  port.Stop();
  EXPECT_LT(Clock::now() - start, 50ms);
  EXPECT_EQ(port.closes, 0);
}

TEST(CPort, RemoveConnectionDeletesOnce) {
  std::atomic<int> deletions{0};
  CPort port;
  auto* connection = new TrackedConnection(&port, deletions);
  port.AddConnection(connection);
  port.RemoveConnection(connection);
  EXPECT_EQ(deletions, 1);
  port.RemoveConnection(connection);  // not listed any more: nothing happens
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(port.ConnectionCount(), 0u);
}

TEST(CPort, ListedConnectionsDieWithThePort) {
  std::atomic<int> deletions{0};
  {
    CPort port;
    port.AddConnection(new TrackedConnection(&port, deletions));
    port.AddConnection(new TrackedConnection(&port, deletions));
  }
  EXPECT_EQ(deletions, 2);
}

TEST(CPort, ConnectionsAddedFromTwoThreadsAreAllListed) {
  std::atomic<int> deletions{0};
  CPort port;
  constexpr int kEach = 500;
  auto adder = [&] {
    for (int i = 0; i < kEach; ++i) port.AddConnection(new TrackedConnection(&port, deletions));
  };
  std::thread first(adder);
  std::thread second(adder);
  first.join();
  second.join();
  EXPECT_EQ(port.ConnectionCount(), 2u * kEach);
}

TEST(KrThread, RunsOnceAndStopsCleanly) {
  class Worker : public KrThread {
   public:
    ~Worker() override { Stop(); }
    void ThreadMain() override {
      ++runs;
      while (!IsStopRequested()) WaitForStop(1000ms);
    }
    std::atomic<int> runs{0};
  };
  Worker worker;
  EXPECT_FALSE(worker.IsStopRequested());
  ASSERT_TRUE(worker.CreateThread());
  ASSERT_TRUE(Eventually("the thread to run", [&] { return worker.runs > 0; }));
  const auto start = Clock::now();
  worker.Stop();
  EXPECT_LT(Clock::now() - start, 500ms);  // the stop event cut the wait short
  EXPECT_TRUE(worker.IsStopRequested());
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_EQ(worker.runs, 1);
}

TEST(KrNetwork, EnumerateEmptiesTheBaseList) {
  KrNetwork network;
  network.interfaces.push_back(std::make_unique<KrNetworkInterface>());
  EXPECT_EQ(network.interfaces[0]->Reset(), 0);
  network.UpdateInterfaces();
  EXPECT_EQ(network.interfaces.size(), 1u);
  network.EnumerateInterfaces();
  EXPECT_TRUE(network.interfaces.empty());
  EXPECT_FALSE(network.changed);
}

}  // namespace
}  // namespace lomp
