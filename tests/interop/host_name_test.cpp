// Recipients named by host name: looked up with the host's resolver (the
// test bed's hosts file and DNS server), then called by the Messenger name
// the node registered, as an address is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "inbox.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;
using lomp::testing::Arrived;
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::InNamespace;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;
namespace fs = std::filesystem;

class HostNames : public lomp::testing::InboxSuite {};

// The called names of the session requests PEER saw while `run` ran.
std::string CalledNamesSeenByPeer(const std::function<void()>& run) {
  const fs::path capture =
      fs::temp_directory_path() / ("lomp-called-" + std::to_string(getpid()) + ".pcap");
  ChildProcess tshark(InNamespace(Env("LOMP_NS_PEER"), {"tshark", "-q", "-i", "eth-p", "-f",
                                                        "tcp port 139", "-w", capture.string()}));
  // tshark writes the file's header once it captures: wait for that (a
  // bounded wait), then a moment more.
  for (int wait = 0; wait < 200; ++wait) {
    std::error_code error;
    if (fs::file_size(capture, error) > 0 && !error) break;
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(300ms);
  run();
  std::this_thread::sleep_for(500ms);
  tshark.Kill(SIGINT);
  tshark.Wait(10s);
  ChildProcess read({"tshark", "-r", capture.string(), "-Y", "nbss.type == 0x81", "-T", "fields",
                     "-e", "nbss.called_name"});
  const std::string called = read.ReadAll(20s);
  read.Wait(5s);
  fs::remove(capture);
  return called;
}

TEST_F(HostNames, AHostNameReachesPeerByItsMessengerName) {
  const std::string host = Env("LOMP_PEER_HOST");
  LompRun run;
  const std::string called = CalledNamesSeenByPeer([&] {
    run = Lomp({"/vd", host, "Backup done"});
  });
  EXPECT_EQ(run.output,
            "\nInitializing...\nEntering single message mode." + Report(host, "Sent.") + "\n")
      << run.errors;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived("Backup done"));
  // Called by a Messenger name PEER registered (its own or an alias: the
  // node's name table says which it holds), never by the host name.
  EXPECT_TRUE(std::regex_search(called, std::regex("^(PEER|ALIAS[0-9]+)<03>\n"))) << called;
  EXPECT_EQ(called.find("LOMP"), std::string::npos) << called;
  // The trace says what was looked up and where it is.
  EXPECT_NE(run.errors.find("Host name '" + host + "' is at " + Env("LOMP_PEER_ADDR")),
            std::string::npos)
      << run.errors;
}

TEST_F(HostNames, AListMixingEveryKindReportsEachAsTyped) {
  const std::string longHost = Env("LOMP_PEER_LONG_HOST");
  const std::string host = Env("LOMP_PEER_HOST");
  const std::string list =
      "peer," + Env("LOMP_PEER_ADDR") + "," + longHost + ",nobody.lomp.test," + host;
  const LompRun run = Lomp({"/t:2000", "/j:4", list, "mixed"});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("peer", "Sent.") +
                            Report(Env("LOMP_PEER_ADDR"), "Sent.") + Report(longHost, "Sent.") +
                            Report("nobody.lomp.test", "Failed. Recipient not found") +
                            Report(host, "Sent.") + "\n")
      << run.errors;
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_TRUE(lomp::testing::ArrivedTimes("mixed", 4));

  // The same from a batch file.
  const fs::path file = fs::temp_directory_path() / ("lomp-hosts-" + std::to_string(getpid()));
  {
    std::ofstream out(file);
    out << host << " first line\n" << longHost << " second line\n";
  }
  const LompRun batch = Lomp({"/f:" + file.string()});
  fs::remove(file);
  EXPECT_EQ(batch.output,
            "\nInitializing..." + Report(host, "Sent.") + Report(longHost, "Sent.") + "\n");
  EXPECT_EQ(batch.exitCode, 0);
}

// A name the hosts file does not hold goes to DNS. A DNS server that
// refuses answers at once; one that never answers is given up at the
// time-out, and the lookup leaves nothing running behind it.
TEST_F(HostNames, AnUnknownHostFailsWithinTheTimeOut) {
  const LompRun refused = Lomp({"/t:2000", "nobody.lomp.test", "hi"});
  EXPECT_EQ(refused.output,
            "\nInitializing..." + Report("nobody.lomp.test", "Failed. Recipient not found") + "\n");
  EXPECT_EQ(refused.exitCode, 4);
  EXPECT_LT(refused.took, 3s);

  ChildProcess deaf(InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "deaf", "53"}));
  ASSERT_EQ(deaf.ReadLine(5s).value_or(""), "ready");
  const fs::path resolvConf = "/etc/resolv.conf";  // the test bed's own
  std::string before;
  {
    std::ifstream in(resolvConf);
    std::stringstream text;
    text << in.rdbuf();
    before = text.str();
  }
  {
    // Written in place: the test bed's file is mounted over the machine's.
    std::ofstream out(resolvConf, std::ios::trunc);
    out << "nameserver " << Env("LOMP_SPARE_ADDR") << "\noptions timeout:30 attempts:1\n";
  }
  const LompRun slow = Lomp({"/vd", "/t:1500", "slow.lomp.test," + Env("LOMP_PEER_HOST"), "hi"});
  {
    std::ofstream out(resolvConf, std::ios::trunc);
    out << before;
  }
  EXPECT_EQ(slow.output, "\nInitializing...\nEntering single message mode." +
                             Report("slow.lomp.test", "Failed. Recipient not found") +
                             Report(Env("LOMP_PEER_HOST"), "Sent.") + "\n")
      << slow.errors;
  EXPECT_LT(slow.took, 4s);
  EXPECT_NE(slow.errors.find("Host name 'slow.lomp.test' not answered within 1500 ms"),
            std::string::npos)
      << slow.errors;
  // No getent is left asking.
  ChildProcess left({"pgrep", "-f", "getent ahostsv4 -- slow.lomp.test"});
  EXPECT_EQ(left.ReadAll(5s), "");
  left.Wait(5s);
}

}  // namespace
}  // namespace lomp
