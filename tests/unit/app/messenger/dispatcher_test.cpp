#include "app/messenger/dispatcher.h"

#include <gtest/gtest.h>

#include "netbios/name_port.h"
#include "netbios/ncb_commands.h"
#include "runtime/errors.h"
#include "smb/smb_pdu.h"
#include "support/scripted_mailslot.h"
#include "support/scripted_netbios.h"
#include "support/simulated_time.h"

namespace lomp {
namespace {

using namespace platform;
using lomp::testing::Bytes;
using lomp::testing::NameField;
using lomp::testing::ScriptedMailslot;
using lomp::testing::ScriptedNetbios;
using Peer = ScriptedNetbios::Peer;

// An SMB reply as a Messenger service sends it.
Bytes Reply(std::uint8_t command, std::uint8_t errorClass = 0, std::uint16_t errorCode = 0,
            std::optional<std::uint16_t> groupId = std::nullopt) {
  Bytes reply = {0xFF,
                 'S',
                 'M',
                 'B',
                 command,
                 errorClass,
                 0,
                 static_cast<std::uint8_t>(errorCode),
                 static_cast<std::uint8_t>(errorCode >> 8),
                 0x80};
  reply.resize(32, 0);
  if (groupId) {
    reply.insert(reply.end(), {1, static_cast<std::uint8_t>(*groupId),
                               static_cast<std::uint8_t>(*groupId >> 8)});
  } else {
    reply.push_back(0);
  }
  reply.insert(reply.end(), {0, 0});
  return reply;
}

// A well-behaved Messenger service that answers every command.
Peer Answering(std::size_t replies, std::uint16_t groupId = 0) {
  std::deque<Bytes> queue;
  queue.push_back(Reply(kSmbSendStartMbMessage, 0, 0, groupId));
  for (std::size_t i = 1; i < replies; ++i) queue.push_back(Reply(kSmbSendTextMbMessage));
  return Peer::Answering().Replying(std::move(queue));
}

struct Sent {
  std::uint8_t command;
  std::uint8_t wordCount;
  std::uint16_t word0;
  std::string text;  // of a text command
};

Sent Parse(const Bytes& bytes) {
  Sent sent{bytes[4], bytes[32], 0, ""};
  if (sent.wordCount > 0) sent.word0 = static_cast<std::uint16_t>(bytes[33] | bytes[34] << 8);
  if (sent.command == kSmbSendTextMbMessage && bytes.size() > 40) {
    sent.text.assign(bytes.begin() + 40, bytes.end());
  }
  return sent;
}

class DispatcherTest : public ::testing::Test {
 protected:
  // Retry pauses and time-outs pass in simulated time.
  const lomp::testing::SimulatedTime time_;

  std::unique_ptr<CNetbiosName> MakePort(std::uint8_t lana) {
    interfaces_.push_back(std::make_unique<KrNetbiosInterface>(lana));
    auto port = std::make_unique<CNetbiosName>("ALICE", std::vector<std::uint8_t>{0x04},
                                               *interfaces_.back());
    port->connectTimeoutMs = 500;
    port->sessionTimeoutMs = 500;
    port->SetSenderName("ALICE");
    port->Open();
    return port;
  }

  static MessageRecord Personal(const std::string& text, const std::string& to = "BOB") {
    MessageRecord record;
    record.kind = RecipientKind::Personal;
    record.recipient = to;
    record.sender = "ALICE";
    record.recipientName = to;
    record.text = text;
    return record;
  }

  std::vector<Sent> SentToBob() {
    std::vector<Sent> sent;
    for (const Bytes& bytes : netbios_.SentTo(NameField("BOB", 0x03))) sent.push_back(Parse(bytes));
    return sent;
  }

  void ExpectSentAgainAsMultiBlock(std::uint8_t ending);

