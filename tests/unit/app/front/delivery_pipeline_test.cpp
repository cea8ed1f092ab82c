// Overlapping deliveries: the report, counts and order of a one-at-a-time
// run, with deliverers of the test's own that hold, fail and count.
#include "app/front/delivery_pipeline.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/front/batch_mode.h"
#include "app/front/console.h"
#include "app/front/delivery_loop.h"
#include "platform/samba_config.h"
#include "platform/session_slots.h"
#include "runtime/errors.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;

// A latch a test opens; waits are bounded so a fault fails instead of hanging.
class Gate {
 public:
  void Open() {
    {
      const std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Deliveries in flight now and at most, and what each recipient was sent.
struct Flight {
  std::mutex mutex;
  int now = 0;
  int most = 0;
  std::map<std::string, std::vector<std::string>> texts;  // by recipient as given

  void Enter(const MessageRecord& record) {
    const std::lock_guard lock(mutex);
    most = std::max(most, ++now);
    texts[record.recipient].push_back(record.text);
  }
  void Leave() {
    const std::lock_guard lock(mutex);
    --now;
  }
};

class DeliveryPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = programOptions();
    programOptions().verbosity = kVerbosityNormal;
    setConsoleStream(&console_);
  }
  void TearDown() override {
    setConsoleStream(nullptr);
    programOptions() = saved_;
  }

  std::string Report(int jobs, const RecipientList& list, const Deliverer& deliver, int& code) {
    programOptions().jobs = jobs;
    console_.str("");
    code = deliverToList(list, "hi", deliver);
    return console_.str();
  }

  ProgramOptions saved_;
  std::ostringstream console_;
};

// Outcomes by name, after a pause that differs from one recipient to the
// next, so that later recipients often end first. A personal one holds a
// session slot while it delivers, as a call does (the pipeline takes one
// for a group message).
Deliverer Shuffled(Flight& flight, unsigned seed) {
  return [&flight, seed](const MessageRecord& record) {
    platform::SessionSlot slot;
    if (record.kind == RecipientKind::Personal) {
      slot = platform::SessionSlots::Process().Take(std::nullopt, -1);
    }
    flight.Enter(record);
    std::minstd_rand random(seed +
                            static_cast<unsigned>(std::hash<std::string>{}(record.recipient)));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    flight.Leave();
    const char first = record.recipient.front();
    if (first == 'x') throw KrAddrNotFoundErr("");
    if (first == 'y') throw KrDataTransmissionErr("NBRecv 24");
    if (first == 'z') throw KrUnknownNetworkErr("");
  };
}

TEST_F(DeliveryPipelineTest, ReportAndResultAreThoseOfOneAtATime) {
  RecipientList list;
  for (int index = 0; index < 40; ++index) {
    const char kind = "abxyz"[index % 5];
    list.push_back({index % 7 == 3 ? RecipientKind::Group : RecipientKind::Personal,
                    std::string(1, kind) + std::to_string(index)});
  }
  Flight serial;
  int serialCode = 0;
  const std::string expected = Report(1, list, Shuffled(serial, 7), serialCode);
  EXPECT_EQ(serial.most, 1);
  for (const int jobs : {2, 8, 64}) {
    Flight flight;
    int code = 0;
    EXPECT_EQ(Report(jobs, list, Shuffled(flight, 7), code), expected) << jobs;
    EXPECT_EQ(code, serialCode) << jobs;
    EXPECT_GT(flight.most, 1) << jobs;
    EXPECT_LE(flight.most, jobs) << jobs;
  }
  // All reached: 0, as one at a time.
  Flight flight;
  int code = 4;
  Report(8, {{RecipientKind::Personal, "a"}, {RecipientKind::Personal, "b"}}, Shuffled(flight, 1),
         code);
  EXPECT_EQ(code, 0);
}

// One job is one road with the others: each recipient is delivered on the
// calling thread, its line written before its delivery starts and its
// outcome before the next line, with no thread of the pipeline's own.
TEST_F(DeliveryPipelineTest, OneJobDeliversOnTheCallingThreadInOrder) {
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::string> seen;
  const Deliverer deliver = [&](const MessageRecord& record) {
    EXPECT_EQ(std::this_thread::get_id(), caller) << record.recipient;
    seen.push_back(console_.str());
    if (record.recipient == "x") throw KrAddrNotFoundErr("");
  };
  DeliveryPipeline pipeline(deliver, 1);
  int result = -1;
  pipeline.Submit({{RecipientKind::Personal, "a"}, {RecipientKind::Personal, "x"}}, "hi",
                  [&](int code) { result = code; });
  // Submit returned: all of it is delivered and reported.
  EXPECT_EQ(result, 4);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "\nTrying to send message to a... ",
                      "\nTrying to send message to a...  Sent.\nTrying to send message to x... "}));
  EXPECT_EQ(console_.str(),
            "\nTrying to send message to a...  Sent."
            "\nTrying to send message to x...  Failed. Recipient not found");
}

