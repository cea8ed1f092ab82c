#include "wire/nbt_wire.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/hex.h"
#include "support/name_service_peer.h"

namespace lomp::wire {
namespace {

using lomp::testing::Hex;
using lomp::testing::StatusAnswer;
constexpr auto Name = lomp::testing::NetbiosName;

// The worked examples of RFC 1002 packets for BOB<03> and ALICE<04>, written
// out by hand in the protocol notes: a NAME QUERY with id 0x1234, the
// positive answer from 192.168.1.20, and a SESSION REQUEST.
const Bytes kQuery = Hex(
    "12 34 01 10 00 01 00 00 00 00 00 00 20 45 43 45 50 45 43 43 41 43 41 43 41 43 41 43 41 43 41 "
    "43 41 43 41 43 41 43 41 43 41 43 41 41 44 00 00 20 00 01");
const Bytes kAnswer = Hex(
    "12 34 85 00 00 00 00 01 00 00 00 00 20 45 43 45 50 45 43 43 41 43 41 43 41 43 41 43 41 43 41 "
    "43 41 43 41 43 41 43 41 43 41 43 41 41 44 00 00 20 00 01 00 04 93 E0 00 06 00 00 C0 A8 01 14");
const Bytes kSessionRequest = Hex(
    "81 00 00 44 20 45 43 45 50 45 43 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 "
    "43 41 43 41 41 44 00 20 45 42 45 4D 45 4A 45 44 45 46 43 41 43 41 43 41 43 41 43 41 43 41 43 "
    "41 43 41 43 41 43 41 41 45 00");

std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

TEST(NbtWire, NameQueryMatchesTheWorkedExample) {
  EXPECT_EQ(BuildNameQuery(0x1234, Name("BOB", 0x03)), kQuery);
}

TEST(NbtWire, SessionRequestMatchesTheWorkedExample) {
  EXPECT_EQ(BuildSessionRequest(Name("BOB", 0x03), Name("ALICE", 0x04)), kSessionRequest);
  const auto names = ParseSessionRequest(std::span(kSessionRequest).subspan(4));
  ASSERT_TRUE(names);
  EXPECT_EQ(names->first, Name("BOB", 0x03));
  EXPECT_EQ(names->second, Name("ALICE", 0x04));
}

// The address a positive answer gives, nullopt for any other answer.
std::optional<std::uint32_t> ParseNameQueryResponse(std::span<const std::uint8_t> message,
                                                    std::uint16_t transactionId,
                                                    const Name16& name) {
  const NameQueryAnswer answer = ParseNameQueryAnswer(message, transactionId, name);
  if (answer.kind != NameQueryAnswer::Kind::Positive) return std::nullopt;
  return answer.address;
}

TEST(NbtWire, PositiveAnswerGivesTheAddress) {
  EXPECT_EQ(ParseNameQueryResponse(kAnswer, 0x1234, Name("BOB", 0x03)), Ip(192, 168, 1, 20));
}

TEST(NbtWire, AnswersThatDoNotFitAreIgnored) {
  EXPECT_FALSE(ParseNameQueryResponse(kAnswer, 0x1235, Name("BOB", 0x03)));  // other id
  EXPECT_FALSE(ParseNameQueryResponse(kAnswer, 0x1234, Name("BOB", 0x00)));  // other name
  EXPECT_FALSE(ParseNameQueryResponse(kQuery, 0x1234, Name("BOB", 0x03)));   // a request

  Bytes negative = kAnswer;
  negative[3] = 0x03;  // RCODE NAM_ERR
  EXPECT_FALSE(ParseNameQueryResponse(negative, 0x1234, Name("BOB", 0x03)));

  Bytes group = kAnswer;
  group[kAnswer.size() - 6] = 0x80;  // only a group entry
  EXPECT_FALSE(ParseNameQueryResponse(group, 0x1234, Name("BOB", 0x03)));

  Bytes oddLength = kAnswer;
  oddLength[kAnswer.size() - 7] = 0x07;  // RDLENGTH not a multiple of 6
  EXPECT_FALSE(ParseNameQueryResponse(oddLength, 0x1234, Name("BOB", 0x03)));

  Bytes longer = kAnswer;
  longer[kAnswer.size() - 7] = 0x0C;  // claims two entries, carries one
  EXPECT_FALSE(ParseNameQueryResponse(longer, 0x1234, Name("BOB", 0x03)));

  Bytes badLetter = kAnswer;
  badLetter[14] = 'Z';
  EXPECT_FALSE(ParseNameQueryResponse(badLetter, 0x1234, Name("BOB", 0x03)));
}

TEST(NbtWire, EveryTruncatedAnswerIsRefused) {
  for (std::size_t size = 0; size < kAnswer.size(); ++size) {
    EXPECT_FALSE(ParseNameQueryResponse(std::span(kAnswer.data(), size), 0x1234, Name("BOB", 0x03)))
        << size;
  }
}

TEST(NbtWire, AnswerNameMayBeAPointerButNotALoop) {
  // A question echoed at offset 12, and the answer's name as a pointer to it.
  Bytes answer(kAnswer.begin(), kAnswer.begin() + 12);
  answer[5] = 1;  // QDCOUNT 1
  answer.insert(answer.end(), kAnswer.begin() + 12, kAnswer.begin() + 46);
  answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x01});
  answer.insert(answer.end(), {0xC0, 0x0C});
  answer.insert(answer.end(), kAnswer.begin() + 46, kAnswer.end());
  EXPECT_EQ(ParseNameQueryResponse(answer, 0x1234, Name("BOB", 0x03)), Ip(192, 168, 1, 20));

