// Group messages over real NetBIOS datagrams: from the client namespace to a
// mailslot that nbt_tool holds on the spare host, checked byte for byte and
// decoded by tshark.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "app/messenger/group_delivery.h"
#include "mailslot/mailslot_pdu.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "runtime/errors.h"
#include "support/child_process.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace lomp::wire;

using namespace std::chrono_literals;
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::InNamespace;

std::string Hex(const PduBuffer& buffer) {
  std::string hex;
  for (std::int32_t i = 0; i < buffer.length; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", buffer.bytes[i]);
    hex += digits;
  }
  return hex;
}

class MailslotInterop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lomp::testing::AssertInsideTestbed(); }

  void SetUp() override {
    platform::nbt::UdpMailslotSettings settings;
    settings.workgroup = Env("LOMP_WORKGROUP");
    settings.computerName = "LOMPCLIENT";
    service_ = std::make_unique<platform::nbt::UdpMailslotService>(settings);
    platform::InstallMailslotService(service_.get());
  }

  void TearDown() override { platform::InstallMailslotService(nullptr); }

  std::unique_ptr<platform::nbt::UdpMailslotService> service_;
};

TEST_F(MailslotInterop, GroupMessageArrivesByteForByteAndDecodesCleanly) {
  ChildProcess receiver(InNamespace(
      Env("LOMP_NS_SPARE"), {NBT_TOOL, "mailslot", "MESSNGR", Env("LOMP_WORKGROUP"), "LOMPSPARE"}));
  ASSERT_EQ(receiver.ReadLine(5s), "ready");
  ChildProcess capture(
      {"sh", "-c",
       std::string("exec tshark -l -n -i eth-c -f 'udp port 138 and src host " +
                   Env("LOMP_CLIENT_ADDR") + "' -c 2 -V -O nbdgm,smb,mailslot 2>&1")});
  for (;;) {
    const auto line = capture.ReadLine(20s);
    ASSERT_TRUE(line) << "tshark did not start";
    if (line->find("Capture started") != std::string::npos) break;
  }

  CMailslot port("MESSNGR");
  MessageRecord record;
  record.kind = RecipientKind::Group;
  record.recipient = Env("LOMP_WORKGROUP");
  record.sender = "LOMPCLIENT";
  record.recipientName = Env("LOMP_WORKGROUP");
  record.text =
      "Gr\xFC\xDF"
      "e from lomp";
  EXPECT_TRUE(SendGroupMsg_Singleblock(port, record));
  record.recipient = "*";  // this machine's workgroup: the same one here
  record.text = "second";
  EXPECT_TRUE(SendGroupMsg_Singleblock(port, record));

  for (const char* text : {"Gr\xFC\xDF"
                           "e from lomp",
                           "second"}) {
    CMailslotPdu pdu;
    pdu.originator = "LOMPCLIENT";
    pdu.destination = Env("LOMP_WORKGROUP");
    pdu.text = text;
    PduBuffer expected;
    pdu.Encode(expected);
    EXPECT_EQ(receiver.ReadLine(5s), Hex(expected));
  }

  std::string decoded;
  while (const auto line = capture.ReadLine(10s)) decoded += *line + "\n";
  EXPECT_NE(decoded.find("NetBIOS Datagram Service"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("Direct_group datagram"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("\\MAILSLOT\\MESSNGR"), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("Expert Info (Warning"), std::string::npos) << decoded;
}

TEST_F(MailslotInterop, NoReceiverMeansNothingArrivesButTheWriteStillGoesOut) {
  // A broadcast has no acknowledgement: the write succeeds when it was sent.
  CMailslot port("MESSNGR");
  MessageRecord record;
  record.recipient = "NOSUCHGROUP";
  record.sender = "LOMPCLIENT";
  record.recipientName = "NOSUCHGROUP";
  record.text = "into the void";
  EXPECT_TRUE(SendGroupMsg_Singleblock(port, record));
}

TEST_F(MailslotInterop, OversizedDatagramIsReportedNotSent) {
  CMailslot port("MESSNGR");
  MessageRecord record;
  record.recipient = Env("LOMP_WORKGROUP");
  record.sender = "LOMPCLIENT";
  record.recipientName = Env("LOMP_WORKGROUP");
  record.text = std::string(600, 'x');  // fits a PduBuffer, not a datagram
  EXPECT_THROW(SendGroupMsg_Singleblock(port, record), KrDataTransmissionErr);
}

}  // namespace
}  // namespace lomp
