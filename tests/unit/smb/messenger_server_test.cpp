#include "smb/messenger_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/text_conversion.h"
#include "smb/smb_pdu.h"
#include "support/hex.h"

namespace lomp {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Hex;

// A request: header with `command` (and MID 0x1234, to see it echoed), the
// parameter words and the data bytes, as a sender writes them.
PduBuffer Request(std::uint8_t command, const Bytes& words, const Bytes& data) {
  Bytes bytes{0xFF, 'S', 'M', 'B', command};
  bytes.resize(32, 0x00);
  bytes[30] = 0x34;
  bytes[31] = 0x12;
  bytes.push_back(static_cast<std::uint8_t>(words.size() / 2));
  bytes.insert(bytes.end(), words.begin(), words.end());
  bytes.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  bytes.insert(bytes.end(), data.begin(), data.end());
  PduBuffer buffer;
  buffer.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  return buffer;
}

Bytes Names(const std::string& from, const std::string& to) {
  Bytes data{0x04};
  data.insert(data.end(), from.begin(), from.end());
  data.push_back(0x00);
  data.push_back(0x04);
  data.insert(data.end(), to.begin(), to.end());
  data.push_back(0x00);
  return data;
}

Bytes Block(const std::string& text) {
  Bytes data{0x01, static_cast<std::uint8_t>(text.size() & 0xFF),
             static_cast<std::uint8_t>(text.size() >> 8)};
  data.insert(data.end(), text.begin(), text.end());
  return data;
}

Bytes Concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

struct ReplyFields {
  std::uint8_t command;
  std::uint8_t errorClass;
  std::uint16_t code;
  bool isReply;
  std::uint16_t multiplexId;
  Bytes words;
  int byteCount;
};

ReplyFields Fields(const PduBuffer& reply) {
  EXPECT_GE(reply.length, 35);
  const std::uint8_t* b = reply.bytes;
  ReplyFields fields{b[4],
                     b[5],
                     static_cast<std::uint16_t>(b[7] | b[8] << 8),
                     (b[9] & 0x80) != 0,
                     static_cast<std::uint16_t>(b[30] | b[31] << 8),
                     {},
                     0};
  const int wordCount = b[32];
  fields.words.assign(b + 33, b + 33 + 2 * wordCount);
  fields.byteCount = b[33 + 2 * wordCount] | b[34 + 2 * wordCount] << 8;
  EXPECT_EQ(reply.length, 35 + 2 * wordCount + fields.byteCount);
  return fields;
}

MessengerServerSession Session(std::size_t maxText = 4096) {
  return MessengerServerSession([](const std::string& to) { return to == "BOB" || to == "bob"; },
                                maxText, 7);
}

TEST(MessengerServer, TakesTheWorkedSingleBlockExample) {
  // 0xD0 from A to B with the text "hi", data bytes as written out by hand.
  auto session = MessengerServerSession([](const std::string& to) { return to == "B"; }, 4096, 1);
  const auto step = session.Handle(Request(0xD0, {}, Hex("04 41 00 04 42 00 01 02 00 68 69")));
  ASSERT_TRUE(step.message);
  EXPECT_EQ(step.message->from, "A");
  EXPECT_EQ(step.message->to, "B");
  EXPECT_EQ(step.message->text, "hi");
  EXPECT_FALSE(step.message->cut);
  const ReplyFields reply = Fields(step.reply);
  EXPECT_EQ(reply.command, 0xD0);
  EXPECT_EQ(reply.errorClass, 0);
  EXPECT_TRUE(reply.isReply);
  EXPECT_EQ(reply.multiplexId, 0x1234);
  EXPECT_TRUE(reply.words.empty());
  EXPECT_EQ(reply.byteCount, 0);
}

TEST(MessengerServer, BuildsAMultiBlockMessageAsSambaSendsIt) {
  // smbclient -M: LF becomes CR LF, 127-byte blocks, group id from the
  // start's reply.
  auto session = Session();
  const auto start = session.Handle(Request(0xD5, {}, Names("ALICE", "BOB")));
  EXPECT_FALSE(start.message);
  EXPECT_EQ(Fields(start.reply).words, (Bytes{7, 0}));
  std::string original;
  for (int line = 0; original.size() < 1600; ++line) {
    original += "line " + std::to_string(line) + " \x82t\xE9\n";  // OEM e-acute in the middle
  }
  original.resize(1600);
  std::string wire;
  for (const char c : original) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (std::size_t at = 0; at < wire.size(); at += 127) {
    const auto step = session.Handle(Request(0xD7, {7, 0}, Block(wire.substr(at, 127))));
    EXPECT_FALSE(step.message);
    EXPECT_EQ(Fields(step.reply).errorClass, 0);
  }
  EXPECT_TRUE(session.InMessage());
  const auto end = session.Handle(Request(0xD6, {7, 0}, {}));
  ASSERT_TRUE(end.message);
  EXPECT_EQ(Fields(end.reply).errorClass, 0);
  EXPECT_FALSE(session.InMessage());
  std::string expected = original;
  FromOem(expected);
  EXPECT_EQ(end.message->text, expected);
  EXPECT_EQ(end.message->from, "ALICE");
}

TEST(MessengerServer, LineBreaksOfEverySenderBecomeLineFeeds) {
  auto session = Session();
  const auto step = session.Handle(Request(0xD0, {},
                                           Concat(Names("W", "BOB"), Block("a\x14"
                                                                           "b\r\nc\rd\n"))));
  ASSERT_TRUE(step.message);
  EXPECT_EQ(step.message->text, "a\nb\nc\nd\n");
}

TEST(MessengerServer, ATextOverTheLimitIsCutAndSaysSo) {
  auto session = Session(10);
  session.Handle(Request(0xD5, {}, Names("A", "BOB")));
  session.Handle(Request(0xD7, {7, 0}, Block("123456")));
  session.Handle(Request(0xD7, {7, 0}, Block("789012")));
  const auto end = session.Handle(Request(0xD6, {7, 0}, {}));
  ASSERT_TRUE(end.message);
  EXPECT_EQ(end.message->text, "1234567890");
  EXPECT_TRUE(end.message->cut);
}

TEST(MessengerServer, RefusesWhatIsOutOfOrderMalformedOrNotOurs) {
  struct Case {
    const char* what;
    std::vector<PduBuffer> before;
    PduBuffer request;
    std::uint16_t code;
  };
  const PduBuffer start = Request(0xD5, {}, Names("A", "BOB"));
  const std::vector<Case> cases = {
      {"text without a start", {}, Request(0xD7, {7, 0}, Block("x")), kErrorGeneral},
      {"end without a start", {}, Request(0xD6, {7, 0}, {}), kErrorGeneral},
      {"a second start", {start}, start, kErrorGeneral},
      {"a destination not ours",
       {},
       Request(0xD0, {}, Concat(Names("A", "EVE"), Block("x"))),
       kErrorNotReceiving},
      {"a start to a name not ours", {}, Request(0xD5, {}, Names("A", "EVE")), kErrorNotReceiving},
      {"an unknown command", {}, Request(0xA2, {}, {}), kErrorUnknownCommand},
      {"a wrong format byte",
       {},
       Request(0xD0, {}, Hex("02 41 00 04 42 4F 42 00 01 01 00 78")),
       kErrorGeneral},
      {"a text block longer than its data",
       {},
       Request(0xD0, {}, Concat(Names("A", "BOB"), Hex("01 FF 00 78"))),
       kErrorGeneral},
      {"words on a single block",
       {},
       Request(0xD0, {1, 0}, Concat(Names("A", "BOB"), Block("x"))),
       kErrorGeneral},
      {"a name without its NUL", {}, Request(0xD5, {}, Hex("04 41 00 04 42 4F 42")), kErrorGeneral},
      {"a name too long",
       {},
       Request(0xD5, {}, Names(std::string(200, 'A'), "BOB")),
       kErrorGeneral},
      {"bytes after the end", {start}, Request(0xD6, {7, 0}, Hex("00")), kErrorGeneral},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto session = Session();
    for (const PduBuffer& request : c.before) session.Handle(request);
    const auto step = session.Handle(c.request);
    EXPECT_FALSE(step.message);
    const ReplyFields reply = Fields(step.reply);
    EXPECT_EQ(reply.errorClass, kErrorClassServer);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.command, c.request.bytes[4]);
    EXPECT_TRUE(reply.isReply);
  }
}