  Bytes loop = answer;
  loop[12 + 34 + 4] = 0xC0;
  loop[12 + 34 + 5] = static_cast<std::uint8_t>(12 + 34 + 4);  // points at itself
  EXPECT_FALSE(ParseNameQueryResponse(loop, 0x1234, Name("BOB", 0x03)));
}

TEST(NbtWire, EncodedNamesWithScopeAreRead) {
  Bytes message;
  AppendEncodedName(message, Name("ALICE", 0x00));
  message.pop_back();
  message.insert(message.end(), {0x04, 'C', 'O', 'R', 'P', 0x00});
  std::size_t offset = 0;
  EXPECT_EQ(ReadEncodedName(message, offset), Name("ALICE", 0x00));
  EXPECT_EQ(offset, message.size());

  Bytes wrongLength = {0x1F};
  wrongLength.resize(40, 'A');
  offset = 0;
  EXPECT_FALSE(ReadEncodedName(wrongLength, offset));
}

TEST(NbtWire, FrameHeaders) {
  const std::uint8_t keepAlive[4] = {0x85, 0, 0, 0};
  EXPECT_EQ(ParseFrameHeader(keepAlive)->type, kKeepAlive);
  const std::uint8_t largest[4] = {0x00, 0x01, 0xFF, 0xFF};
  EXPECT_EQ(ParseFrameHeader(largest)->length, 0x1FFFFu);
  const std::uint8_t reserved[4] = {0x00, 0x80, 0x00, 0x01};
  EXPECT_FALSE(ParseFrameHeader(reserved));
  EXPECT_EQ(SessionMessageHeader(0x10005), (std::array<std::uint8_t, 4>{0x00, 0x01, 0x00, 0x05}));
  EXPECT_EQ(NegativeSessionResponse(0x82), (std::array<std::uint8_t, 5>{0x83, 0, 0, 1, 0x82}));
}

TEST(NbtWire, NameTextDropsThePadding) {
  EXPECT_EQ(NameText(Name("PEER", 0x03)), "PEER");
  EXPECT_EQ(NameText(Name("10.1.2.3", 0x03)), "10.1.2.3");
  Name16 zeros{};
  EXPECT_EQ(NameText(zeros), "");
}

