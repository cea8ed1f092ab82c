#include "netbios/ncb_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/eventually.h"
#include "support/scripted_netbios.h"
#include "support/simulated_time.h"
#include "support/trace_capture.h"

namespace lomp {
namespace {

using namespace platform;
using lomp::testing::Eventually;
using lomp::testing::NameField;
using lomp::testing::ScriptedNetbios;
using lomp::testing::TraceCapture;
using Clock = std::chrono::steady_clock;

// A CALL from ME<04> to BOB<03> on LANA 2.
void FillCall(NCB& ncb) {
  ncb.ncb_command = NCBCALL;
  ncb.ncb_lana_num = 2;
  NBFormatName(ncb.ncb_callname, "BOB", 0x03);
  NBFormatName(ncb.ncb_name, "ME", 0x04);
}

class NBExecCmdTest : public ::testing::Test {
 protected:
  ScriptedNetbios netbios_;
};

TEST_F(NBExecCmdTest, UnansweredCallIsRetriedUntilTheTimeOut) {
  // Resubmitted every 100 ms until the time-out, in simulated time.
  const lomp::testing::SimulatedTime time;
  TraceCapture trace;
  NCB ncb;
  FillCall(ncb);
  const auto start = time.Now();
  EXPECT_EQ(NBExecCmd(ncb, 1000), NRC_NOCALL);
  EXPECT_EQ(time.Now() - start, std::chrono::milliseconds(1000));

  const auto starts = trace.Messages("Starting");
  ASSERT_GE(starts.size(), 5u);
  for (size_t tc = 0; tc < starts.size(); ++tc) {
    EXPECT_EQ(starts[tc], "Starting Netbios command..., tc=" + std::to_string(tc));
  }
  EXPECT_EQ(trace.Messages("Netbios returned").front(),
            "Netbios returned, command=144, retcode=20, lana=2, "
            "callname='BOB            <3>', srcname='ME             <4>'");
  const auto lines = trace.Messages();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "Entering...");
  EXPECT_EQ(lines.back(), "Leaving...");
  EXPECT_EQ(lines[lines.size() - 2],
            "Timer expired, command=144, retcode=20, lana=2, "
            "callname='BOB            <3>', srcname='ME             <4>'");
  // Every submission is the same NCB with the asynchronous bit.
  EXPECT_EQ(netbios_.Count(NCBCALL), static_cast<int>(starts.size()));
}

TEST_F(NBExecCmdTest, AtMost101Submissions) {
  const lomp::testing::SimulatedTime time;
  NCB ncb;
  FillCall(ncb);
  EXPECT_EQ(NBExecCmd(ncb, 60000), NRC_NOCALL);
  EXPECT_EQ(netbios_.Count(NCBCALL), 101);
}

TEST_F(NBExecCmdTest, PendingCommandIsCancelledAtTheTimeOut) {
  netbios_.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::NeverAnswering());
  TraceCapture trace;
  NCB ncb;
  FillCall(ncb);
  EXPECT_EQ(NBExecCmd(ncb, 0), NRC_CMDTMO);
  EXPECT_EQ(
      trace.Messages("Timer expired"),
      std::vector<std::string>{"Timer expired, command=144, retcode=255, lana=2, "
                               "callname='BOB            <3>', srcname='ME             <4>'"});
  EXPECT_EQ(ncb.ncb_retcode, NRC_CMDCAN);
  EXPECT_EQ(netbios_.PendingCount(), 0u);
}

TEST_F(NBExecCmdTest, SuccessOnTheFirstAttemptStillCancels) {
  netbios_.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::Answering());
  TraceCapture trace;
  NCB ncb;
  FillCall(ncb);
  // A completion that is already there wins over a timer that expired at once.
  EXPECT_EQ(NBExecCmd(ncb, 0), NRC_GOODRET);
  EXPECT_EQ(trace.Messages("Starting"),
            std::vector<std::string>{"Starting Netbios command..., tc=0"});
  EXPECT_EQ(trace.Messages("Netbios returned").size(), 1u);
  EXPECT_TRUE(trace.Messages("Timer expired").empty());
  EXPECT_NE(ncb.ncb_lsn, 0);

  const auto submissions = netbios_.Submissions();
  ASSERT_EQ(submissions.size(), 2u);
  EXPECT_EQ(submissions[0].command, NCBCALL | ASYNCH);
  EXPECT_TRUE(submissions[0].hasEvent);
  EXPECT_EQ(submissions[1].command, NCBCANCEL);
  EXPECT_EQ(submissions[1].lana, 2);
  EXPECT_EQ(submissions[1].target, &ncb);
  EXPECT_EQ(submissions[1].length, sizeof(NCB));
}

