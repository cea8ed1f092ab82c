// lomp against peers that misbehave: each run ends within the time-outs it
// was given, reports every recipient with the right words and exits with the
// right code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "inbox.h"
#include "platform/mailslot.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace lomp::wire;

using namespace std::chrono_literals;
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::InNamespace;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;

const std::string kLong(300, 'L');  // goes as a multi-block exchange

// Runs lomp on `text` to `to` and checks its one report line, its exit code
// and that it ended within `limit`.
void ExpectOutcome(const std::string& to, const std::string& text, const std::string& outcome,
                   int exitCode, std::chrono::seconds limit) {
  const LompRun run = Lomp({to, text});
  EXPECT_EQ(run.output, "\nInitializing..." + Report(to, outcome) + "\n");
  EXPECT_EQ(run.exitCode, exitCode);
  EXPECT_LT(run.took, limit);
}

class HostilePeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lomp::testing::AssertInsideTestbed(); }

  // nbt_tool's peer `mode` on port 139 of the spare host, for this test.
  // The peer before it is stopped first: two would race for the port.
  void StartPeer(const std::string& mode) {
    peer_.reset();
    peer_ = std::make_unique<ChildProcess>(
        InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "peer", mode, "139"}));
    ASSERT_EQ(peer_->ReadLine(5s), "ready");
  }

  std::string Spare() { return Env("LOMP_SPARE_ADDR"); }
  std::unique_ptr<ChildProcess> peer_;
};

TEST_F(HostilePeer, BaselineMessengerTakesBothForms) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("smb"));
  EXPECT_EQ(Lomp({Spare(), "short"}).exitCode, 0);
  EXPECT_EQ(Lomp({Spare(), kLong}).exitCode, 0);
}

TEST_F(HostilePeer, GarbageAfterTheSessionResponse) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("garbage"));
  for (const std::string& text : {std::string("short"), kLong}) {
    ExpectOutcome(Spare(), text, "Failed. Data transmission error", 4, 3s);
  }
}

TEST_F(HostilePeer, HugeLengthThenSilenceEndsAtTheSessionTimeOut) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("stall"));
  // A single block whose reply never completes still went out.
  ExpectOutcome(Spare(), "short", "Sent.", 0, 8s);
  // A multi-block exchange needs its replies.
  ExpectOutcome(Spare(), kLong, "Failed. Data transmission error", 4, 8s);
}

TEST_F(HostilePeer, TrickleIsCutAtTheSessionTimeOut) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("trickle"));
  ExpectOutcome(Spare(), kLong, "Failed. Data transmission error", 4, 8s);
}

TEST_F(HostilePeer, ResetAtEveryStepOfAMultiBlockExchange) {
  // 300 characters: start, three text blocks, end.
  for (int step = 0; step < 5; ++step) {
    SCOPED_TRACE(step);
    ASSERT_NO_FATAL_FAILURE(StartPeer("reset" + std::to_string(step)));
    ExpectOutcome(Spare(), kLong, "Failed. Data transmission error", 4, 3s);
  }
}

// Nothing listens on the spare host's port 139: the trace of /vd says which
// call failed, with what error, at which address, and the code it became.
TEST_F(HostilePeer, RefusedConnectionIsTracedWithItsErrorAndAddress) {
  const LompRun run = Lomp({"/t:1000", "/vd", Spare(), "hi"});
  EXPECT_EQ(run.output, "\nInitializing...\nEntering single message mode." +
                            Report(Spare(), "Failed. Recipient not found") + "\n");
  EXPECT_NE(run.errors.find("Call: " + Spare() + "<03> at " + Spare() +
                            ":139: connect: Connection refused (errno 111); NCB code 0x14"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(run.exitCode, 4);
}

TEST_F(HostilePeer, KeepAliveFloodIsSkipped) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("flood"));
  ExpectOutcome(Spare(), kLong, "Sent.", 0, 8s);
}