// An empty list is told its result under the pipeline's lock, as every
// other list is: a batch's counter is never touched from two threads at once
// (ThreadSanitizer holds this; the counter is deliberately not atomic).
TEST_F(DeliveryPipelineTest, EmptyListsAreToldUnderTheLock) {
  programOptions().verbosity = kVerbositySilent;
  int told = 0;
  const auto count = [&](int) { ++told; };
  DeliveryPipeline pipeline([](const MessageRecord&) { std::this_thread::sleep_for(50us); }, 8);
  for (int round = 0; round < 200; ++round) {
    pipeline.Submit({{RecipientKind::Personal, "r" + std::to_string(round % 16)}}, "hi", count);
    pipeline.Submit({}, "hi", count);
  }
  pipeline.Drain();
  EXPECT_EQ(told, 400);
}

// The head's line is written when its turn comes, and a later recipient
// that ends first waits below it.
TEST_F(DeliveryPipelineTest, ALaterRecipientWaitsForTheLineAboveIt) {
  programOptions().jobs = 4;
  Gate slowMayEnd;
  Gate fastEnded;
  const Deliverer deliver = [&](const MessageRecord& record) {
    if (record.recipient == "slow") {
      EXPECT_TRUE(slowMayEnd.Wait());
      throw KrAddrNotFoundErr("");
    }
    fastEnded.Open();
  };
  std::thread main([&] {
    deliverToList({{RecipientKind::Personal, "slow"}, {RecipientKind::Personal, "fast"}}, "hi",
                  deliver);
  });
  ASSERT_TRUE(fastEnded.Wait());
  std::this_thread::sleep_for(20ms);  // room for a wrongly early line to show
  {
    // The report is written under the pipeline's lock by a delivery thread;
    // reading it here races only with a fault, which the check then shows.
    EXPECT_EQ(console_.str(), "\nTrying to send message to slow... ");
  }
  slowMayEnd.Open();
  main.join();
  EXPECT_EQ(console_.str(),
            "\nTrying to send message to slow...  Failed. Recipient not found"
            "\nTrying to send message to fast...  Sent.");
}

TEST(RecipientKey, TheWorkgroupIsOneGroupWhicheverWayItIsNamed) {
  const std::string workgroup = platform::HostSambaConfig().workgroup;
  EXPECT_EQ(RecipientKey({RecipientKind::Group, "*"}),
            RecipientKey({RecipientKind::Group, workgroup}));
  EXPECT_NE(RecipientKey({RecipientKind::Group, "*"}),
            RecipientKey({RecipientKind::Personal, "*"}));
  EXPECT_EQ(RecipientKey({RecipientKind::Personal, "bob"}),
            RecipientKey({RecipientKind::Personal, "BOB"}));
}