TEST_F(NBExecCmdTest, OtherFailuresAreNotRetried) {
  netbios_.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::Answering(NRC_SABORT));
  NCB ncb;
  FillCall(ncb);
  EXPECT_EQ(NBExecCmd(ncb, 5000), NRC_SABORT);
  EXPECT_EQ(netbios_.Count(NCBCALL), 1);
}

TEST(NBFormatName, PadsCutsAndPlacesTheSuffix) {
  std::uint8_t field[16];
  NBFormatName(field, "bob", 0x03);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 16), NameField("bob", 0x03));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 16),
            std::string("bob            \x03", 16));

  NBFormatName(field, "ABCDEFGHIJKLMNOPQRS", 0x2F);  // 19 bytes: the first 15 stay
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 16), "ABCDEFGHIJKLMNO\x2F");
  NBFormatName(field, "ABCDEFGHIJKLMNO", 0x04);  // exactly 15: no padding
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 16), "ABCDEFGHIJKLMNO\x04");
  NBFormatName(field, "", 0x00);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 16), std::string(15, ' ') + '\0');
}

TEST(NcbWrappers, CarryTheirCommandsThrough) {
  ScriptedNetbios netbios;
  netbios.lanas = {3, 7};
  netbios.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::Answering().Replying({{1, 2, 3}}));

  LANA_ENUM lanas;
  EXPECT_EQ(NBEnum(lanas), 0);
  EXPECT_EQ(lanas.length, 2);
  EXPECT_EQ(lanas.lana[1], 7);
  EXPECT_EQ(NBReset(3, 250, 250), 0);
  std::uint8_t number = 0;
  EXPECT_EQ(NBAddName(3, "ME", 0x04, number), 0);
  EXPECT_NE(number, 0);
  EXPECT_EQ(NBDelName(3, "ME", 0x04, number), 0);
  std::uint8_t lsn = 0;
  EXPECT_EQ(NBCallAsy3(3, "ME", 0x04, "BOB", 2, 10, lsn), 0);
  const std::uint8_t data[] = {9, 8, 7, 6};
  EXPECT_EQ(NBSend(3, 10, lsn, data, 4), 0);
  std::uint8_t received[16];
  std::uint32_t length = 0x10010;  // only the low 16 bits are a capacity
  EXPECT_EQ(NBRecv(3, 10, lsn, received, length), 0);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(NBHangup(3, lsn), 0);

  // The session and name counts RESET asks for travel in its name field;
  // the other fields show in what the commands did above and in the session
  // tests against a real provider.
  const auto reset = netbios.Submissions()[1];
  EXPECT_EQ(reset.command, NCBRESET);
  EXPECT_EQ(reset.callname.substr(0, 4), std::string("\xFA\x00\xFA\x00", 4));
  EXPECT_EQ(netbios.SentOn(lsn), (std::vector<testing::Bytes>{{9, 8, 7, 6}}));
}

TEST(NcbWrappers, AddNameReportsTheNumberWhateverTheResult) {
  ScriptedNetbios netbios;
  netbios.TakeName(0, NameField("ME", 0x04));
  std::uint8_t number = 99;
  EXPECT_EQ(NBAddName(0, "ME", 0x04, number), NRC_DUPNAME);
  EXPECT_EQ(number, 0);
}

TEST(NcbWrappers, ListenWaitsForACallerOrForItsEvent) {
  ScriptedNetbios netbios;
  Event event;
  std::uint8_t lsn = 0;
  std::string caller = "stale";
  std::uint8_t code = 0xEE;
  std::thread listener([&] { code = NBListenAsy3(1, "ME", 10, lsn, caller, event); });
  ASSERT_TRUE(Eventually("the LISTEN", [&] { return netbios.PendingCount() > 0; }));
  const auto listen = netbios.Submissions().front();
  EXPECT_EQ(listen.command, NCBLISTEN | ASYNCH);
  EXPECT_EQ(listen.callname, "*" + std::string(15, ' '));
  EXPECT_EQ(listen.name, NameField("ME", 0x03));
  EXPECT_EQ(listen.rto, 10);
  EXPECT_TRUE(netbios.ArriveCall(1));
  listener.join();
  EXPECT_EQ(code, NRC_GOODRET);
  EXPECT_NE(lsn, 0);
  EXPECT_EQ(caller, "");

  // Abandoned: the event is set from outside; the listen is cancelled.
  event.Reset();
  std::thread abandoned([&] { code = NBListenAsy3(1, "ME", 10, lsn, caller, event); });
  ASSERT_TRUE(Eventually("the LISTEN", [&] { return netbios.PendingCount() > 0; }));
  event.Set();
  abandoned.join();
  EXPECT_EQ(code, NRC_CMDCAN);
  EXPECT_EQ(netbios.PendingCount(), 0u);
}

