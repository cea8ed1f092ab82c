#include "wire/name_service_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "support/hex.h"

namespace lomp::wire {
namespace {

using lomp::testing::Hex;

Name16 Name(const std::string& text, std::uint8_t suffix) {
  Name16 name{};
  name.fill(' ');
  std::copy(text.begin(), text.end(), name.begin());
  name[15] = suffix;
  return name;
}

// ALICE<03> in the second-level form: 0x20, 32 letters, 0x00.
const std::string kAlice =
    "20 45 42 45 4D 45 4a 45 44 45 46 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 "
    "41 44 00";

TEST(NameServiceWire, RegistrationIsTheBroadcastFormOfABNode) {
  // Written out by hand from the layout of a B-node's broadcast NAME
  // REGISTRATION REQUEST: opcode 5 with RD and B, one question, one
  // additional record pointing back at it, TTL 300000 s, a unique name.
  const Bytes expected = Hex("12 34 29 10 00 01 00 00 00 00 00 01 " + kAlice +
                             " 00 20 00 01 C0 0C 00 20 00 01 00 04 93 E0 00 06 00 00 0A 00 00 01");
  const std::uint32_t address = htonl(0x0A000001);
  EXPECT_EQ(BuildNameRegistration(0x1234, Name("ALICE", 0x03), address, 300000,
                                  RegistrationMode::Broadcast),
            expected);
  // The overwrite demand drops RD; the release is opcode 6 with a TTL of 0.
  Bytes overwrite = expected;
  overwrite[2] = 0x28;
  EXPECT_EQ(BuildNameRegistration(0x1234, Name("ALICE", 0x03), address, 300000,
                                  RegistrationMode::Overwrite),
            overwrite);
  // To a WINS server: RD without B, as an H-node (NB_FLAGS 0x6000); its
  // refresh is opcode 8 without RD.
  Bytes unicast = expected;
  unicast[3] = 0x00;
  unicast[unicast.size() - 6] = 0x60;
  EXPECT_EQ(BuildNameRegistration(0x1234, Name("ALICE", 0x03), address, 300000,
                                  RegistrationMode::Unicast),
            unicast);
  Bytes refresh = unicast;
  refresh[2] = 0x40;
  EXPECT_EQ(BuildNameRegistration(0x1234, Name("ALICE", 0x03), address, 300000,
                                  RegistrationMode::Refresh),
            refresh);
  const auto released = ParseNameRequest(BuildNameRelease(7, Name("ALICE", 0x03), address, true));
  ASSERT_TRUE(released);
  EXPECT_EQ(released->kind, NameRequest::Kind::Release);
  EXPECT_EQ(released->address, address);
  EXPECT_TRUE(released->broadcast);
}

TEST(NameServiceWire, RequestsOfOtherNodesAreToldApart) {
  const auto query = ParseNameRequest(BuildNameQuery(0x0102, Name("BOB", 0x03)));
  ASSERT_TRUE(query);
  EXPECT_EQ(query->kind, NameRequest::Kind::Query);
  EXPECT_EQ(query->transactionId, 0x0102);
  EXPECT_TRUE(query->broadcast);
  EXPECT_EQ(query->name, Name("BOB", 0x03));
  const auto unicast = ParseNameRequest(BuildNameQuery(9, Name("BOB", 0x03), QueryMode::Unicast));
  ASSERT_TRUE(unicast);
  EXPECT_FALSE(unicast->broadcast);
  const auto status = ParseNameRequest(BuildNodeStatusRequest(0x0203));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, NameRequest::Kind::Status);
  const auto registration = ParseNameRequest(BuildNameRegistration(
      5, Name("EVE", 0x03), htonl(0x0A000002), 300, RegistrationMode::Broadcast));
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->kind, NameRequest::Kind::Registration);
  EXPECT_EQ(registration->address, htonl(0x0A000002));
  // Answers are not requests.
  EXPECT_FALSE(ParseNameRequest(BuildPositiveQueryResponse(1, Name("BOB", 0x03), 1, 300)));
}

TEST(NameServiceWire, EveryCutOfARegistrationIsRefused) {
  const Bytes whole = BuildNameRegistration(5, Name("EVE", 0x03), htonl(0x0A000002), 300,
                                            RegistrationMode::Broadcast);
  for (std::size_t length = 0; length < whole.size(); ++length) {
    EXPECT_FALSE(ParseNameRequest(std::span(whole.data(), length))) << length;
  }
}

TEST(NameServiceWire, AnswersWeGiveAreReadAsOurResolverReadsThem) {
  const Name16 bob = Name("BOB", 0x03);
  const NameQueryAnswer answer =
      ParseNameQueryAnswer(BuildPositiveQueryResponse(77, bob, htonl(0x0A000003), 300), 77, bob);
  EXPECT_EQ(answer.kind, NameQueryAnswer::Kind::Positive);
  EXPECT_EQ(answer.address, htonl(0x0A000003));

  Name16 wildcard{};
  wildcard[0] = '*';
  const auto table = ParseNodeStatusResponse(
      BuildNodeStatusResponse(78, wildcard, {{bob, 0x0400}, {Name("HOST", 0x03), 0x0400}}), 78);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->size(), 2u);
  EXPECT_EQ(MessengerName(*table), bob);

  const RegistrationAnswer refused =
      ParseRegistrationAnswer(BuildNameConflictResponse(79, bob, htonl(0x0A000004)), 79, bob);
  EXPECT_EQ(refused.kind, RegistrationAnswer::Kind::Negative);
  EXPECT_EQ(refused.rcode, 6);
  EXPECT_EQ(ParseRegistrationAnswer(BuildNameConflictResponse(79, bob, 0), 80, bob).kind,
            RegistrationAnswer::Kind::Unrelated);
  EXPECT_EQ(ParseRegistrationAnswer(BuildNameConflictResponse(79, bob, 0), 79, Name("X", 3)).kind,
            RegistrationAnswer::Kind::Unrelated);
}

}  // namespace
}  // namespace lomp::wire