// The same recipient (after upper-casing) or group never has two deliveries
// at once, and gets them in the order given; others go on meanwhile.
TEST_F(DeliveryPipelineTest, OneRecipientsMessagesGoInOrderOneAtATime) {
  std::mutex mutex;
  std::map<std::string, int> running;
  std::vector<std::string> order;
  bool overlapped = false;
  const Deliverer deliver = [&](const MessageRecord& record) {
    std::string key = record.recipient;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    key += record.kind == RecipientKind::Group ? "/g" : "/p";
    {
      const std::lock_guard lock(mutex);
      overlapped = overlapped || running[key]++ > 0;
      if (key == "BOB/p") order.push_back(record.text);
    }
    std::this_thread::sleep_for(2ms);
    const std::lock_guard lock(mutex);
    --running[key];
  };
  programOptions().jobs = 16;
  DeliveryPipeline pipeline(deliver, 16);
  int done = 0;
  const auto count = [&](int) { ++done; };
  for (int round = 0; round < 6; ++round) {
    pipeline.Submit({{RecipientKind::Personal, round % 2 ? "bob" : "Bob"},
                     {RecipientKind::Group, "bob"},
                     {RecipientKind::Personal, "carol" + std::to_string(round)}},
                    "message " + std::to_string(round), count);
  }
  pipeline.Drain();
  EXPECT_EQ(done, 6);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(order, (std::vector<std::string>{"message 0", "message 1", "message 2", "message 3",
                                             "message 4", "message 5"}));
}

// A recipient named by address may be one named by name: the two never
// overlap and go in the order given, while names (and addresses) among
// themselves still overlap.
TEST_F(DeliveryPipelineTest, AnAddressAndANameNeverOvertakeEachOther) {
  std::mutex mutex;
  int names = 0;
  int addresses = 0;
  int mostNames = 0;
  bool overlapped = false;
  std::vector<int> started;  // submission numbers, in the order delivered
  const Deliverer deliver = [&](const MessageRecord& record) {
    in_addr address{};
    const bool byAddress = inet_pton(AF_INET, record.recipient.c_str(), &address) == 1;
    {
      const std::lock_guard lock(mutex);
      started.push_back(std::stoi(record.text));
      int& mine = byAddress ? addresses : names;
      ++mine;
      mostNames = std::max(mostNames, names);
      overlapped = overlapped || (names > 0 && addresses > 0);
    }
    std::this_thread::sleep_for(2ms);
    const std::lock_guard lock(mutex);
    --(byAddress ? addresses : names);
  };
  DeliveryPipeline pipeline(deliver, 16);
  const std::vector<std::string> recipients = {"peer", "other", "10.1.2.3", "10.1.2.4",
                                               "PEER", "third", "10.1.2.3"};
  int number = 0;
  for (int round = 0; round < 4; ++round) {
    for (const std::string& name : recipients) {
      pipeline.Submit({{RecipientKind::Personal, name}}, std::to_string(number++), [](int) {});
    }
  }
  pipeline.Drain();
  EXPECT_FALSE(overlapped);
  EXPECT_GT(mostNames, 1) << "names no longer overlap one another";
  // Every pair of one address and one name started in the order given.
  const auto byAddress = [&](int n) {
    return recipients[static_cast<std::size_t>(n) % recipients.size()][0] == '1';
  };
  for (std::size_t i = 0; i < started.size(); ++i) {
    for (std::size_t j = i + 1; j < started.size(); ++j) {
      if (byAddress(started[i]) != byAddress(started[j])) {
        EXPECT_LT(started[i], started[j]) << "#" << started[j] << " overtook #" << started[i];
      }
    }
  }
  EXPECT_EQ(RecipientKey({RecipientKind::Personal, "10.1.2.3"}),
            RecipientKey({RecipientKind::Personal, "10.1.2.3"}));
  EXPECT_NE(RecipientKey({RecipientKind::Personal, "10.1.2.3"}),
            RecipientKey({RecipientKind::Personal, "10.1.2.4"}));
}

