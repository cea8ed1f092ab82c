// The NetBIOS-over-TCP/IP provider against real peers: Samba's nmbd and smbd
// and the misbehaving peers of nbt_tool, in the namespaces of testbed.sh.
#include "platform/nbt/nbt_provider.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/messenger/messenger.h"
#include "netbios/name_port.h"
#include "netbios/ncb_commands.h"
#include "runtime/errors.h"
#include "smb/smb_pdu.h"
#include "support/child_process.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace lomp::wire;

using namespace platform;
using namespace platform::nbt;
using namespace std::chrono_literals;
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::InNamespace;
using Clock = std::chrono::steady_clock;

constexpr const char* kOwnName = "LOMPCLIENT";
constexpr std::uint8_t kOwnSuffix = 0x04;

class NbtInterop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lomp::testing::AssertInsideTestbed(); }

  void SetUp() override {
    NbtSettings settings;
    settings.trace = [this](const std::string& line) {
      if (line.find(": query ") != std::string::npos) ++queriesSent_;
    };
    provider_ = std::make_unique<NbtProvider>(settings);
    InstallNetbiosProvider(provider_.get());
    ASSERT_EQ(NBReset(0, 250, 250), NRC_GOODRET);
    std::uint8_t number = 0;
    ASSERT_EQ(NBAddName(0, kOwnName, kOwnSuffix, number), NRC_GOODRET);
  }

  void TearDown() override {
    InstallNetbiosProvider(nullptr);
    provider_.reset();
  }

  // Name queries the provider has sent, by WINS or broadcast.
  int NameQueriesSent() const { return queriesSent_; }

  std::uint8_t Call(const std::string& remote, std::uint8_t& lsn, std::uint8_t timeoutUnits = 10,
                    std::uint8_t sessionUnits = 2) {
    return NBCallAsy3(0, kOwnName, kOwnSuffix, remote, timeoutUnits, sessionUnits, lsn);
  }

  std::uint8_t SendText(std::uint8_t lsn, const std::string& text) {
    return NBSend(0, 4, lsn, reinterpret_cast<const std::uint8_t*>(text.data()),
                  static_cast<std::uint16_t>(text.size()));
  }

  std::uint8_t ReceiveText(std::uint8_t lsn, std::string& text, std::uint32_t capacity = 1024) {
    std::vector<std::uint8_t> buffer(capacity);
    std::uint32_t length = capacity;
    const std::uint8_t code = NBRecv(0, 20, lsn, buffer.data(), length);
    text.assign(reinterpret_cast<char*>(buffer.data()), std::min(length, capacity));
    return code;
  }

  // One of nbt_tool's peers on port 139 of the spare host.
  std::unique_ptr<ChildProcess> StartPeer(const std::string& mode) {
    auto peer = std::make_unique<ChildProcess>(
        InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "peer", mode, "139"}));
    EXPECT_EQ(peer->ReadLine(5s), "ready");
    return peer;
  }

  std::unique_ptr<NbtProvider> provider_;
  std::atomic<int> queriesSent_{0};
};

TEST_F(NbtInterop, EnumListsTheVethAndNotLoopback) {
  LANA_ENUM lanas;
  ASSERT_EQ(NBEnum(lanas), NRC_GOODRET);
  EXPECT_EQ(lanas.length, 1);
  EXPECT_EQ(lanas.lana[0], 0);
  const auto addresses = ListLanaAddresses();
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].interfaceName, "eth-c");
}

TEST_F(NbtInterop, NameHeldByAnotherProcessIsTakenUntilItEnds) {
  ChildProcess holder({NBT_TOOL, "hold", "ALICE", "4"});
  ASSERT_EQ(holder.ReadLine(5s), "code 0");

  std::uint8_t number = 0;
  EXPECT_EQ(NBAddName(0, "ALICE", 0x04, number), NRC_DUPNAME);
  KrNetbiosInterface lana(0);
  CNetbiosName port("alice", OwnNameSuffixes(), lana);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.nameSuffix, 0x05);

  holder.CloseInput();  // ends normally
  EXPECT_EQ(holder.Wait(5s), 0);
  EXPECT_EQ(NBAddName(0, "ALICE", 0x04, number), NRC_GOODRET);
  EXPECT_EQ(NBDelName(0, "ALICE", 0x04, number), NRC_GOODRET);

  ChildProcess killed({NBT_TOOL, "hold", "ALICE", "4"});
  ASSERT_EQ(killed.ReadLine(5s), "code 0");
  EXPECT_EQ(NBAddName(0, "ALICE", 0x04, number), NRC_DUPNAME);
  killed.Kill(SIGKILL);
  killed.Wait(5s);
  EXPECT_EQ(NBAddName(0, "ALICE", 0x04, number), NRC_GOODRET);
}

