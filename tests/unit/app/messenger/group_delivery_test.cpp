#include "app/messenger/group_delivery.h"

#include <gtest/gtest.h>

#include "runtime/errors.h"
#include "support/scripted_mailslot.h"

namespace lomp {
namespace {

using lomp::testing::ScriptedMailslot;
using Texts = std::vector<std::string>;

TEST(SplitGroupText, CutsAfterTheLastSpaceOfEachWindow) {
  EXPECT_EQ(SplitGroupText("hello world, this is a test", 10),
            (Texts{"hello ", "world, ", "this is a ", "test"}));
}

TEST(SplitGroupText, CutsHardWithoutASpace) {
  const auto fragments = SplitGroupText(std::string(300, 'x'), 128);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_EQ(fragments[0].size(), 128u);
  EXPECT_EQ(fragments[1].size(), 128u);
  EXPECT_EQ(fragments[2].size(), 44u);
}

TEST(SplitGroupText, BreaksAndTheirEdges) {
  // N + 1 characters whose only space is the sixth.
  EXPECT_EQ(SplitGroupText("abcde fghij", 10), (Texts{"abcde ", "fghij"}));
  // A window whose only break is its first character: a one-character fragment.
  EXPECT_EQ(SplitGroupText("abcd efghijkl", 4), (Texts{"abcd", " ", "efgh", "ijkl"}));
  // 0x13 breaks too; line ends do not.
  EXPECT_EQ(SplitGroupText("ab\x13"
                           "cdef",
                           4),
            (Texts{"ab\x13", "cdef"}));
  EXPECT_EQ(SplitGroupText("ab\ncdef", 4), (Texts{"ab\nc", "def"}));
  EXPECT_EQ(SplitGroupText("exactly10!", 10), (Texts{"exactly10!"}));
  EXPECT_EQ(SplitGroupText("", 10), Texts{});
}

MessageRecord Record(const std::string& text) {
  MessageRecord record;
  record.kind = RecipientKind::Group;
  record.recipient = "*";
  record.sender = "ALICE";
  record.recipientName = "*";
  record.text = text;
  return record;
}

std::string Text(const ScriptedMailslot::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(GroupDelivery, SingleBlockIsOneDatagram) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  EXPECT_TRUE(SendGroupMsg_Singleblock(port, Record("Fire drill")));
  ASSERT_EQ(service.Writes().size(), 1u);
  EXPECT_EQ(service.Writes()[0].path, "\\\\*\\MAILSLOT\\MESSNGR");
  EXPECT_EQ(Text(service.Writes()[0].bytes), std::string("ALICE\0*\0Fire drill\0", 19));
  EXPECT_EQ(port.ConnectionCount(), 0u);
  EXPECT_EQ(service.OpenHandles(), 0);
}

TEST(GroupDelivery, FragmentsGoOutInOrderAsSeparateDatagrams) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  EXPECT_TRUE(SendGroupMsg_Multiblock(port, Record("hello world, this is a test"), 10));
  const auto writes = service.Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(Text(writes[0].bytes), std::string("ALICE\0*\0hello \0", 15));
  EXPECT_EQ(Text(writes[3].bytes), std::string("ALICE\0*\0test\0", 13));
  EXPECT_EQ(service.OpenedPaths().size(), 4u);  // a connection per datagram
  EXPECT_EQ(service.OpenHandles(), 0);
}

TEST(GroupDelivery, FailedConnectStopsAtOnce) {
  ScriptedMailslot service;
  service.refuseOpen = true;
  CMailslot port("MESSNGR");
  EXPECT_FALSE(SendGroupMsg_Singleblock(port, Record("x")));
  EXPECT_FALSE(SendGroupMsg_Multiblock(port, Record("one two three"), 4));
  EXPECT_EQ(service.OpenedPaths().size(), 2u);
  EXPECT_TRUE(service.Writes().empty());
}

TEST(GroupDelivery, FailedWritePassesToTheCaller) {
  ScriptedMailslot service;
  service.failWritesAfter = 2;
  CMailslot port("MESSNGR");
  EXPECT_THROW(SendGroupMsg_Multiblock(port, Record("one two three four"), 4),
               KrDataTransmissionErr);
  EXPECT_EQ(service.Writes().size(), 2u);  // the fragments before it went out
  EXPECT_EQ(port.ConnectionCount(), 0u);
  EXPECT_EQ(service.OpenHandles(), 0);
}

}  // namespace
}  // namespace lomp
