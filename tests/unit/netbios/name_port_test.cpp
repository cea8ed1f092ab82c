#include "netbios/name_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/messenger/messenger.h"
#include "netbios/ncb_commands.h"
#include "runtime/errors.h"
#include "smb/smb_pdu.h"
#include "support/eventually.h"
#include "support/scripted_netbios.h"
#include "support/simulated_time.h"
#include "support/trace_capture.h"

namespace lomp {
namespace {

using namespace platform;
using lomp::testing::Bytes;
using lomp::testing::Eventually;
using lomp::testing::NameField;
using lomp::testing::ScriptedNetbios;
using lomp::testing::TraceCapture;

class NamePortTest : public ::testing::Test {
 protected:
  // Retry pauses and time-outs pass in simulated time.
  const lomp::testing::SimulatedTime time_;

  ScriptedNetbios netbios_;
  KrNetbiosInterface interface_{1};
};

TEST_F(NamePortTest, RegistersTheUpperCasedNameUnderTheFirstFreeSuffix) {
  netbios_.TakeName(1, NameField("ALICE", 0x04));
  netbios_.TakeName(1, NameField("ALICE", 0x05), NRC_INUSE);
  CNetbiosName port("alice", OwnNameSuffixes(), interface_);
  EXPECT_EQ(port.netbiosName, "ALICE");
  EXPECT_EQ(port.nameSuffix, 0x04);

  TraceCapture trace;
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(port.isOpen);
  EXPECT_EQ(port.nameSuffix, 0x06);
  EXPECT_EQ(trace.Messages(), (std::vector<std::string>{
                                  "Entering...",
                                  "Registering msg name, lana=1, name='ALICE<4>'",
                                  "Reg result: 13",
                                  "Registering msg name, lana=1, name='ALICE<5>'",
                                  "Reg result: 22",
                                  "Registering msg name, lana=1, name='ALICE<6>'",
                                  "Reg result: 0",
                                  "Leaving...",
                              }));
  EXPECT_EQ(trace.Lines().front(), "Open\tEntering...");
  EXPECT_EQ(netbios_.RegisteredNames(1).count(NameField("ALICE", 0x06)), 1u);
  EXPECT_EQ(port.nameNumber, netbios_.RegisteredNames(1)[NameField("ALICE", 0x06)]);
  // The first command deletes the Messenger name of an earlier registration.
  EXPECT_EQ(netbios_.Submissions().front().command, NCBDELNAME);
  EXPECT_EQ(netbios_.Submissions().front().name, NameField("ALICE", 0x03));
}

TEST_F(NamePortTest, EveryCandidateTakenLeavesThePortClosed) {
  for (std::uint8_t suffix : OwnNameSuffixes()) netbios_.TakeName(1, NameField("BOB", suffix));
  CNetbiosName port("bob", OwnNameSuffixes(), interface_);
  TraceCapture trace;
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.nameSuffix, 0x2F);
  const auto messages = trace.Messages();
  EXPECT_EQ(messages[messages.size() - 2], "Reg result: 13");
  EXPECT_EQ(netbios_.Count(NCBADDNAME), 44);
}

// A burst of runs with one sender may hold every suffix of its name: the
// sender looks again until its time-out, and tells "all taken" from any
// other failure, which ends at once.
TEST_F(NamePortTest, SenderNameWaitsForAFreeSuffixWithinTheTimeOut) {
  for (std::uint8_t suffix : OwnNameSuffixes()) netbios_.TakeName(1, NameField("BOB", suffix));
  CNetbiosName port("bob", OwnNameSuffixes(), interface_);
  const auto start = time_.Now();
  EXPECT_FALSE(OpenSenderName(port, 1000));
  EXPECT_TRUE(port.everyNameTaken);
  EXPECT_GE(time_.Now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(netbios_.Count(NCBADDNAME), 44 * 21);  // at 0, 50, ..., 1000 ms

  netbios_.addNameCode = NRC_NAMTFUL;
  CNetbiosName full("carol", OwnNameSuffixes(), interface_);
  EXPECT_FALSE(OpenSenderName(full, 1000));
  EXPECT_FALSE(full.everyNameTaken);
  EXPECT_EQ(netbios_.Count(NCBADDNAME), 44 * 21 + 1);
}

TEST_F(NamePortTest, OtherAddNameFailureStopsAtOnce) {
  netbios_.addNameCode = NRC_NAMTFUL;
  CNetbiosName port("bob", OwnNameSuffixes(), interface_);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.nameSuffix, 0x04);
  EXPECT_EQ(netbios_.Count(NCBADDNAME), 1);

  CNetbiosName empty("bob", {}, interface_);
  EXPECT_EQ(empty.nameSuffix, 0);
  EXPECT_FALSE(empty.Open());
  EXPECT_EQ(netbios_.Count(NCBADDNAME), 1);
}

TEST_F(NamePortTest, LongNamesAreLoggedWholeAndRegisteredCut) {
  CNetbiosName port("averyveryverylongname", {0x04}, interface_);
  TraceCapture trace;
  port.Open();
  EXPECT_EQ(trace.Messages("Registering").front(),
            "Registering msg name, lana=1, name='AVERYVERYVERYLONGNAME<4>'");
  EXPECT_EQ(netbios_.RegisteredNames(1).begin()->first, "AVERYVERYVERYLO\x04");
}

TEST_F(NamePortTest, AccentedNamesGoOutUpperCasedInOem) {
  CNetbiosName port("jos\xE9", {0x04}, interface_);  // "josé" in Windows-1252
  EXPECT_EQ(port.netbiosName, "JOS\x90");
  netbios_.AddPeer(NameField("REN\x90", 0x03), ScriptedNetbios::Peer::Answering());
  CConnection* connection = nullptr;
  port.Connect("ren\xE9", connection);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(static_cast<CNetbiosConnection*>(connection)->remoteAddress, "REN\x90");
  connection->Disconnect();
}

TEST_F(NamePortTest, ConnectMapsCallFailuresToErrors) {
  CNetbiosName port("me", {0x04}, interface_);
  port.connectTimeoutMs = 500;
  CConnection* untouched = reinterpret_cast<CConnection*>(0x1);

  try {  // nobody holds the name: retried until the time-out
    port.Connect("nobody", untouched);
    FAIL();
  } catch (const KrAddrNotFoundErr& error) {
    EXPECT_EQ(error.text, "NBCallAsy3");
  }
  netbios_.AddPeer(NameField("SLOW", 0x03), ScriptedNetbios::Peer::NeverAnswering());
  EXPECT_THROW(port.Connect("slow", untouched), KrAddrNotFoundErr);  // 0x05
  netbios_.AddPeer(NameField("BROKEN", 0x03), ScriptedNetbios::Peer::Answering(NRC_SABORT));
  try {
    port.Connect("broken", untouched);
    FAIL();
  } catch (const KrUnknownNetworkErr& error) {
    EXPECT_EQ(error.text, "NBCallAsy3");
  }
  EXPECT_EQ(untouched, reinterpret_cast<CConnection*>(0x1));
  EXPECT_EQ(port.ConnectionCount(), 0u);
}

TEST_F(NamePortTest, TimeOutsGoInUnitsOf500Ms) {
  netbios_.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::Answering());
  CNetbiosName port("me", {0x04}, interface_);
  port.connectTimeoutMs = 1999;
  port.sessionTimeoutMs = 5000;
  CConnection* connection = nullptr;
  port.Connect("bob", connection);
  const auto call = netbios_.Submissions().front();
  EXPECT_EQ(call.rto, 10);
  EXPECT_EQ(call.sto, 10);
  EXPECT_EQ(call.name, NameField("ME", 0x04));
  EXPECT_EQ(call.callname, NameField("BOB", 0x03));
  connection->Disconnect();