TEST_F(NbtInterop, CallFindsSambaByBroadcastAndRemembersIt) {
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call("PEER", lsn), NRC_GOODRET);
  EXPECT_NE(lsn, 0);
  const int queries = NameQueriesSent();
  EXPECT_GE(queries, 1);
  EXPECT_EQ(NBHangup(0, lsn), NRC_GOODRET);

  ASSERT_EQ(Call("PEER", lsn), NRC_GOODRET);
  EXPECT_EQ(NameQueriesSent(), queries) << "the second call must use the cache";
  EXPECT_EQ(NBHangup(0, lsn), NRC_GOODRET);
  EXPECT_EQ(NBHangup(0, lsn), NRC_SNUMOUT);
}

TEST_F(NbtInterop, CallByAddressNeedsNoQuery) {
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call(Env("LOMP_PEER_ADDR"), lsn), NRC_GOODRET);
  EXPECT_EQ(NameQueriesSent(), 0);
  NBHangup(0, lsn);
}

// The host's resolver (here its hosts file) knows computers: as in Samba it
// is asked for <00> and <20> names only, and before any broadcast.
TEST_F(NbtInterop, HostResolverIsAskedForComputerNamesOnly) {
  auto peer = StartPeer("pong");
  const auto call = [](std::uint8_t suffix) {
    NCB ncb{};
    ncb.ncb_command = NCBCALL;
    NBFormatName(ncb.ncb_callname, Env("LOMP_SPARE_HOST"), suffix);
    NBFormatName(ncb.ncb_name, kOwnName, kOwnSuffix);
    ncb.ncb_rto = ncb.ncb_sto = 2;
    const std::uint8_t code = Netbios(&ncb);
    if (code == NRC_GOODRET) NBHangup(0, ncb.ncb_lsn);
    return code;
  };
  EXPECT_EQ(call(0x20), NRC_GOODRET);
  EXPECT_EQ(NameQueriesSent(), 0);
  EXPECT_EQ(call(0x03), NRC_NOCALL);
  EXPECT_EQ(NameQueriesSent(), 3);  // only the broadcasts
}

TEST_F(NbtInterop, CallToNobodyTimesOutWithNoCall) {
  std::uint8_t lsn = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Call("NOBODYHOME", lsn, 4), NRC_NOCALL);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 2000ms);
  EXPECT_LT(elapsed, 3000ms);

  KrNetbiosInterface lana(0);
  CNetbiosName port(kOwnName, {kOwnSuffix}, lana);
  port.connectTimeoutMs = 1000;
  CConnection* connection = nullptr;
  EXPECT_THROW(port.Connect("nobodyhome", connection), KrAddrNotFoundErr);
  EXPECT_EQ(connection, nullptr);
}