  ScriptedNetbios netbios_;
  std::vector<std::unique_ptr<KrNetbiosInterface>> interfaces_;
};

TEST_F(DispatcherTest, PersonalTextsOfUpTo128CharactersGoAsOneBlock) {
  netbios_.AddPeer(NameField("BOB", 0x03), Peer::Answering().Replying({Reply(0xD0)}));
  auto port = MakePort(0);
  DeliverPersonal(Personal(std::string(128, 'a')), {port.get()});
  const auto sent = SentToBob();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].command, kSmbSendMessage);
  bool hungUp = false;
  EXPECT_EQ(netbios_.SessionsTo(NameField("BOB", 0x03), &hungUp), 1);
  EXPECT_TRUE(hungUp);
  EXPECT_EQ(port->stats.successes, 1.0);
}

TEST_F(DispatcherTest, LongerPersonalTextsGoInBlocksOf128) {
  netbios_.AddPeer(NameField("BOB", 0x03), Answering(4));
  auto port = MakePort(0);
  DeliverPersonal(Personal(std::string(129, 'b')), {port.get()});
  auto sent = SentToBob();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].text.size(), 128u);
  EXPECT_EQ(sent[2].text.size(), 1u);
  EXPECT_EQ(sent[3].command, kSmbSendEndMbMessage);
}

TEST_F(DispatcherTest, PersonalTextIsCutTo1600) {
  netbios_.AddPeer(NameField("BOB", 0x03), Answering(15));
  auto port = MakePort(0);
  DeliverPersonal(Personal(std::string(2000, 'c')), {port.get()});
  const auto sent = SentToBob();
  ASSERT_EQ(sent.size(), 15u);  // start, 13 text blocks, end
  std::size_t total = 0;
  for (std::size_t i = 1; i <= 13; ++i) {
    EXPECT_EQ(sent[i].command, kSmbSendTextMbMessage);
    total += sent[i].text.size();
  }
  EXPECT_EQ(sent[13].text.size(), 64u);
  EXPECT_EQ(total, 1600u);
}

TEST_F(DispatcherTest, GroupIdOfTheStartReplyGoesIntoEveryCommand) {
  netbios_.AddPeer(NameField("BOB", 0x03), Answering(5, 0x0007));
  auto port = MakePort(0);
  const std::string text = std::string(128, 'x') + std::string(128, 'y') + std::string(44, 'z');
  DeliverPersonal(Personal(text), {port.get()});
  const auto sent = SentToBob();
  ASSERT_EQ(sent.size(), 5u);  // five request/reply pairs for 300 characters
  EXPECT_EQ(sent[0].command, kSmbSendStartMbMessage);
  EXPECT_EQ(sent[0].wordCount, 0);
  EXPECT_EQ(sent[1].text, std::string(128, 'x'));
  EXPECT_EQ(sent[2].text, std::string(128, 'y'));
  EXPECT_EQ(sent[3].text, std::string(44, 'z'));
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(sent[i].wordCount, 1);
    EXPECT_EQ(sent[i].word0, 0x0007);
  }
}

TEST_F(DispatcherTest, StartReplyWithoutWordsMeansGroupIdZero) {
  netbios_.AddPeer(NameField("BOB", 0x03), Answering(4));
  auto port = MakePort(0);
  DeliverPersonal(Personal(std::string(200, 'q')), {port.get()});
  for (const Sent& sent : SentToBob()) {
    if (sent.command != kSmbSendStartMbMessage) {
      EXPECT_EQ(sent.wordCount, 1);
      EXPECT_EQ(sent.word0, 0);
    }
  }
}

