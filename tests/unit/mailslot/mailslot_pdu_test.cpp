#include "mailslot/mailslot_pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/errors.h"

namespace lomp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encoded(CMailslotPdu& pdu, PduBuffer& buffer) {
  pdu.Encode(buffer);
  return Bytes(buffer.bytes, buffer.bytes + buffer.length);
}

CMailslotPdu Decoded(const std::string& bytes) {
  PduBuffer buffer;
  buffer.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  CMailslotPdu pdu;
  pdu.originator = pdu.destination = pdu.text = "stale";
  pdu.Decode(buffer);
  return pdu;
}

TEST(MailslotPdu, EncodesTheWorkedExample) {
  // ALICE / WORKGROUP / Hi, the Messenger datagram written out by hand.
  CMailslotPdu pdu;
  pdu.originator = "ALICE";
  pdu.destination = "WORKGROUP";
  pdu.text = "Hi";
  PduBuffer buffer;
  EXPECT_EQ(Encoded(pdu, buffer), (Bytes{0x41, 0x4C, 0x49, 0x43, 0x45, 0x00, 0x57, 0x4F, 0x52, 0x4B,
                                         0x47, 0x52, 0x4F, 0x55, 0x50, 0x00, 0x48, 0x69, 0x00}));
  // Encoding again into the same buffer starts from the beginning.
  EXPECT_EQ(Encoded(pdu, buffer).size(), 19u);
}

TEST(MailslotPdu, EmptyFieldsAreJustTheirTerminators) {
  CMailslotPdu pdu;
  PduBuffer buffer;
  EXPECT_EQ(Encoded(pdu, buffer), (Bytes{0x00, 0x00, 0x00}));
}

TEST(MailslotPdu, TextTravelsInTheOemCodePage) {
  CMailslotPdu pdu;
  pdu.text = "\xE9t\xE9";  // "été" in Windows-1252
  PduBuffer buffer;
  EXPECT_EQ(Encoded(pdu, buffer), (Bytes{0x00, 0x00, 0x82, 't', 0x82, 0x00}));
  EXPECT_EQ(Decoded(std::string("\0\0\x82t\x82\0", 6)).text, "\xE9t\xE9");
}

TEST(MailslotPdu, DecodesShortAndUnterminatedData) {
  struct Case {
    std::string bytes;
    std::string originator, destination, text;
  };
  const std::vector<Case> cases = {
      {std::string("ALICE\0WORKGROUP", 15), "ALICE", "WORKGROUP", ""},
      {"no terminator at all", "no terminator at all", "", ""},
      {std::string("A\0B\0C", 5), "A", "B", "C"},
      {std::string("A\0B\0C\0trailing\0junk", 19), "A", "B", "C"},
      {"", "", "", ""},
      {std::string("\0", 1), "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const CMailslotPdu pdu = Decoded(c.bytes);
    EXPECT_EQ(pdu.originator, c.originator);
    EXPECT_EQ(pdu.destination, c.destination);
    EXPECT_EQ(pdu.text, c.text);
  }
}

TEST(MailslotPdu, DecodingStopsAtTheReceivedLength) {
  PduBuffer buffer;
  buffer.Append("AB", 2);
  buffer.bytes[2] = 'C';  // beyond length: not part of the datagram
  CMailslotPdu pdu;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.originator, "AB");
}

TEST(MailslotPdu, RefusesADatagramLargerThanTheBuffer) {
  CMailslotPdu pdu;
  pdu.originator = "A";
  pdu.destination = "B";
  pdu.text = std::string(1024 - 5, 'x');
  PduBuffer buffer;
  EXPECT_EQ(Encoded(pdu, buffer).size(), 1024u);
  pdu.text.push_back('x');
  EXPECT_THROW(pdu.Encode(buffer), KrDataTransmissionErr);
  EXPECT_EQ(buffer.length, 0);
}

}  // namespace
}  // namespace lomp
