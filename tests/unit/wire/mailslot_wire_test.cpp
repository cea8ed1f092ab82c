#include "wire/mailslot_wire.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/mailslot.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "support/hex.h"

namespace lomp::wire {
namespace {

using platform::SplitMailslotPath;

Name16 Name(const std::string& text, std::uint8_t suffix) {
  Name16 name;
  name.fill(' ');
  std::memcpy(name.data(), text.data(), text.size());
  name[15] = suffix;
  return name;
}

// The worked example of a MESSNGR write (ALICE to WORKGROUP, "Hi", from
// 192.168.1.10:138, datagram id 1, padded form), written out by hand.
const char* const kExampleHex =
    "11 02 00 01 C0 A8 01 0A 00 8A 00 AF 00 00 20 45 42 45 4D 45 4A 45 44 45 46 43 41 43 41 43 41 "
    "43"
    "41 43 41 43 41 43 41 43 41 43 41 43 41 41 41 00 20 46 48 45 50 46 43 45 4C 45 48 46 43 45 50 "
    "46"
    "46 46 41 43 41 43 41 43 41 43 41 43 41 43 41 41 41 00 FF 53 4D 42 25 00 00 00 00 00 00 00 00 "
    "00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 11 00 00 13 00 00 00 00 00 00 00 00 00 "
    "00"
    "00 00 00 00 00 00 00 58 00 13 00 58 00 03 00 01 00 00 00 02 00 26 00 5C 4D 41 49 4C 53 4C 4F "
    "54"
    "5C 4D 45 53 53 4E 47 52 00 00 41 4C 49 43 45 00 57 4F 52 4B 47 52 4F 55 50 00 48 69 00";

using lomp::testing::Hex;

MailslotDatagram Example() {
  MailslotDatagram datagram;
  datagram.datagramId = 1;
  const std::uint8_t address[4] = {192, 168, 1, 10};
  std::memcpy(&datagram.sourceAddress, address, 4);
  datagram.sourcePort = 138;
  datagram.source = Name("ALICE", 0x00);
  datagram.destination = Name("WORKGROUP", 0x00);
  datagram.mailslot = "\\MAILSLOT\\MESSNGR";
  const std::string data("ALICE\0WORKGROUP\0Hi\0", 19);
  datagram.data.assign(data.begin(), data.end());
  return datagram;
}

TEST(MailslotWire, BuildsTheWorkedExample) {
  const auto packet = BuildMailslotDatagram(Example());
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->size(), 189u);
  EXPECT_EQ(*packet, Hex(kExampleHex));
}

TEST(MailslotWire, ParsesWhatItBuilds) {
  const auto parsed = ParseMailslotDatagram(Hex(kExampleHex));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->type, kDirectGroup);
  EXPECT_EQ(parsed->source, Name("ALICE", 0x00));
  EXPECT_EQ(parsed->destination, Name("WORKGROUP", 0x00));
  EXPECT_EQ(parsed->mailslot, "\\MAILSLOT\\MESSNGR");
  EXPECT_EQ(parsed->data, Example().data);
  EXPECT_EQ(parsed->sourcePort, 138);
}

TEST(MailslotWire, RefusesWhatIsTooLargeToSend) {
  MailslotDatagram datagram = Example();
  datagram.data.assign(576 - 14 - 68 - 88, 'x');  // exactly the limit
  EXPECT_TRUE(BuildMailslotDatagram(datagram));
  datagram.data.push_back('x');
  EXPECT_FALSE(BuildMailslotDatagram(datagram));
}

TEST(MailslotWire, EveryTruncatedPacketIsRefused) {
  const Bytes whole = Hex(kExampleHex);
  for (std::size_t size = 0; size < whole.size(); ++size) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    EXPECT_FALSE(ParseMailslotDatagram(cut)) << size;
  }
}

TEST(MailslotWire, LyingCountsAndOffsetsAreRefused) {
  const Bytes whole = Hex(kExampleHex);
  struct Corruption {
    std::size_t at;
    std::uint8_t value;
  };
  const std::size_t smb = 82;
  for (const Corruption c : {Corruption{10, 0xFF},             // datagram length beyond the packet
                             Corruption{smb + 33 + 22, 0xFF},  // data count
                             Corruption{smb + 33 + 24, 0xF0},  // data offset
                             Corruption{smb + 33 + 24, 0x10},  // data offset inside the name
                             Corruption{smb + 33 + 26, 2},     // setup count
                             Corruption{smb + 33 + 28, 2},     // not a write
                             Corruption{smb + 32, 16},         // word count
                             Corruption{smb + 4, 0x26},        // not a transaction
                             Corruption{1, 0x03},              // a fragment with more to come
                             Corruption{0, 0x13}}) {           // a datagram error
    Bytes bad = whole;
    bad[c.at] = c.value;
    EXPECT_FALSE(ParseMailslotDatagram(bad)) << "byte " << c.at;
  }
}

TEST(MailslotPath, SplitsServerAndMailslot) {
  std::string server;
  std::string mailslot;
  EXPECT_TRUE(SplitMailslotPath("\\\\WORK\\MAILSLOT\\MESSNGR", server, mailslot));
  EXPECT_EQ(server, "WORK");
  EXPECT_EQ(mailslot, "\\MAILSLOT\\MESSNGR");
  EXPECT_TRUE(SplitMailslotPath("\\\\.\\mailslot\\x", server, mailslot));
  EXPECT_EQ(server, ".");
  EXPECT_FALSE(SplitMailslotPath("\\\\WORK\\PIPE\\X", server, mailslot));
  EXPECT_FALSE(SplitMailslotPath("\\\\\\MAILSLOT\\X", server, mailslot));
  EXPECT_FALSE(SplitMailslotPath("\\\\WORK\\MAILSLOT\\", server, mailslot));
  EXPECT_FALSE(SplitMailslotPath("WORK", server, mailslot));
}

}  // namespace
}  // namespace lomp::wire
