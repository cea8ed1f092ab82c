// Runs to many recipients at once against smbd and its ten aliases: a run
// costs about its slowest recipient, and the report, the exit code and the
// order of one recipient's messages are those of a run one at a time (/j:1).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "inbox.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;
using lomp::testing::ArrivedTimes;
using lomp::testing::ChildProcess;
using lomp::testing::ClearInbox;
using lomp::testing::Count;
using lomp::testing::Env;
using lomp::testing::Inbox;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;
using Clock = std::chrono::steady_clock;

// PEER's aliases in the test bed: ALIAS01 ... ALIAS10.
std::vector<std::string> Aliases() {
  std::istringstream words(Env("LOMP_PEER_ALIASES"));
  std::vector<std::string> names;
  for (std::string name; words >> name;) names.push_back(name);
  return names;
}

class ManyRecipients : public lomp::testing::InboxSuite {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// With too little memory for a thread per delivery (prlimit --as) or too few
// descriptors for a socket per delivery (--nofile), lomp never aborts and
// never reports "Sent." for a message smbd did not take, nor "Failed." for
// one it took, at any /j: each recipient's line says what its message came
// to. Sanitizer builds run without the limits: a sanitizer reserves
// terabytes of address space, and its own checks need descriptors (UBSan
// tells readable memory by writing it to a pipe, and reports a false
// "invalid vptr" when it cannot make one).
TEST_F(ManyRecipients, UnderResourceLimitsTheReportIsWhatArrived) {
  std::vector<std::string> names = Aliases();
  names.push_back(Env("LOMP_PEER_NAME"));
  const std::string file = "/tmp/lomp-limited-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    for (const std::string& name : names) out << name << " limited-" << name << "\n";
  }
  std::vector<std::vector<std::string>> limits = {{}};
  if (!kSanitized) limits = {{"prlimit", "--nofile=14"}, {"prlimit", "--as=200000000"}};
  for (const auto& wrapper : limits)
    for (const char* jobs : {"/j:1", "/j:16", "/j:64"}) {
      SCOPED_TRACE((wrapper.empty() ? "no limit" : wrapper.back()) + " " + jobs);
      ClearInbox();
      const LompRun run = Lomp({"/t:1000", jobs, "/f:" + file}, "", "", wrapper);
      EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 4) << run.exitCode << run.errors;
      std::this_thread::sleep_for(1s);  // smbd's message command writes after its reply
      const std::vector<std::string> inbox = Inbox();
      for (const std::string& name : names) {
        const bool arrived = std::count(inbox.begin(), inbox.end(), "limited-" + name) == 1;
        const bool reported = run.output.find(Report(name, "Sent.")) != std::string::npos;
        const bool failed = run.output.find(Report(name, "Failed.")) != std::string::npos;
        EXPECT_EQ(reported, arrived) << name << run.output;
        EXPECT_NE(reported, failed) << name << run.output;
      }
    }
  std::remove(file.c_str());
}

// Twenty recipients, every other one a name nobody holds: the default run
// ends in about one time-out, the run one at a time in ten, and their
// reports are the same bytes.
TEST_F(ManyRecipients, TwentyRecipientsHalfOfThemAbsentTakeAboutOneTimeOut) {
  const std::vector<std::string> aliases = Aliases();
  ASSERT_EQ(aliases.size(), 10u);
  std::string list;
  for (std::size_t index = 0; index < aliases.size(); ++index) {
    list += aliases[index] + ",NOBODY" + std::to_string(index + 1) + ",";
  }
  list.pop_back();

  const LompRun overlapping = Lomp({"/t:2000", list, "twenty at once"});
  EXPECT_LT(overlapping.took, 3500ms);
  EXPECT_EQ(overlapping.exitCode, 4);
  EXPECT_EQ(Count(overlapping.output, " Sent."), 10u) << overlapping.output;
  EXPECT_EQ(Count(overlapping.output, " Failed. Recipient not found"), 10u) << overlapping.output;
  EXPECT_TRUE(ArrivedTimes("twenty at once", 10));

  ClearInbox();
  const LompRun oneByOne = Lomp({"/t:2000", "/j:1", list, "twenty at once"});
  EXPECT_EQ(oneByOne.output, overlapping.output);
  EXPECT_EQ(oneByOne.exitCode, overlapping.exitCode);
  EXPECT_GT(oneByOne.took, 10 * 1900ms) << "the names nobody holds were not waited for";
  EXPECT_TRUE(ArrivedTimes("twenty at once", 10));
}