TEST_F(HostilePeer, BatchReportsEveryRecipientWhateverThePeer) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("reset1"));
  const std::string file = "/tmp/lomp-hostile-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    out << Spare() << " " << kLong << "\nPEER fine\nNOBODY lost\n"
        << Spare() << ","
        << "PEER again\n";
  }
  const LompRun run = Lomp({"/t:500", "/f:" + file});
  EXPECT_EQ(run.output, "\nInitializing..." + Report(Spare(), "Failed. Data transmission error") +
                            Report("PEER", "Sent.") +
                            Report("NOBODY", "Failed. Recipient not found") +
                            Report(Spare(), "Sent.") + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(run.exitCode, 4);
  std::remove(file.c_str());
}

TEST_F(HostilePeer, MalformedNameAnswersAreIgnored) {
  ChildProcess liar(InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "badnames"}));
  ASSERT_EQ(liar.ReadLine(5s), "ready");
  const LompRun nobody = Lomp({"/t:1000", "NOBODY", "hi"});
  EXPECT_EQ(nobody.output,
            "\nInitializing..." + Report("NOBODY", "Failed. Recipient not found") + "\n");
  EXPECT_EQ(nobody.exitCode, 4);
  EXPECT_LT(nobody.took, 4s);
  // The real owner's answer still wins among the lies.
  const LompRun peer = Lomp({"PEER", "through the noise"});
  EXPECT_EQ(peer.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(peer.exitCode, 0);
}

// A peer that stalls a multi-block exchange among three good recipients:
// the good ones are delivered while it stalls, their lines wait below its
// own, and the run ends at its time-out. All are named by address (one
// named by name might be the staller, and would wait for it).
TEST_F(HostilePeer, AStallingRecipientDelaysOnlyItsOwnLine) {
  lomp::testing::ClearInbox();
  ASSERT_NO_FATAL_FAILURE(StartPeer("stall"));
  const std::string peer = Env("LOMP_PEER_ADDR");
  const auto start = std::chrono::steady_clock::now();
  LompRun run;
  std::thread lomp([&] { run = Lomp({Spare() + "," + peer + "," + peer + "," + peer, kLong}); });
  const bool arrived = lomp::testing::ArrivedTimes(kLong, 3);
  const auto arrivedAfter = std::chrono::steady_clock::now() - start;
  lomp.join();
  EXPECT_TRUE(arrived);
  EXPECT_LT(arrivedAfter, 2500ms);
  EXPECT_GT(run.took, 4500ms);  // the stalling peer's own time-out
  EXPECT_EQ(run.output, "\nInitializing..." + Report(Spare(), "Failed. Data transmission error") +
                            Report(peer, "Sent.") + Report(peer, "Sent.") + Report(peer, "Sent.") +
                            "\n");
  EXPECT_EQ(run.exitCode, 4);
}

// Lines the peer printed within `wait`.
std::vector<std::string> LinesOf(ChildProcess& process, std::chrono::milliseconds wait) {
  std::vector<std::string> lines;
  while (auto line = process.ReadLine(wait)) lines.push_back(*line);
  return lines;
}

// A peer that answers a SESSION REQUEST only after 2.6 s, with a 2 s
// time-out: every CALL to it is cut at its time-out, and no late answer may
// complete a later command (a message for another recipient to this peer).
TEST_F(HostilePeer, SlowSessionAnswerIsNeverTakenForALaterCommand) {
  ASSERT_NO_FATAL_FAILURE(StartPeer("slow"));
  const std::string absent = Env("LOMP_ABSENT_HOST");
  const std::string file = "/tmp/lomp-slow-" + std::to_string(getpid());
  {
    std::ofstream out(file);
    out << Spare() << " one\n"
        << Spare() << " two\n"
        << Spare() << " three\n"
        << absent << " for nobody\n";
  }
  const LompRun run = Lomp({"/t:2000", "/f:" + file});
  std::remove(file.c_str());
  const std::string notFound = "Failed. Recipient not found";
  EXPECT_EQ(run.output, "\nInitializing..." + Report(Spare(), notFound) +
                            Report(Spare(), notFound) + Report(Spare(), notFound) +
                            Report(absent, notFound) + "\n");
  EXPECT_EQ(run.exitCode, 4);
  for (const std::string& line : LinesOf(*peer_, 3000ms)) {
    EXPECT_EQ(line.find("message"), std::string::npos) << line;
  }
}

