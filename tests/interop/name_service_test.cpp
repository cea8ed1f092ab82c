// Names beyond the broadcast domain. FAR is Samba behind the test bed's
// router, registered with the WINS server there; no broadcast of the
// client's subnet reaches either. The client's own smb.conf and lmhosts
// (its /etc/samba, private to its namespace) tell lomp where to look.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "inbox.h"
#include "netbios/ncb_commands.h"
#include "platform/nbt/nbt_provider.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace lomp::wire;

using namespace std::chrono_literals;
using namespace lomp::platform;
using namespace lomp::platform::nbt;
using lomp::testing::Arrived;
using lomp::testing::ArrivedTimes;
using lomp::testing::ChildProcess;
using lomp::testing::ClearInbox;
using lomp::testing::Count;
using lomp::testing::Env;
using lomp::testing::InboxMessages;
using lomp::testing::InNamespace;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;

const std::string kSmbConf = "/etc/samba/smb.conf";
const std::string kLmhosts = "/etc/samba/lmhosts";
const std::string kSiteConf = "/etc/samba/site.conf";

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The client's NetBIOS configuration for one test; the test bed's own comes
// back afterwards.
class ClientConfig {
 public:
  explicit ClientConfig(const std::string& smbConf, const std::string& lmhosts = "")
      : saved_(ReadFile(kSmbConf)) {
    WriteFile(kSmbConf, smbConf);
    if (!lmhosts.empty()) WriteFile(kLmhosts, lmhosts);
  }
  ~ClientConfig() {
    if (saved_) WriteFile(kSmbConf, *saved_);
    std::filesystem::remove(kLmhosts);
    std::filesystem::remove(kSiteConf);
  }
  ClientConfig(const ClientConfig&) = delete;
  ClientConfig& operator=(const ClientConfig&) = delete;

 private:
  std::optional<std::string> saved_;
};

// The [global] section the test bed gives the client, and more lines.
std::string Global(const std::string& lines) {
  return "[global]\n  workgroup = LOMPTEST\n" + lines;
}

std::string SingleReport(const std::string& name, const std::string& outcome) {
  return "\nInitializing...\nEntering single message mode." + Report(name, outcome) + "\n";
}

class NameService : public lomp::testing::InboxSuite {
 protected:
  void SetUp() override {
    InboxSuite::SetUp();
    ClearInbox(FarInbox());
  }

  static std::string FarInbox() { return Env("LOMP_FAR_INBOX"); }
  static std::string FarAddr() { return Env("LOMP_FAR_ADDR"); }
  static std::string Wins() { return Env("LOMP_WINS_ADDR"); }
};

TEST_F(NameService, FarIsFoundThroughWins) {
  const ClientConfig config(Global("  wins server = " + Wins() + "\n"));
  const LompRun run = Lomp({"/vd", "FAR", "through wins"});
  EXPECT_EQ(run.output, SingleReport("FAR", "Sent."));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived("through wins", FarInbox()));
  EXPECT_NE(run.errors.find("wins: query FAR<03> to " + Wins() + " (try 1)"), std::string::npos);
  EXPECT_NE(run.errors.find("wins: " + Wins() + " says FAR<03> is at " + FarAddr()),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(run.errors.find("bcast: query"), std::string::npos);
}

TEST_F(NameService, FarIsFoundThroughLmhosts) {
  const ClientConfig config(Global(""), "# our routed hosts\n" + FarAddr() + "  FAR#03  #PRE\n");
  const LompRun run = Lomp({"/vd", "FAR", "through lmhosts"});
  EXPECT_EQ(run.output, SingleReport("FAR", "Sent."));
  EXPECT_TRUE(Arrived("through lmhosts", FarInbox()));
  EXPECT_NE(run.errors.find("lmhosts: FAR<03> is at " + FarAddr()), std::string::npos)
      << run.errors;
  EXPECT_EQ(run.errors.find("wins:"), std::string::npos);  // lmhosts comes first
}