// An interruption (a signal to end the program) waits for a delivery that
// has begun to send, and for nothing else: one still looking for its
// recipient is withdrawn (told not to start when it gets that far), the
// ones not started are not sent, and the report says so of each, in order,
// before `atRest` runs. Lists submitted afterwards are reported not sent.
// Recipients that are switched off only wait for their names: they hold no
// session slot, so all of them wait at once beside the `jobs` sessions, and
// the reachable ones behind them are not held up. The report stays that of
// one at a time.
TEST_F(DeliveryPipelineTest, WaitingForANameHoldsNoSlot) {
  constexpr int kAbsent = 40;
  Gate release;
  std::atomic<int> waiting{0};
  Flight sessions;
  const Deliverer deliver = [&](const MessageRecord& record) {
    if (record.recipient.front() == 'x') {
      ++waiting;
      // Held until every absent one waits and every reachable one is done:
      // with slots held while waiting, this would never come.
      EXPECT_TRUE(release.Wait(10s)) << record.recipient;
      throw KrAddrNotFoundErr("");
    }
    const platform::SessionSlot slot = platform::SessionSlots::Process().Take(std::nullopt, -1);
    sessions.Enter(record);
    std::this_thread::sleep_for(1ms);
    sessions.Leave();
  };
  RecipientList list;
  std::string expected;
  for (int index = 0; index < kAbsent + 11; ++index) {
    const std::string name = (index % 4 == 1 ? "r" : "x") + std::to_string(index);
    list.push_back({RecipientKind::Personal, name});
  }
  std::size_t reachable = 0;
  for (const RecipientEntry& entry : list) reachable += entry.name.front() == 'r' ? 1 : 0;
  for (const RecipientEntry& entry : list) {
    expected += "\nTrying to send message to " + entry.name + "...  " +
                (entry.name.front() == 'r' ? "Sent." : "Failed. Recipient not found");
  }
  programOptions().jobs = 4;
  console_.str("");
  std::thread releaser([&] {
    for (int wait = 0; wait < 1000; ++wait) {
      {
        const std::lock_guard lock(sessions.mutex);
        if (waiting == static_cast<int>(list.size() - reachable) &&
            sessions.texts.size() == reachable) {
          break;
        }
      }
      std::this_thread::sleep_for(10ms);
    }
    release.Open();
  });
  const int code = deliverToList(list, "hi", deliver);
  releaser.join();
  EXPECT_EQ(console_.str(), expected);
  EXPECT_EQ(code, 4);
  EXPECT_EQ(waiting, static_cast<int>(list.size() - reachable));
  EXPECT_LE(sessions.most, 4);
}