TEST(Netbios, RefusesAnEventWithoutAsynchAndWorksWithoutAProvider) {
  NCB ncb;
  ncb.ncb_command = NCBHANGUP;
  Event event;
  ncb.ncb_event = &event;
  EXPECT_EQ(Netbios(&ncb), NRC_ILLCMD);

  ASSERT_EQ(InstalledNetbiosProvider(), nullptr);
  NCB async;
  async.ncb_command = NCBCALL | ASYNCH;
  async.ncb_event = &event;
  event.Reset();
  EXPECT_EQ(Netbios(&async), NRC_OPENERR);
  EXPECT_TRUE(event.IsSet());  // an immediate failure still completes the command
}

// A provider whose CALL completes in the moment between NBExecCmd's time-out
// and its CANCEL: the CANCEL then finds nothing to cancel.
class CompletesAtTheCancel : public NetbiosProvider {
 public:
  CompletesAtTheCancel() { InstallNetbiosProvider(this); }
  ~CompletesAtTheCancel() override { InstallNetbiosProvider(nullptr); }

  std::uint8_t Submit(NCB& ncb) override {
    if ((ncb.ncb_command & ~ASYNCH) == NCBCANCEL) {
      NCB& target = *reinterpret_cast<NCB*>(ncb.ncb_buffer);
      target.ncb_lsn = 7;
      target.ncb_retcode = NRC_GOODRET;
      target.ncb_cmd_cplt = NRC_GOODRET;
      target.ncb_event->Set();
      ncb.ncb_retcode = NRC_CANOCCR;
      return NRC_CANOCCR;
    }
    ncb.ncb_retcode = NRC_PENDING;
    ncb.ncb_event->Reset();
    return NRC_GOODRET;
  }
};

// The session such a CALL made is the caller's: NBExecCmd reports the
// completion, not the time-out, or nobody would ever hang the session up.
TEST(NBExecCmd, CompletionJustBeforeTheCancelStands) {
  CompletesAtTheCancel netbios;
  TraceCapture trace;
  NCB ncb;
  FillCall(ncb);
  EXPECT_EQ(NBExecCmd(ncb, 20), NRC_GOODRET);
  EXPECT_EQ(ncb.ncb_lsn, 7);
  EXPECT_EQ(trace.Messages("Timer expired").size(), 1u);
  EXPECT_EQ(trace.Messages("Completed before cancel").size(), 1u);
}

// A provider that runs every command on its caller's thread: each CALL
// takes 300 ms and finds nobody, or ends at its limit.
class RunsOnTheCaller : public NetbiosProvider {
 public:
  RunsOnTheCaller() { InstallNetbiosProvider(this); }
  ~RunsOnTheCaller() override { InstallNetbiosProvider(nullptr); }

  std::uint8_t Submit(NCB& ncb) override {
    ++submitted;
    ncb.ncb_retcode = NRC_ILLCMD;
    return NRC_ILLCMD;
  }
  bool RunWithin(NCB& ncb, std::chrono::milliseconds limit) override {
    limits.push_back(limit);
    EXPECT_EQ(ncb.ncb_command, NCBCALL);
    Sleep(std::min(limit, std::chrono::milliseconds(300)));
    ncb.ncb_retcode = limit > std::chrono::milliseconds(300) ? NRC_NOCALL : NRC_CMDTMO;
    return true;
  }

  int submitted = 0;
  std::vector<std::chrono::milliseconds> limits;
};

// Each try gets the time that is left of the whole time-out, and a command
// that ran on the caller's thread is complete: nothing is cancelled.
TEST(NBExecCmd, TriesOnTheCallersThreadGetTheTimeLeft) {
  const lomp::testing::SimulatedTime time;
  RunsOnTheCaller netbios;
  TraceCapture trace;
  NCB ncb;
  FillCall(ncb);
  const auto start = time.Now();
  EXPECT_EQ(NBExecCmd(ncb, 1000), NRC_CMDTMO);
  EXPECT_EQ(time.Now() - start, std::chrono::milliseconds(1000));
  using std::chrono::milliseconds;
  EXPECT_EQ(netbios.limits,
            (std::vector{milliseconds(1000), milliseconds(600), milliseconds(200)}));
  EXPECT_EQ(netbios.submitted, 0);
  EXPECT_EQ(trace.Messages("Starting").size(), 3u);
  EXPECT_EQ(trace.Messages("Timer expired").size(), 1u);
}

}  // namespace
}  // namespace lomp