// Like smbd, a receiver may end the session on a 0xD0 without a reply, by
// `ending` it (closing or resetting): the message goes again as
// multi-block, and through this port that receiver gets multi-block
// messages at once.
void DispatcherTest::ExpectSentAgainAsMultiBlock(std::uint8_t ending) {
  Peer peer = Answering(3, 0x0011);
  peer.ReceiveResults({ending});
  netbios_.AddPeer(NameField("BOB", 0x03), peer);
  auto port = MakePort(0);
  DeliverPersonal(Personal("hello"), {port.get()});
  const auto sent = SentToBob();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].command, kSmbSendMessage);
  EXPECT_EQ(sent[1].command, kSmbSendStartMbMessage);
  EXPECT_EQ(sent[2].text, "hello");
  EXPECT_EQ(sent[3].command, kSmbSendEndMbMessage);
  EXPECT_EQ(port->stats.successes, 1.0);
  bool hungUp = false;
  EXPECT_EQ(netbios_.SessionsTo(NameField("BOB", 0x03), &hungUp), 2);
  EXPECT_TRUE(hungUp);

  netbios_.AddPeer(NameField("BOB", 0x03), Answering(3));
  DeliverPersonal(Personal("again"), {port.get()});
  EXPECT_EQ(netbios_.SessionsTo(NameField("BOB", 0x03)), 3);
  EXPECT_EQ(SentToBob().back().command, kSmbSendEndMbMessage);
  EXPECT_EQ(SentToBob().size(), 4u + 3u);
}

// A single block whose reply is late went out; one whose RECEIVE failed
// here (no thread, no descriptor) is no evidence of anything: it fails and
// is not sent again as multi-block.
TEST_F(DispatcherTest, OnlyALateReplyLeavesASingleBlockSent) {
  Peer late = Peer::Answering();
  late.ReceiveResults({NRC_CMDTMO});
  netbios_.AddPeer(NameField("BOB", 0x03), late);
  auto port = MakePort(0);
  EXPECT_NO_THROW(DeliverPersonal(Personal("hello"), {port.get()}));
  EXPECT_EQ(port->stats.successes, 1.0);

  for (const std::uint8_t local : {NRC_OSRESNOTAV, NRC_SYSTEM, NRC_SNUMOUT}) {
    SCOPED_TRACE(unsigned{local});
    Peer broken = Peer::Answering();
    broken.ReceiveResults({local});
    netbios_.AddPeer(NameField("CAROL", 0x03), broken);
    EXPECT_THROW(DeliverPersonal(Personal("hello", "CAROL"), {port.get()}), KrDataTransmissionErr);
  }
  EXPECT_EQ(netbios_.SentTo(NameField("CAROL", 0x03)).size(), 3u);  // one block each
  EXPECT_EQ(port->stats.successes, 1.0);
}

TEST_F(DispatcherTest, SingleBlockRefusedByClosingGoesAgainAsMultiBlock) {
  ExpectSentAgainAsMultiBlock(NRC_SCLOSED);
}

TEST_F(DispatcherTest, SingleBlockRefusedByAResetGoesAgainAsMultiBlock) {
  ExpectSentAgainAsMultiBlock(NRC_SABORT);
}

TEST_F(DispatcherTest, SingleBlockWithoutAReplyInTimeCountsAsDelivered) {
  netbios_.AddPeer(NameField("BOB", 0x03), Peer::Answering());  // never answers
  auto port = MakePort(0);
  DeliverPersonal(Personal("hello"), {port.get()});
  EXPECT_EQ(SentToBob().size(), 1u);
  EXPECT_EQ(port->stats.successes, 1.0);
}

TEST_F(DispatcherTest, RefusalRepliesAreTransmissionErrors) {
  // Like smbd without a message command: class 1, code 0x47 to everything.
  netbios_.AddPeer(NameField("BOB", 0x03), Peer::Answering().Replying({Reply(0xD0, 1, 0x47)}));
  auto port = MakePort(0);
  try {
    DeliverPersonal(Personal("hello"), {port.get()});
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "SMB D0 refused, class 1, code 71");
  }
  EXPECT_EQ(SentToBob().size(), 1u) << "an answered single block is not sent again";

  netbios_.AddPeer(NameField("CAROL", 0x03), Peer::Answering().Replying({Reply(0xD5, 1, 0x47)}));
  EXPECT_THROW(DeliverPersonal(Personal(std::string(200, 'x'), "CAROL"), {port.get()}),
               KrDataTransmissionErr);
  bool hungUp = false;
  EXPECT_EQ(netbios_.SessionsTo(NameField("CAROL", 0x03), &hungUp), 1);
  EXPECT_TRUE(hungUp);
}