TEST(MessengerServer, EveryCutOfAGoodRequestIsRefusedNeverTaken) {
  const PduBuffer whole = Request(0xD0, {}, Concat(Names("ALICE", "BOB"), Block("hello")));
  for (std::int32_t length = 0; length < whole.length; ++length) {
    SCOPED_TRACE(length);
    PduBuffer cut;
    cut.Append(whole.bytes, length);
    auto session = Session();
    const auto step = session.Handle(cut);
    EXPECT_FALSE(step.message);
    EXPECT_EQ(Fields(step.reply).errorClass, kErrorClassServer);
  }
  // A byte count one larger than what came, and a word count that runs off.
  for (const std::int32_t at : {33, 32}) {
    PduBuffer corrupt = whole;
    corrupt.bytes[at] = static_cast<std::uint8_t>(corrupt.bytes[at] + 1);
    auto session = Session();
    EXPECT_FALSE(session.Handle(corrupt).message);
  }
}

TEST(MessengerServer, OffersTheCoreDialectToASenderThatNegotiates) {
  auto session = Session();
  const Bytes dialects =
      Concat(Concat(Hex("02"), Bytes{'N', 'T', ' ', 'L', 'M', ' ', '0', '.', '1', '2', 0x00}),
             Concat(Hex("02"), Bytes{'P', 'C', ' ', 'N', 'E', 'T', 'W', 'O', 'R', 'K', ' ', 'P',
                                     'R', 'O', 'G', 'R', 'A', 'M', ' ', '1', '.', '0', 0x00}));
  EXPECT_EQ(Fields(session.Handle(Request(0x72, {}, dialects)).reply).words, (Bytes{1, 0}));
  const Bytes noCore = Concat(Hex("02"), Bytes{'X', 0x00});
  EXPECT_EQ(Fields(session.Handle(Request(0x72, {}, noCore)).reply).words, (Bytes{0xFF, 0xFF}));
  // A negotiation changes nothing for what follows.
  EXPECT_TRUE(session.Handle(Request(0xD0, {}, Concat(Names("A", "BOB"), Block("x")))).message);
}

}  // namespace
}  // namespace lomp