// A name answer or a RETARGET that points at this machine's loopback is not
// followed, however a local service there would answer.
TEST_F(HostilePeer, AnswersPointingAtLoopbackAreRefused) {
  ChildProcess local(InNamespace(Env("LOMP_NS_CLIENT"), {NBT_TOOL, "peer", "smb", "139"}));
  ASSERT_EQ(local.ReadLine(5s), "ready");
  ChildProcess localRetargeted(
      InNamespace(Env("LOMP_NS_CLIENT"), {NBT_TOOL, "peer", "smb", "2139"}));
  ASSERT_EQ(localRetargeted.ReadLine(5s), "ready");

  {
    ChildProcess liar(InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "loopnames"}));
    ASSERT_EQ(liar.ReadLine(5s), "ready");
    const LompRun run = Lomp({"/t:1000", "/vd", "FAKENAME", "hi"});
    EXPECT_EQ(run.output, "\nInitializing...\nEntering single message mode." +
                              Report("FAKENAME", "Failed. Recipient not found") + "\n");
    EXPECT_NE(run.errors.find("Name answer refused: FAKENAME is not at 127.0.0.1"),
              std::string::npos);
    EXPECT_EQ(run.exitCode, 4);
  }
  ASSERT_NO_FATAL_FAILURE(StartPeer("retargetlocal"));
  const LompRun run = Lomp({"/t:1000", "/vd", Spare(), "hi"});
  EXPECT_EQ(run.output, "\nInitializing...\nEntering single message mode." +
                            Report(Spare(), "Failed. Recipient not found") + "\n");
  EXPECT_NE(run.errors.find("RETARGET refused: 127.0.0.1"), std::string::npos);
  EXPECT_EQ(run.exitCode, 4);

  EXPECT_TRUE(LinesOf(local, 200ms).empty());
  EXPECT_TRUE(LinesOf(localRetargeted, 200ms).empty());
}

TEST_F(HostilePeer, BrokenDatagramsNeverReachTheMailslot) {
  platform::nbt::UdpMailslotSettings settings;
  settings.workgroup = Env("LOMP_WORKGROUP");
  settings.computerName = "LOMPCLIENT";
  platform::nbt::UdpMailslotService service(settings);
  platform::InstallMailslotService(&service);
  const auto handle = platform::CreateMailslot("\\\\.\\MAILSLOT\\MESSNGR", 400);
  ASSERT_NE(handle, platform::kInvalidMailslotHandle);

  ChildProcess sender(
      InNamespace(Env("LOMP_NS_SPARE"),
                  {NBT_TOOL, "baddatagrams", Env("LOMP_CLIENT_ADDR"), Env("LOMP_WORKGROUP")}));
  ASSERT_EQ(sender.ReadLine(5s), "sent");
  std::vector<std::string> received;
  for (int i = 0; i < 50; ++i) {
    std::uint32_t nextSize = 0;
    std::uint32_t count = 0;
    ASSERT_TRUE(platform::GetMailslotInfo(handle, nextSize, count));
    for (; count > 0; --count) {
      std::uint8_t message[400];
      std::uint32_t read = 0;
      ASSERT_TRUE(platform::ReadMailslot(handle, message, sizeof message, read));
      received.emplace_back(reinterpret_cast<char*>(message), read);
    }
    if (!received.empty()) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(received, std::vector<std::string>{std::string("ROGUE\0GROUP\0good\0", 17)});
  platform::CloseMailslot(handle);
  platform::InstallMailslotService(nullptr);
}

}  // namespace
}  // namespace lomp