  // A pending call gives up after 1500 ms, not 1999.
  netbios_.AddPeer(NameField("SLOW", 0x03), ScriptedNetbios::Peer::NeverAnswering());
  const auto start = time_.Now();
  EXPECT_THROW(port.Connect("slow", connection), KrAddrNotFoundErr);
  EXPECT_EQ(time_.Now() - start, std::chrono::milliseconds(1500));
}

TEST_F(NamePortTest, SessionCarriesPdusAndHangsUp) {
  Bytes reply = {0xFF, 'S', 'M', 'B', 0xD5};
  reply.resize(32);
  reply.insert(reply.end(), {0x01, 0x07, 0x00, 0x00, 0x00});
  netbios_.AddPeer(NameField("BOB", 0x03), ScriptedNetbios::Peer::Answering().Replying({reply}));
  CNetbiosName port("me", {0x04}, interface_);
  port.sessionTimeoutMs = 5000;
  CConnection* connection = nullptr;
  port.Connect("bob", connection);
  ASSERT_TRUE(port.HasConnection(connection));
  const std::uint8_t lsn = static_cast<CNetbiosConnection*>(connection)->lsn;

  CSmbPdu_sendstrt start;
  start.Reset();
  start.originator = "ME";
  start.destination = "BOB";
  TraceCapture trace;
  connection->Send(start);
  connection->Receive(start);
  EXPECT_EQ(start.parameterWords[0], 7);
  ASSERT_EQ(netbios_.SentOn(lsn).size(), 1u);
  EXPECT_EQ(netbios_.SentOn(lsn)[0].size(), 35u + 9);
  EXPECT_EQ(trace.Messages("NB"), (std::vector<std::string>{"NBSend returned, retcode=0, lana=1",
                                                            "NBRecv returned, retcode=0, lana=1"}));

  connection->Disconnect();
  EXPECT_TRUE(netbios_.HungUp(lsn));
  EXPECT_EQ(port.ConnectionCount(), 0u);
}

