#include "mailslot/mailslot_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mailslot/mailslot_pdu.h"
#include "runtime/errors.h"
#include "support/eventually.h"
#include "support/scripted_mailslot.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;
using lomp::testing::Eventually;
using lomp::testing::ScriptedMailslot;
using Bytes = ScriptedMailslot::Bytes;

const std::string kLocal = "\\\\.\\MAILSLOT\\MESSNGR";

TEST(MailslotPort, ConnectFormsThePathFromTheUpperCasedAddress) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  CConnection* connection = nullptr;
  port.Connect("workgroup", connection);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(static_cast<CMailslotConnection*>(connection)->remoteAddress, "WORKGROUP");
  port.Connect("*", connection);
  port.Connect("\xE9quipe", connection);  // "équipe": upper-cased, then OEM
  EXPECT_EQ(static_cast<CMailslotConnection*>(connection)->remoteAddress, "\x90QUIPE");
  EXPECT_EQ(service.OpenedPaths(), (std::vector<std::string>{"\\\\WORKGROUP\\MAILSLOT\\MESSNGR",
                                                             "\\\\*\\MAILSLOT\\MESSNGR",
                                                             "\\\\\x90QUIPE\\MAILSLOT\\MESSNGR"}));
  EXPECT_EQ(port.ConnectionCount(), 3u);
}

TEST(MailslotPort, FailedOpenGivesNoConnection) {
  ScriptedMailslot service;
  service.refuseOpen = true;
  CMailslot port("MESSNGR");
  CConnection* connection = reinterpret_cast<CConnection*>(0x1);
  port.Connect("WORK", connection);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(port.ConnectionCount(), 0u);
}

TEST(MailslotPort, SendWritesTheEncodedBytesOnceAndDisconnectCloses) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  CConnection* connection = nullptr;
  port.Connect("WORK", connection);
  CConnection* other = nullptr;
  port.Connect("HOME", other);
  CMailslotPdu pdu;
  pdu.originator = "ALICE";
  pdu.destination = "WORK";
  pdu.text = "Hi";
  connection->Send(pdu);
  ASSERT_EQ(service.Writes().size(), 1u);
  EXPECT_EQ(service.Writes()[0].path, "\\\\WORK\\MAILSLOT\\MESSNGR");
  const std::string expected("ALICE\0WORK\0Hi\0", 14);
  EXPECT_EQ(service.Writes()[0].bytes, Bytes(expected.begin(), expected.end()));

  EXPECT_EQ(service.OpenHandles(), 2);
  connection->Disconnect();
  EXPECT_EQ(service.OpenHandles(), 1) << "the client handle is closed";
  EXPECT_EQ(port.ConnectionCount(), 1u);
  EXPECT_TRUE(port.HasConnection(other));
  other->Disconnect();
}

TEST(MailslotPort, FailedOrShortWriteIsReported) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  CMailslotPdu pdu;
  pdu.text = "lost";
  CConnection* connection = nullptr;
  port.Connect("WORK", connection);
  service.failWritesAfter = 0;
  EXPECT_THROW(connection->Send(pdu), KrDataTransmissionErr);
  service.failWritesAfter = -1;
  service.shortWrite = 2;
  EXPECT_THROW(connection->Send(pdu), KrDataTransmissionErr);
  connection->Disconnect();
}

TEST(MailslotPort, OpenDiscardsWaitingMessages) {
  ScriptedMailslot service;
  service.Arrive(kLocal, {1, 2, 3});
  service.Arrive(kLocal, {4});
  CMailslot port("MESSNGR");
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(port.isOpen);
  EXPECT_EQ(service.Waiting(kLocal), 0u);
  port.Close();
  EXPECT_FALSE(port.isOpen);

  service.refuseCreate = true;
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.handle, platform::kInvalidMailslotHandle);
}

class ReadingListener : public ConnectionListener {
 public:
  void OnConnection(CConnection* connection, int value) override {
    CMailslotPdu pdu;
    connection->Receive(pdu);
    const std::lock_guard lock(mutex);
    texts.push_back(pdu.text);
    values.push_back(value);
    connection->Disconnect();
  }
  std::mutex mutex;
  std::vector<std::string> texts;
  std::vector<int> values;
};

TEST(MailslotPort, ListenHandsOneConnectionPerWaitingMessage) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  ASSERT_TRUE(port.Open());
  ReadingListener listener;
  port.listener = &listener;
  const std::string first("A\0W\0one\0", 8);
  const std::string second("A\0W\0two\0", 8);
  service.Arrive(kLocal, Bytes(first.begin(), first.end()));
  service.Arrive(kLocal, Bytes(second.begin(), second.end()));
  port.Listen();  // takes both, then finds the mailslot empty and pauses
  EXPECT_EQ(listener.texts, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(listener.values, (std::vector<int>{0, 0}));
  EXPECT_EQ(port.ConnectionCount(), 0u);
  EXPECT_EQ(service.OpenHandles(), 1) << "the port's own handle stays open";
}

TEST(MailslotPort, MessagesALazyListenerLeavesAreDropped) {
  class Lazy : public ConnectionListener {
   public:
    void OnConnection(CConnection*, int) override { ++calls; }
    int calls = 0;
  } lazy;
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  ASSERT_TRUE(port.Open());
  port.listener = &lazy;
  service.Arrive(kLocal, {'x', 0, 0, 0});
  port.Listen();
  EXPECT_EQ(lazy.calls, 1);
  EXPECT_EQ(service.Waiting(kLocal), 0u);
}

TEST(MailslotPort, WorkerListensUntilStopped) {
  ScriptedMailslot service;
  CMailslot port("MESSNGR");
  ReadingListener listener;
  port.listener = &listener;
  port.Start();
  // Arrivals before Open are discarded.
  ASSERT_TRUE(Eventually("the port to open", [&] { return port.isOpen.load(); }));
  const std::string message("A\0W\0later\0", 10);
  service.Arrive(kLocal, Bytes(message.begin(), message.end()));
  EXPECT_TRUE(Eventually("the message to be read", [&] {
    const std::lock_guard lock(listener.mutex);
    return !listener.texts.empty();
  }));
  const auto start = std::chrono::steady_clock::now();
  port.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(listener.texts, (std::vector<std::string>{"later"}));
  EXPECT_FALSE(port.isOpen);
  EXPECT_EQ(service.OpenHandles(), 0);
}

}  // namespace
}  // namespace lomp