// Eleven reachable names and forty that nobody holds, more than /j: a name
// that is not found only waits for its next try and holds no slot, so the
// default run ends in about one time-out (5 s), not in three waves of them.
TEST_F(ManyRecipients, FortyAbsentBesideElevenReachableTakeOneTimeOut) {
  std::vector<std::string> reachable = Aliases();
  reachable.push_back(Env("LOMP_PEER_NAME"));
  std::string list;
  std::string expected = "\nInitializing...";
  for (int index = 0; index < 40; ++index) {
    const std::string absent = "GONE" + std::to_string(index);
    list += absent + ",";
    expected += Report(absent, "Failed. Recipient not found");
    if (index % 4 == 0 && static_cast<std::size_t>(index / 4) < reachable.size()) {
      list += reachable[static_cast<std::size_t>(index / 4)] + ",";
      expected += Report(reachable[static_cast<std::size_t>(index / 4)], "Sent.");
    }
  }
  list += reachable.back();
  expected += Report(reachable.back(), "Sent.") + "\n";

  const LompRun run = Lomp({list, "eleven of fifty-one"});
  EXPECT_LT(run.took, 8s);
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_TRUE(ArrivedTimes("eleven of fifty-one", 11));
}

// A batch that names PEER nine times, spelt three ways, among other
// recipients: PEER gets the nine in the order of the file.
TEST_F(ManyRecipients, OneRecipientsMessagesArriveInTheOrderOfTheBatch) {
  const std::vector<std::string> aliases = Aliases();
  const std::string file = "/tmp/lomp-order-" + std::to_string(getpid());
  std::vector<std::string> expected;
  std::string report = "\nInitializing...";
  {
    std::ofstream out(file);
    for (int index = 0; index < 9; ++index) {
      const std::string peer = index % 3 == 0 ? "PEER" : index % 3 == 1 ? "peer" : "Peer";
      const std::string& other = aliases[static_cast<std::size_t>(index)];
      const std::string text = "to PEER, number " + std::to_string(index + 1);
      // The aliases are smbd's too: their messages are told apart by text.
      out << other << " filler\n" << peer << " " << text << "\n";
      expected.push_back(text);
      report += Report(other, "Sent.") + Report(peer, "Sent.");
    }
  }
  const LompRun run = Lomp({"/f:" + file});
  EXPECT_EQ(run.output, report + "\n");
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_TRUE(ArrivedTimes(expected.back(), 1));
  std::vector<std::string> toPeer;
  for (const std::string& text : Inbox()) {
    if (text.rfind("to PEER", 0) == 0) toPeer.push_back(text);
  }
  EXPECT_EQ(toPeer, expected);
  std::filesystem::remove(file);
}

// Ctrl-C ends a run at once when nothing has begun to send: every
// recipient still being looked for is reported not sent.
TEST_F(ManyRecipients, InterruptEndsTheRunAtOnce) {
  std::string list = "NOBODY1";
  for (int index = 2; index <= 40; ++index) list += ",NOBODY" + std::to_string(index);
  ChildProcess lomp({LOMP_BINARY, "/t:20000", list, "never"});
  ASSERT_TRUE(lomp.ReadLine(5s).has_value());  // the empty line before "Initializing..."
  std::this_thread::sleep_for(500ms);
  const auto interrupted = Clock::now();
  lomp.Kill(SIGINT);
  const std::string output = lomp.ReadAll(10s);
  EXPECT_EQ(lomp.Wait(10s), 128 + SIGINT);
  EXPECT_LT(Clock::now() - interrupted, 1s);
  EXPECT_EQ(Count(output, "...  Not sent. Interrupted"), 40u) << output;
}