TEST_F(DeliveryPipelineTest, AnInterruptionEndsWhatHasBegunToSendAndNothingElse) {
  Gate sendingHeld;
  Gate lookingHeld;
  std::atomic<int> started{0};
  std::atomic<bool> sendingEnded{false};
  std::atomic<bool> lookingMayStart{true};
  const Deliverer deliver = [&](const MessageRecord& record) {
    ++started;
    if (record.recipient == "sending") {
      StartSending(record);
      EXPECT_TRUE(sendingHeld.Wait());
      sendingEnded = true;
    } else if (record.recipient == "looking") {
      EXPECT_TRUE(lookingHeld.Wait());
      lookingMayStart = record.mayStart();
      StartSending(record);
    }
  };
  DeliveryPipeline pipeline(deliver, 2);
  int result = -1;
  pipeline.Submit({{RecipientKind::Personal, "sending"},
                   {RecipientKind::Personal, "looking"},
                   {RecipientKind::Personal, "sending"},
                   {RecipientKind::Personal, "looking"}},
                  "hi", [&](int code) { result = code; });
  for (int wait = 0; started < 2 && wait < 500; ++wait) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(started, 2);

  std::string atRest;
  bool sendingHadEnded = false;
  std::thread interrupter([&] {
    pipeline.Interrupt([&] {
      atRest = console_.str();
      sendingHadEnded = sendingEnded;
    });
  });
  // Let the sending delivery end only once the interruption has begun.
  for (int wait = 0; !pipeline.interrupted() && wait < 500; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  sendingHeld.Open();
  interrupter.join();
  EXPECT_TRUE(sendingHadEnded);
  EXPECT_EQ(atRest,
            "\nTrying to send message to sending...  Sent."
            "\nTrying to send message to looking...  Not sent. Interrupted"
            "\nTrying to send message to sending...  Not sent. Interrupted"
            "\nTrying to send message to looking...  Not sent. Interrupted");
  EXPECT_EQ(result, 4);
  EXPECT_TRUE(pipeline.interrupted());

  // The withdrawn delivery, once it gets that far, is told not to send.
  lookingHeld.Open();
  pipeline.Submit({{RecipientKind::Personal, "later"}}, "hi", [](int) {});
  pipeline.Drain();
  EXPECT_EQ(started, 2);
  EXPECT_EQ(console_.str(), atRest + "\nTrying to send message to later...  Not sent. Interrupted");
  for (int wait = 0; lookingMayStart && wait < 500; ++wait) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(lookingMayStart);
}

// With one job the list is delivered on the submitting thread: a delivery
// held there looking for its recipient does not hold the interruption up,
// and the rest of the list is reported not sent, once.
TEST_F(DeliveryPipelineTest, AnInterruptionReportsTheRestOfTheListBeingSubmitted) {
  Gate held;
  std::atomic<bool> looking{false};
  const Deliverer deliver = [&](const MessageRecord& record) {
    looking = true;
    EXPECT_TRUE(held.Wait());
    StartSending(record);
  };
  DeliveryPipeline pipeline(deliver, 1);
  std::thread interrupter([&] {
    for (int wait = 0; !looking && wait < 500; ++wait) std::this_thread::sleep_for(10ms);
    pipeline.Interrupt([&] { held.Open(); });
  });
  int result = -1;
  pipeline.Submit(
      {{RecipientKind::Personal, "a"}, {RecipientKind::Personal, "b"}, {RecipientKind::Group, "c"}},
      "hi", [&](int code) { result = code; });
  interrupter.join();
  EXPECT_EQ(result, 4);
  EXPECT_EQ(console_.str(),
            "\nTrying to send message to a...  Not sent. Interrupted"
            "\nTrying to send message to b...  Not sent. Interrupted"
            "\nTrying to send message to c...  Not sent. Interrupted");
}

std::string FormatEntry(int entry) {
  char text[16];
  std::snprintf(text, sizeof text, "entry %04d", entry);
  return text;
}

// A message file of `entries` lines "bob entry NNNN", made a character at a
// time as it is read: `started` tells how many lines the reader has begun.
class BatchSource : public std::streambuf {
 public:
  explicit BatchSource(int entries) : entries_(entries) {}
  std::atomic<int> started{0};

 protected:
  int_type underflow() override {
    if (at_ == line_.size()) {
      if (started == entries_) return traits_type::eof();
      line_ = "bob " + FormatEntry(started++) + "\n";
      at_ = 0;
    }
    current_ = line_[at_++];
    setg(&current_, &current_, &current_ + 1);
    return traits_type::to_int_type(current_);
  }

 private:
  const int entries_;
  std::string line_;
  std::size_t at_ = 0;
  char current_ = 0;
};

// A long batch is read as it is delivered: when entry k is delivered, the
// reader is at most a window ahead of it; entries of one recipient stay in
// order and every one is counted.
TEST_F(DeliveryPipelineTest, BatchIsReadAsItIsDelivered) {
  programOptions().jobs = 4;
  programOptions().verbosity = kVerbositySilent;
  constexpr int kEntries = 10000;
  BatchSource source(kEntries);
  std::istream input(&source);
  const std::size_t window = 4 * kWindowPerJob + kWaitingDeliveries;
  std::size_t furthestAhead = 0;
  int next = 0;
  bool inOrder = true;
  const Deliverer deliver = [&](const MessageRecord& record) {
    // One recipient: the deliveries come one after the other, in order.
    inOrder = inOrder && record.text == FormatEntry(next);
    const auto ahead = static_cast<std::size_t>(source.started - next);
    furthestAhead = std::max(furthestAhead, ahead);
    ++next;
  };
  EXPECT_EQ(runBatchMode(input, deliver, false), 0);
  EXPECT_EQ(next, kEntries);
  EXPECT_TRUE(inOrder);
  // The entry being read when the window filled comes on top.
  EXPECT_LE(furthestAhead, window + 1) << "the batch was read ahead of its deliveries";
}

}  // namespace
}  // namespace lomp