TEST_F(NbtInterop, MultiBlockMessageReachesSmbd) {
  KrNetbiosInterface lana(0);
  CNetbiosName port(kOwnName, {kOwnSuffix}, lana);
  port.connectTimeoutMs = 5000;
  port.sessionTimeoutMs = 5000;
  CConnection* connection = nullptr;
  port.Connect("peer", connection);
  ASSERT_NE(connection, nullptr);

  CSmbPdu_sendstrt start;
  start.Reset();
  start.originator = kOwnName;
  start.destination = "PEER";
  connection->Send(start);
  connection->Receive(start);
  EXPECT_EQ(start.command, 0xD5);
  EXPECT_EQ(start.errorClass, 0);
  const std::uint16_t groupId = start.wordCount > 0 ? start.parameterWords[0] : 0;

  CSmbPdu_sendtxt text;
  text.Reset();
  text.wordCount = 1;
  text.parameterWords[0] = groupId;
  text.text = "hello from lomp";
  connection->Send(text);
  connection->Receive(text);
  EXPECT_EQ(text.command, 0xD7);
  EXPECT_EQ(text.errorClass, 0);

  CSmbPdu_sendend end;
  end.Reset();
  end.wordCount = 1;
  end.parameterWords[0] = groupId;
  connection->Send(end);
  connection->Receive(end);
  EXPECT_EQ(end.command, 0xD6);
  EXPECT_EQ(end.errorClass, 0);
  connection->Disconnect();

  // smbd runs its message command after the end of the message.
  std::string delivered;
  for (int i = 0; i < 100 && delivered.empty(); ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(Env("LOMP_INBOX"))) {
      std::ifstream file(entry.path());
      std::stringstream content;
      content << file.rdbuf();
      if (content.str().find("hello from lomp") != std::string::npos) delivered = content.str();
    }
    if (delivered.empty()) std::this_thread::sleep_for(50ms);
  }
  EXPECT_NE(delivered, "") << "no message in smbd's inbox";
}

TEST_F(NbtInterop, SmbdDropsASingleBlockOnAFreshSession) {
  // What Samba does with 0xD0 as the first request: it ends the session.
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call("PEER", lsn), NRC_GOODRET);
  CSmbPdu_sends single;
  single.Reset();
  single.originator = kOwnName;
  single.destination = "PEER";
  single.text = "lost";
  PduBuffer buffer;
  single.Encode(buffer);
  ASSERT_EQ(NBSend(0, 4, lsn, buffer.bytes, static_cast<std::uint16_t>(buffer.length)), 0);
  std::string reply;
  const std::uint8_t code = ReceiveText(lsn, reply);
  EXPECT_TRUE(code == NRC_SCLOSED || code == NRC_SABORT) << int{code};
  NBHangup(0, lsn);
}

TEST_F(NbtInterop, NegativeResponseAndRefusedConnectionAreNoCall) {
  std::uint8_t lsn = 0;
  {
    auto peer = StartPeer("negative");
    EXPECT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn, 1), NRC_NOCALL);
  }
  // Nobody listens on port 139 of the spare host now.
  EXPECT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn, 1), NRC_NOCALL);
}

TEST_F(NbtInterop, SessionEndsAsThePeerEndsIt) {
  struct Case {
    const char* mode;
    std::uint8_t code;
  };
  for (const Case& c : {Case{"close", NRC_SCLOSED}, Case{"reset", NRC_SABORT}}) {
    SCOPED_TRACE(c.mode);
    auto peer = StartPeer(c.mode);
    std::uint8_t lsn = 0;
    ASSERT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn), NRC_GOODRET);
    ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
    std::string reply;
    EXPECT_EQ(ReceiveText(lsn, reply), c.code);
    NBHangup(0, lsn);
  }
}

TEST_F(NbtInterop, LongReplyComesInPieces) {
  auto peer = StartPeer("big");
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn), NRC_GOODRET);
  ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
  std::string first;
  std::string rest;
  EXPECT_EQ(ReceiveText(lsn, first, 1024), NRC_INCOMP);
  EXPECT_EQ(first.size(), 1024u);
  EXPECT_EQ(ReceiveText(lsn, rest, 1024), NRC_GOODRET);
  EXPECT_EQ(rest, std::string(2000 - 1024, 'B'));
  NBHangup(0, lsn);
}

TEST_F(NbtInterop, SilentPeerEndsTheReceiveAtItsTimeOut) {
  auto peer = StartPeer("silent");
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn, 10, 1), NRC_GOODRET);  // ncb_rto 500 ms
  ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
  std::vector<std::uint8_t> buffer(64);
  std::uint32_t length = 64;
  const auto start = Clock::now();
  // The command's own time-out is longer: the session's rto ends it.
  EXPECT_EQ(NBRecv(0, 10, lsn, buffer.data(), length), NRC_CMDTMO);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 450ms);
  EXPECT_LT(elapsed, 2000ms);
  NBHangup(0, lsn);
}