// With `name resolve order = bcast` neither the WINS server nor lmhosts is
// asked, though both know FAR; PEER, on the client's subnet, is still found.
TEST_F(NameService, BroadcastOnlyOrderAsksNeitherWinsNorLmhosts) {
  const ClientConfig config(
      Global("  wins server = " + Wins() + "\n  name resolve order = bcast\n"),
      FarAddr() + " FAR#03\n");
  const LompRun far = Lomp({"/vd", "/t:1500", "FAR", "unreachable"});
  EXPECT_EQ(far.output, SingleReport("FAR", "Failed. Recipient not found"));
  EXPECT_EQ(far.exitCode, 4);
  EXPECT_NE(far.errors.find("bcast: query FAR<03>"), std::string::npos);
  EXPECT_EQ(far.errors.find("wins:"), std::string::npos);
  EXPECT_EQ(far.errors.find("lmhosts:"), std::string::npos);

  const LompRun peer = Lomp({"PEER", "by broadcast"});
  EXPECT_EQ(peer.exitCode, 0) << peer.output;
  EXPECT_TRUE(Arrived("by broadcast"));
}

// A WINS server that denies a name ends the lookup there: no broadcast goes
// out, and for about a second the name is not asked for again, however
// often the CALL is retried.
TEST_F(NameService, NameTheWinsServerDeniesIsNotFoundAtOnce) {
  std::mutex mutex;
  std::string trace;
  NbtSettings settings;
  settings.names.order = {ResolveMethod::Wins, ResolveMethod::Bcast};
  settings.names.winsServers = {Wins()};
  settings.trace = [&](const std::string& line) {
    const std::lock_guard lock(mutex);
    trace += line + "\n";
  };
  {
    NbtProvider provider(settings);
    InstallNetbiosProvider(&provider);
    ASSERT_EQ(NBReset(0, 250, 250), NRC_GOODRET);
    std::uint8_t number = 0;
    ASSERT_EQ(NBAddName(0, "LOMPCLIENT", 0x04, number), NRC_GOODRET);
    const auto call = [] {
      NCB ncb{};
      ncb.ncb_command = NCBCALL;
      ncb.ncb_lana_num = 0;
      NBFormatName(ncb.ncb_callname, "NOSUCHNAME", 0x03);
      NBFormatName(ncb.ncb_name, "LOMPCLIENT", 0x04);
      ncb.ncb_rto = ncb.ncb_sto = 2;
      return Netbios(&ncb);
    };
    const auto queries = [&] {
      const std::lock_guard lock(mutex);
      return Count(trace, ": query ");
    };
    EXPECT_EQ(call(), NRC_NOCALL);
    EXPECT_EQ(queries(), 1u);  // one WINS query, no broadcast
    EXPECT_EQ(call(), NRC_NOCALL);
    EXPECT_EQ(queries(), 1u);  // remembered
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(call(), NRC_NOCALL);
    EXPECT_EQ(queries(), 2u);  // forgotten after a second
    InstallNetbiosProvider(nullptr);
  }
  EXPECT_EQ(Count(trace, "says NOSUCHNAME<03> does not exist (RCODE 3)"), 2u) << trace;
  EXPECT_EQ(Count(trace, "bcast:"), 0u) << trace;

  // The whole program: retried for its whole time-out, but asked about once
  // a second (without the cache: three broadcasts every 100 ms retry).
  const ClientConfig config(Global("  wins server = " + Wins() + "\n"));
  const LompRun run = Lomp({"/vd", "/t:3000", "NOSUCHNAME", "nobody"});
  EXPECT_EQ(run.output, SingleReport("NOSUCHNAME", "Failed. Recipient not found"));
  const std::size_t asked = Count(run.errors, "wins: query NOSUCHNAME<03>");
  EXPECT_GE(asked, 1u);
  EXPECT_LE(asked, 4u) << run.errors;
  EXPECT_EQ(run.errors.find("bcast: query"), std::string::npos);
}