TEST_F(NamePortTest, TransmissionFailuresCarryTheCode) {
  netbios_.AddPeer(NameField("DEAF", 0x03),
                   ScriptedNetbios::Peer::Answering().FailingSend(NRC_SABORT));
  netbios_.AddPeer(NameField("BIG", 0x03),
                   ScriptedNetbios::Peer::Answering().Replying({Bytes(1500, 0xAB)}));
  netbios_.AddPeer(NameField("GONE", 0x03),
                   ScriptedNetbios::Peer::Answering().FailingReceive(NRC_SCLOSED));
  CNetbiosName port("me", {0x04}, interface_);
  port.sessionTimeoutMs = 5000;

  CConnection* deaf = nullptr;
  port.Connect("deaf", deaf);
  PduBuffer buffer;
  buffer.AppendByte(1);
  TraceCapture trace;
  try {
    deaf->Write(buffer);
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "NBSend 24");
  }
  const auto lines = trace.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Write\tLeaving..."), 0);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Write\tNBSend returned, retcode=24, lana=1"),
            1);
  EXPECT_TRUE(port.HasConnection(deaf));  // stays until Disconnect
  deaf->Disconnect();

  CConnection* big = nullptr;
  port.Connect("big", big);
  PduBuffer received;
  try {
    big->Read(received);
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "NBRecv 6");
  }
  EXPECT_EQ(received.length, 1024);
  big->Disconnect();

  CConnection* gone = nullptr;
  port.Connect("gone", gone);
  try {
    gone->Read(received);
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "NBRecv 10");
  }
  gone->Disconnect();
}

TEST_F(NamePortTest, ReceiveTimesOutWhenNoReplyComes) {
  netbios_.AddPeer(NameField("MUTE", 0x03), ScriptedNetbios::Peer::Answering());
  CNetbiosName port("me", {0x04}, interface_);
  port.sessionTimeoutMs = 500;
  CConnection* connection = nullptr;
  port.Connect("mute", connection);
  PduBuffer buffer;
  try {
    connection->Read(buffer);
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "NBRecv 5");
  }
  EXPECT_EQ(netbios_.PendingCount(), 0u);
  connection->Disconnect();
}

class RecordingListener : public ConnectionListener {
 public:
  void OnConnection(CConnection* connection, int value) override {
    last = connection;
    lastValue = value;
    ++count;
  }
  std::atomic<CConnection*> last{nullptr};
  std::atomic<int> lastValue{-1};
  std::atomic<int> count{0};
};

TEST_F(NamePortTest, ListeningSideAcceptsACallAndStopWakesIt) {
  CNetbiosName port("me", {0x04}, interface_);
  RecordingListener listener;
  port.listener = &listener;
  port.Start();
  // The worker opens the port and listens.
  ASSERT_TRUE(Eventually("the worker's LISTEN", [&] { return netbios_.PendingCount() > 0; }));
  EXPECT_TRUE(port.isOpen);
  EXPECT_TRUE(netbios_.ArriveCall(1));
  ASSERT_TRUE(Eventually("the listener to get the call", [&] { return listener.count > 0; }));
  EXPECT_EQ(listener.lastValue, 0);
  EXPECT_TRUE(port.HasConnection(listener.last));
  EXPECT_EQ(static_cast<CNetbiosConnection*>(listener.last.load())->remoteAddress, "");

  // The worker listens again; Stop wakes it and no connection is made.
  ASSERT_TRUE(Eventually("the next LISTEN", [&] { return netbios_.PendingCount() > 0; }));
  port.Stop();
  EXPECT_EQ(listener.count, 1);
  EXPECT_EQ(port.ConnectionCount(), 1u);
  EXPECT_EQ(netbios_.PendingCount(), 0u);
  EXPECT_FALSE(port.isOpen);  // Run ends with Close
  EXPECT_EQ(netbios_.Submissions().back().command, NCBDELNAME);
}

// A LISTEN that fails because NetBIOS itself failed closes the port, so the
// worker registers the name again; one that was cancelled or timed out
// leaves the port listening.
TEST_F(NamePortTest, ListenEnvironmentErrorClosesThePort) {
  // Whether an open port is still open after a LISTEN that ends with `code`.
  const auto openAfterListen = [&](std::uint8_t code) {
    netbios_.listenCode = code;
    CNetbiosName port("me", {0x04}, interface_);
    port.isOpen = true;
    port.Listen();
    return port.isOpen.load();
  };
  for (const std::uint8_t code : {NRC_NORES, NRC_NAMTFUL, NRC_SYSTEM, NRC_OPENERR}) {
    EXPECT_FALSE(openAfterListen(code)) << "code " << unsigned{code};
  }
  for (const std::uint8_t code : {NRC_CMDCAN, NRC_CMDTMO, NRC_SCLOSED, NRC_NOCALL}) {
    EXPECT_TRUE(openAfterListen(code)) << "code " << unsigned{code};
  }
  // Without a provider the LISTEN fails at once with NRC_OPENERR.
  InstallNetbiosProvider(nullptr);
  EXPECT_FALSE(openAfterListen(NRC_GOODRET));
  InstallNetbiosProvider(&netbios_);
}

}  // namespace
}  // namespace lomp