// A keep-alive before the reply is skipped, and a RETARGET is followed once:
// either way the reply is the peer's "pong".
TEST_F(NbtInterop, KeepAliveAndRetargetLeadToTheReply) {
  for (const char* mode : {"keepalive", "retarget"}) {
    SCOPED_TRACE(mode);
    auto peer = StartPeer(mode);
    std::uint8_t lsn = 0;
    ASSERT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn), NRC_GOODRET);
    ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
    std::string reply;
    EXPECT_EQ(ReceiveText(lsn, reply), NRC_GOODRET);
    EXPECT_EQ(reply, "pong");
    NBHangup(0, lsn);
  }
}

// Submits `ncb` (filled but for its event) and, once it has stayed pending
// a while, cancels it: the cancel must end it at once.
void ExpectCancelledAtOnce(NCB& ncb) {
  Event event;
  ncb.ncb_command |= ASYNCH;
  ncb.ncb_event = &event;
  Netbios(&ncb);
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(ncb.ncb_retcode, NRC_PENDING);
  const auto start = Clock::now();
  EXPECT_EQ(NBCancel(0, ncb), NRC_GOODRET);
  EXPECT_LT(Clock::now() - start, 100ms);
  EXPECT_EQ(ncb.ncb_retcode, NRC_CMDCAN);
  EXPECT_TRUE(event.IsSet());
}

TEST_F(NbtInterop, CancelEndsPendingCallAndReceiveAtOnce) {
  auto mute = StartPeer("mute");
  NCB call;
  call.ncb_command = NCBCALL;
  NBFormatName(call.ncb_callname, Env("LOMP_SPARE_ADDR"), 0x03);
  NBFormatName(call.ncb_name, kOwnName, kOwnSuffix);
  ExpectCancelledAtOnce(call);
  mute.reset();

  auto silent = StartPeer("silent");
  std::uint8_t lsn = 0;
  ASSERT_EQ(Call(Env("LOMP_SPARE_ADDR"), lsn), NRC_GOODRET);
  NCB receive;
  std::uint8_t buffer[64];
  receive.ncb_command = NCBRECV;
  receive.ncb_lsn = lsn;
  receive.ncb_buffer = buffer;
  receive.ncb_length = sizeof buffer;
  ExpectCancelledAtOnce(receive);
  // Nothing arrived mid-message, so the session is still usable.
  ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
  NBHangup(0, lsn);
}

TEST_F(NbtInterop, ListenAcceptsACallFromAnotherHost) {
  ChildProcess listener(InNamespace(Env("LOMP_NS_SPARE"), {NBT_TOOL, "listen", "LOMPSPARE"}));
  ASSERT_EQ(listener.ReadLine(5s), "listening");
  // Our own provider registers names without telling the network, so the
  // caller learns where LOMPSPARE is from its lmhosts file.
  const std::string lmhosts = "/etc/samba/lmhosts";
  std::ofstream(lmhosts) << Env("LOMP_SPARE_ADDR") << " LOMPSPARE#03\n";
  std::uint8_t lsn = 0;
  // NetBIOS names are compared byte for byte: the called name is upper case.
  const std::uint8_t called = Call("LOMPSPARE", lsn);
  std::filesystem::remove(lmhosts);
  ASSERT_EQ(called, NRC_GOODRET);
  EXPECT_EQ(listener.ReadLine(5s), "listen 0");
  ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
  std::string reply;
  ASSERT_EQ(ReceiveText(lsn, reply), NRC_GOODRET);
  EXPECT_EQ(reply, "echo:ping");
  ASSERT_EQ(SendText(lsn, "again"), NRC_GOODRET);
  ASSERT_EQ(ReceiveText(lsn, reply), NRC_GOODRET);
  EXPECT_EQ(reply, "echo:again");
  EXPECT_EQ(NBHangup(0, lsn), NRC_GOODRET);
  EXPECT_EQ(listener.ReadLine(5s), "receive 10");  // the other side sees the close
  EXPECT_EQ(listener.Wait(5s), 0);
}

}  // namespace
}  // namespace lomp