// A WINS server that never answers, first in the list, holds nothing up:
// the servers are asked at once and the live one answers. Once the dead
// one's two tries' time (2 s) has passed unanswered it is not asked again
// in the run. The report is the same one at a time and overlapping.
TEST_F(NameService, DeadWinsServerIsSkippedForTheRestOfTheRun) {
  const std::string dead = Env("LOMP_DEAD_WINS_ADDR");
  const ClientConfig config(Global("  wins server = " + dead + ", " + Wins() + "\n"));
  const std::string list = "FAR,NOSUCHNAME,NOSUCH2";
  const LompRun overlapping = Lomp({"/vd", "/t:3000", list, "past the dead one"});
  ASSERT_TRUE(Arrived("past the dead one", FarInbox()));
  ClearInbox(FarInbox());
  const LompRun run = Lomp({"/vd", "/j:1", "/t:3000", list, "past the dead one"});
  EXPECT_EQ(overlapping.output, run.output);
  EXPECT_EQ(run.output, "\nInitializing...\nEntering single message mode." +
                            Report("FAR", "Sent.") +
                            Report("NOSUCHNAME", "Failed. Recipient not found") +
                            Report("NOSUCH2", "Failed. Recipient not found") + "\n");
  EXPECT_TRUE(Arrived("past the dead one", FarInbox()));
  // The live server answered before the dead one's second try was due.
  EXPECT_EQ(Count(run.errors, "wins: query FAR<03> to " + dead), 1u) << run.errors;
  EXPECT_EQ(Count(run.errors, "wins: " + Wins() + " says FAR<03> is at " + FarAddr()), 1u);
  EXPECT_EQ(Count(run.errors, "wins: " + dead + " did not answer; not asked again in this run"),
            1u);
  EXPECT_EQ(Count(run.errors, "wins: query NOSUCH2<03> to " + dead), 0u);
  EXPECT_GE(Count(run.errors, "wins: query NOSUCH2<03> to " + Wins()), 1u);
}

// Three WINS servers that never answer, and eleven names on the local
// network: every message arrives, one at a time as sixteen at once. The
// silent servers never take the broadcast's share of a lookup's time, and
// what one lookup learns of them serves the others (with sixteen at once,
// eleven used to fail).
TEST_F(NameService, ThreeDeadWinsServersGiveTheSameReportAtAnyConcurrency) {
  const std::string dead = Env("LOMP_DEAD_WINS_ADDR");
  const std::string prefix = dead.substr(0, dead.rfind('.') + 1);
  const ClientConfig config(
      Global("  wins server = " + prefix + "97 " + prefix + "98 " + dead + "\n"));
  std::string list = Env("LOMP_PEER_NAME");
  std::istringstream aliases(Env("LOMP_PEER_ALIASES"));
  for (std::string alias; aliases >> alias;) list += "," + alias;
  std::string expected = "\nInitializing...";
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    expected += Report(list.substr(at, comma - at), "Sent.");
    at = comma + 1;
  }
  for (const char* jobs : {"/j:1", "/j:16"}) {
    SCOPED_TRACE(jobs);
    ClearInbox();
    const LompRun run = Lomp({jobs, list, "past three dead"});
    EXPECT_EQ(run.output, expected + "\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ArrivedTimes("past three dead", 11));
  }
}

// A WAIT FOR ACKNOWLEDGEMENT holds the lookup past the two tries' two
// seconds until the server's answer comes (after 2.5 s).
TEST_F(NameService, WaitForAcknowledgementExtendsTheWait) {
  ChildProcess wins(InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "wackwins", FarAddr()}));
  ASSERT_EQ(wins.ReadLine(5s), "ready");
  const ClientConfig config(Global("  wins server = " + Env("LOMP_SPARE_ADDR") + "\n"));
  const LompRun run = Lomp({"/vd", "/t:8000", "PATIENT", "worth the wait"});
  EXPECT_EQ(run.output, SingleReport("PATIENT", "Sent.")) << run.errors;
  EXPECT_TRUE(Arrived("worth the wait", FarInbox()));
  EXPECT_NE(run.errors.find("asks to wait 4 s for PATIENT<03>"), std::string::npos);
  EXPECT_EQ(Count(run.errors, "wins: query PATIENT<03>"), 1u);
}