// A signal to end the run (Ctrl-C, a service manager's SIGTERM, a closed
// terminal's SIGHUP) in the middle of many deliveries: lomp starts no more,
// ends the ones that have begun to send, and reports every recipient it
// took on in order. Each message smbd took is reported "Sent.", and only
// those; the rest say "Not sent. Interrupted" (or the failure they met).
// The run ends by the signal, as its caller expects (128 + N).
TEST_F(ManyRecipients, AnInterruptedRunReportsEveryMessageThatWentOut) {
  std::vector<std::string> names = Aliases();
  names.push_back(Env("LOMP_PEER_NAME"));
  const std::string file = "/tmp/lomp-interrupted-" + std::to_string(getpid());
  constexpr int kEntries = 3000;
  {
    // A name nobody holds at the head keeps every line below it waiting.
    std::ofstream out(file);
    out << "GONE000 entry-gone\n";
    for (int entry = 1; entry < kEntries; ++entry) {
      out << names[static_cast<std::size_t>(entry) % names.size()] << " entry-" << entry << "\n";
    }
  }
  struct Case {
    int signal;
    std::vector<std::string> arguments;
  };
  std::string commandLine = "GONE000";
  for (int entry = 1; entry < 600; ++entry) commandLine += "," + names[entry % names.size()];
  const std::vector<Case> cases = {{SIGINT, {"/j:16", "/f:" + file}},
                                   {SIGTERM, {"/j:64", "/f:" + file}},
                                   {SIGHUP, {"/j:1", commandLine, "entry-single"}}};
  for (const Case& run : cases) {
    SCOPED_TRACE(strsignal(run.signal));
    ClearInbox();
    std::vector<std::string> command = {LOMP_BINARY, "/t:1500"};
    command.insert(command.end(), run.arguments.begin(), run.arguments.end());
    ChildProcess lomp(command);
    // Cut in when smbd has taken some, well before the end.
    for (int wait = 0; Inbox().size() < 20 && wait < 400; ++wait) std::this_thread::sleep_for(50ms);
    ASSERT_GE(Inbox().size(), 20u);
    lomp.Kill(run.signal);
    const std::string output = lomp.ReadAll(60s);
    EXPECT_EQ(lomp.Wait(10s), 128 + run.signal);
    std::this_thread::sleep_for(1s);  // smbd's message command writes after its reply
    const std::vector<std::string> inbox = Inbox();

    // The report: one line per recipient in order, each with its outcome.
    std::istringstream lines(output);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "");
    std::getline(lines, line);
    EXPECT_EQ(line, "Initializing...");
    std::size_t sent = 0;
    std::size_t notSent = 0;
    int entry = 0;
    for (; std::getline(lines, line) && !line.empty(); ++entry) {
      const std::string& name = entry == 0 ? std::string("GONE000") : names[entry % names.size()];
      const std::string head = "Trying to send message to " + name + "...  ";
      ASSERT_EQ(line.rfind(head, 0), 0u) << line;
      const std::string outcome = line.substr(head.size());
      if (outcome == "Sent.") {
        ++sent;
        if (run.arguments.size() == 2) {
          const std::string text = "entry-" + std::to_string(entry);
          EXPECT_EQ(std::count(inbox.begin(), inbox.end(), text), 1) << text;
        }
      } else if (outcome == "Not sent. Interrupted") {
        ++notSent;
      } else {
        EXPECT_EQ(outcome, "Failed. Recipient not found");
      }
    }
    EXPECT_EQ(sent, inbox.size()) << "smbd took a message the report does not call Sent.";
    EXPECT_GT(notSent, 0u) << "the run ended before the signal";
    EXPECT_LT(entry, kEntries);
  }
  std::remove(file.c_str());
}

}  // namespace
}  // namespace lomp