TEST_F(DispatcherTest, FailureInTheMiddleHangsUp) {
  Peer peer = Answering(5);
  peer.ReceiveResults({0, 0, NRC_SABORT});  // the second text block's reply fails
  netbios_.AddPeer(NameField("BOB", 0x03), peer);
  auto port = MakePort(0);
  try {
    DeliverPersonal(Personal(std::string(300, 'm')), {port.get()});
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "NBRecv 24");
  }
  bool hungUp = false;
  EXPECT_EQ(netbios_.SessionsTo(NameField("BOB", 0x03), &hungUp), 1);
  EXPECT_TRUE(hungUp);
  EXPECT_EQ(port->ConnectionCount(), 0u);
}

// Ports whose attempts end the way a test says, for ranking and precedence.
class FakePort : public CPort {
 public:
  enum class Result { Deliver, NoConnection, AddressNotFound, Transmission, Unknown };
  FakePort(std::string sender, Result outcome, std::string errorText = "")
      : result(outcome), text(std::move(errorText)) {
    SetSenderName(std::move(sender));
  }
  void Connect(std::string, CConnection*& connectionOut) override {
    ++attempts;
    switch (result) {
      case Result::Deliver: {
        auto* connection = new CConnection(this);
        AddConnection(connection);
        connectionOut = connection;
        return;
      }
      case Result::NoConnection: connectionOut = nullptr; return;
      case Result::AddressNotFound: throw KrAddrNotFoundErr("NBCallAsy3");
      case Result::Transmission: throw KrDataTransmissionErr(text);
      case Result::Unknown: throw KrUnknownNetworkErr("NBCallAsy3");
    }
  }
  void Disconnect(CConnection* connection) override { RemoveConnection(connection); }
  Result result;
  std::string text;
  int attempts = 0;
};
using Result = FakePort::Result;

TEST(Ranking, SenderNameAndFailureRateDecide) {
  FakePort other("SOMEONE", Result::Deliver);
  FakePort same("ALICE", Result::Deliver);
  FakePort failing("ALICE", Result::Deliver);
  failing.stats.failures = 1;
  FakePort even("ALICE", Result::Deliver);
  even.stats.failures = 1;
  even.stats.successes = 1;
  FakePort good("ALICE", Result::Deliver);
  good.stats.failures = 1;
  good.stats.successes = 2;
  const auto ranked = RankPorts("ALICE", {&other, &failing, &same, &even, &good});
  std::vector<std::pair<CPort*, int>> order;
  for (const RankedPort& r : ranked) order.emplace_back(r.port, r.priority);
  EXPECT_EQ(order, (std::vector<std::pair<CPort*, int>>{
                       {&same, 60}, {&good, 60}, {&failing, 50}, {&even, 50}, {&other, 10}}));
}

TEST(Ranking, UntriedPortComesBeforeOneThatFailed) {
  FakePort first("ALICE", Result::AddressNotFound);
  FakePort second("ALICE", Result::Deliver);
  const std::vector<CPort*> ports = {&first, &second};
  MessageRecord record;
  record.sender = "ALICE";
  record.recipient = "BOB";
  DeliverPersonal(record, ports);
  EXPECT_EQ(first.stats.failures, 1.0);
  EXPECT_EQ(second.stats.successes, 1.0);
  DeliverPersonal(record, ports);
  EXPECT_EQ(first.attempts, 1) << "the port that failed is tried after the untried one";
  EXPECT_EQ(second.attempts, 2);
}