// A name server's answers, as Samba's nmbd sends them: a negative answer
// carries its record although ANCOUNT may say 0; a WACK (opcode 7) carries
// the wait in its TTL.
TEST(NbtWire, NameServerAnswersAreToldApart) {
  const Name16 bob = Name("BOB", 0x03);
  Bytes query = BuildNameQuery(0x1234, bob, QueryMode::Unicast);
  EXPECT_EQ(query[2], 0x01);
  EXPECT_EQ(query[3], 0x00);  // recursion desired, not broadcast

  const NameQueryAnswer positive = ParseNameQueryAnswer(kAnswer, 0x1234, bob);
  EXPECT_EQ(positive.kind, NameQueryAnswer::Kind::Positive);
  EXPECT_EQ(positive.address, Ip(192, 168, 1, 20));

  Bytes negative(kAnswer.begin(), kAnswer.end() - 12);
  negative[3] = 0x83;  // RCODE NAM_ERR
  negative[7] = 0x00;  // ANCOUNT 0, the record still follows
  negative[46] = 0x00;
  negative[47] = 0x0A;                                  // type NULL
  negative.insert(negative.end(), {0, 0, 0, 0, 0, 0});  // TTL 0, RDLENGTH 0
  const NameQueryAnswer denied = ParseNameQueryAnswer(negative, 0x1234, bob);
  EXPECT_EQ(denied.kind, NameQueryAnswer::Kind::Negative);
  EXPECT_EQ(denied.rcode, 3);
  // About another name or transaction it says nothing.
  EXPECT_EQ(ParseNameQueryAnswer(negative, 0x1234, Name("EVE", 0x03)).kind,
            NameQueryAnswer::Kind::Unrelated);
  EXPECT_EQ(ParseNameQueryAnswer(negative, 0x4321, bob).kind, NameQueryAnswer::Kind::Unrelated);

  Bytes wack(kAnswer.begin(), kAnswer.end() - 12);
  wack[2] = 0xBC;  // response, opcode 7, AA
  wack[3] = 0x00;
  wack.insert(wack.end(), {0, 0, 0, 30, 0, 2, 0x01, 0x00});  // TTL 30 s, RDATA the flags
  const NameQueryAnswer wait = ParseNameQueryAnswer(wack, 0x1234, bob);
  EXPECT_EQ(wait.kind, NameQueryAnswer::Kind::Wait);
  EXPECT_EQ(wait.ttl, 30u);
}

TEST(NbtWire, NodeStatusRequestAndAnswer) {
  const Bytes request = BuildNodeStatusRequest(0x0102);
  ASSERT_EQ(request.size(), 50u);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 14),
            Hex("01 02 00 00 00 01 00 00 00 00 00 00 20 43"));  // '*' is CK
  EXPECT_EQ(Bytes(request.end() - 4, request.end()), Hex("00 21 00 01"));

  const std::vector<NodeStatusName> table = {{Name("FAR", 0x00), 0x0400},
                                             {Name("OFFICE", 0x00), 0x8400},
                                             {Name("FAR", 0x03), 0x0400},
                                             {Name("FAR", 0x20), 0x0400}};
  const Bytes answer = StatusAnswer(0x0102, table);
  const auto names = ParseNodeStatusResponse(answer, 0x0102);
  ASSERT_TRUE(names);
  ASSERT_EQ(names->size(), 4u);
  EXPECT_EQ((*names)[1].name, Name("OFFICE", 0x00));
  EXPECT_EQ((*names)[1].flags, 0x8400);
  EXPECT_FALSE(ParseNodeStatusResponse(answer, 0x0103));
  for (std::size_t size = 0; size < 12 + 34 + 10 + 1 + 4 * 18; ++size) {
    EXPECT_FALSE(ParseNodeStatusResponse(std::span(answer.data(), size), 0x0102)) << size;
  }
  // A name query answer is not a status answer.
  EXPECT_FALSE(ParseNodeStatusResponse(kAnswer, 0x1234));
}

TEST(NbtWire, MessengerNameIsTheComputersOwn) {
  // A user's <03> name registered before the computer's: the computer's wins.
  EXPECT_EQ(MessengerName({{Name("ADMIN", 0x03), 0x0400},
                           {Name("FAR", 0x00), 0x0400},
                           {Name("FAR", 0x03), 0x0400}}),
            Name("FAR", 0x03));
  // Without a matching <00>, the first unique <03>; groups never count.
  EXPECT_EQ(MessengerName({{Name("LAB", 0x03), 0x8400},
                           {Name("ADMIN", 0x03), 0x0400},
                           {Name("OTHER", 0x03), 0x0400},
                           {Name("LAB", 0x00), 0x8400}}),
            Name("ADMIN", 0x03));
  EXPECT_FALSE(MessengerName({{Name("FAR", 0x00), 0x0400}, {Name("FAR", 0x20), 0x0400}}));
  EXPECT_EQ(NameWithSuffix(Name("FAR", 0x03)), "FAR<03>");
  // Names from the network cannot steer a terminal through the trace.
  EXPECT_EQ(NameWithSuffix(Name("\x1B]0;x\x07\\", 0x03)), "\\x1B]0;x\\x07\\x5C<03>");
}

}  // namespace
}  // namespace lomp::wire