// A recipient given by address is called by the Messenger name its node
// status lists: the computer's own <03>, not a user's, not the address.
TEST_F(NameService, AddressIsCalledByTheNodesOwnName) {
  ChildProcess node(
      InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "status", "139", "LABUSER#03", "LOMPSPARE#00",
                                         "LAB#00g", "LOMPSPARE#03", "LOMPSPARE#20"}));
  ASSERT_EQ(node.ReadLine(5s), "ready");
  const std::string spare = Env("LOMP_SPARE_ADDR");
  const LompRun run = Lomp({"/vd", spare, "by its name"});
  EXPECT_EQ(run.output, SingleReport(spare, "Sent."));
  EXPECT_EQ(node.ReadLine(5s), "called LOMPSPARE<03>");
  EXPECT_NE(run.errors.find("Node status: calling " + spare + " as LOMPSPARE<03>"),
            std::string::npos)
      << run.errors;

  // Samba beyond the router answers for FAR.
  const LompRun far = Lomp({"/vd", FarAddr(), "to FAR by address"});
  EXPECT_EQ(far.output, SingleReport(FarAddr(), "Sent."));
  EXPECT_TRUE(Arrived("to FAR by address", FarInbox()));
  EXPECT_NE(far.errors.find("Node status: calling " + FarAddr() + " as FAR<03>"), std::string::npos)
      << far.errors;
}

// The workgroup ("*") and this host's NetBIOS name (the sender smbd sees)
// come from a file the configuration includes.
TEST_F(NameService, WorkgroupAndNetbiosNameComeThroughAnInclude) {
  const ClientConfig config("[global]\n  include = " + kSiteConf + "\n  server string = x\n");
  WriteFile(kSiteConf, "[global]\n   Work Group = lompsite\n   netbios name = lompbox\n");
  ChildProcess receiver(InNamespace(Env("LOMP_NS_SPARE"),
                                    {NBT_TOOL, "mailslot", "MESSNGR", "LOMPSITE", "LOMPSPARE"}));
  ASSERT_EQ(receiver.ReadLine(5s), "ready");
  const LompRun group = Lomp({"*", "to the site"});
  EXPECT_EQ(group.exitCode, 0) << group.output;
  const auto datagram = receiver.ReadLine(5s);
  ASSERT_TRUE(datagram);
  std::string expected;
  for (const unsigned char c : std::string("LOMPBOX\0*\0to the site\0", 22)) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", c);
    expected += digits;
  }
  EXPECT_EQ(*datagram, expected);

  const LompRun personal = Lomp({"PEER", "from lompbox"});
  EXPECT_EQ(personal.exitCode, 0) << personal.output;
  ASSERT_TRUE(Arrived("from lompbox"));
  EXPECT_EQ(InboxMessages().front().fileName.rfind("msg-LOMPBOX-", 0), 0u)
      << InboxMessages().front().fileName;
}

// `interfaces` decides which interfaces lomp sends on, by name pattern or
// by network; one that names none leaves lomp without a network.
TEST_F(NameService, InterfacesChooseTheLanas) {
  const std::string client = Env("LOMP_CLIENT_ADDR");
  const std::string network = client.substr(0, client.rfind('.')) + ".0/24";
  {
    const ClientConfig config(Global("  interfaces = lo eth-*\n"));
    EXPECT_EQ(Lomp({"PEER", "by pattern"}).exitCode, 0);
  }
  {
    const ClientConfig config(Global("  interfaces = " + network + "\n"));
    EXPECT_EQ(Lomp({"PEER", "by network"}).exitCode, 0);
  }
  EXPECT_TRUE(Arrived("by pattern"));
  EXPECT_TRUE(Arrived("by network"));
  const ClientConfig config(Global("  interfaces = eth-none 10.255.255.0/24\n"));
  const LompRun personal = Lomp({"PEER", "nowhere"});
  EXPECT_EQ(personal.output,
            "\nInitializing..." + Report("PEER", "Failed. No network found") + "\n");
  const LompRun group = Lomp({"*", "nowhere"});
  EXPECT_EQ(group.output, "\nInitializing..." + Report("*", "Failed. Unknown error") + "\n");
}

}  // namespace
}  // namespace lomp