TEST(Precedence, TransmissionThenAddressThenUnknown) {
  MessageRecord record;
  record.sender = "ALICE";
  auto expectError = [&](std::vector<CPort*> ports, const std::string& expected,
                         const std::string& text) {
    try {
      DeliverPersonal(record, ports);
      ADD_FAILURE() << "delivered";
    } catch (const KrDataTransmissionErr& error) {
      EXPECT_EQ("transmission", expected);
      EXPECT_EQ(error.text, text);
    } catch (const KrAddrNotFoundErr& error) {
      EXPECT_EQ("address", expected);
      EXPECT_EQ(error.text, "");
    } catch (const KrNoInterfaceAvailErr& error) {
      EXPECT_EQ("no interface", expected);
      EXPECT_EQ(error.text, "");
    } catch (const KrUnknownNetworkErr& error) {
      EXPECT_EQ("unknown", expected);
      EXPECT_EQ(error.text, "");
    }
  };
  // Fresh ports for every case: statistics would change the order.
  auto port = [](Result result, std::string text = "") {
    return std::make_unique<FakePort>("ALICE", result, std::move(text));
  };
  {
    auto a = port(Result::AddressNotFound), b = port(Result::Transmission, "NBRecv 24");
    expectError({a.get(), b.get()}, "transmission", "NBRecv 24");
  }
  {
    auto a = port(Result::Transmission, "NBRecv 24"), b = port(Result::AddressNotFound);
    expectError({a.get(), b.get()}, "transmission", "NBRecv 24");
  }
  {
    auto a = port(Result::Transmission, "NBRecv 24"), b = port(Result::Transmission, "NBSend 10");
    expectError({a.get(), b.get()}, "transmission", "NBSend 10");  // the last text stays
  }
  {
    auto a = port(Result::Unknown), b = port(Result::AddressNotFound);
    expectError({a.get(), b.get()}, "address", "");
  }
  {
    auto a = port(Result::Unknown), b = port(Result::NoConnection);
    expectError({a.get(), b.get()}, "unknown", "");
  }
  expectError({}, "no interface", "");
}

TEST(GroupDispatch, CutAndSplitFollowTheOptions) {
  struct Case {
    std::size_t length;
    GroupOptions options;
    std::vector<std::size_t> datagrams;  // text length of each
  };
  const std::vector<Case> cases = {
      {200, {128, false}, {128}},
      {200, {350, false}, {200}},
      {200, {128, true}, {128, 72}},
      {200, {350, true}, {200}},
      {400, {350, true}, {350, 50}},
      {128, {128, false}, {128}},
      {2000, {128, true}, {128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.length << " limit " << c.options.broadcastLimit
                                      << (c.options.fragmentBroadcasts ? " /p" : ""));
    ScriptedMailslot service;
    CMailslot port("MESSNGR");
    MessageRecord record;
    record.kind = RecipientKind::Group;
    record.recipient = "*";
    record.sender = "A";
    record.recipientName = "*";
    record.text = std::string(c.length, 'g');
    DeliverGroup(record, {&port}, c.options);
    std::vector<std::size_t> lengths;
    for (const auto& write : service.Writes())
      lengths.push_back(write.bytes.size() - 5);  // "A", "*" and three NULs
    EXPECT_EQ(lengths, c.datagrams);
  }
}

TEST(GroupDispatch, FailuresBecomeOneErrorWithoutText) {
  ScriptedMailslot service;
  service.refuseOpen = true;
  CMailslot port("MESSNGR");
  MessageRecord record;
  record.kind = RecipientKind::Group;
  record.recipient = "WORK";
  EXPECT_THROW(DeliverGroup(record, {&port}, {}), KrUnknownNetworkErr);
  EXPECT_THROW(DeliverGroup(record, {}, {}), KrNoInterfaceAvailErr);
  service.refuseOpen = false;
  service.failWritesAfter = 0;
  try {
    DeliverGroup(record, {&port}, {});
    FAIL();
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_EQ(error.text, "");
  }
}

}  // namespace
}  // namespace lomp
