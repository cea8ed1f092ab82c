// The mailslot port: group messages leave through it, one client connection
// per datagram to "\\DOMAIN\MAILSLOT\<name>"; its listening side creates the
// mailslot locally and hands each waiting message to a listener.
//
// Made by the messaging service and kept until the program ends. Delivery
// uses Connect, Send and Disconnect on the delivering thread; Listen runs on
// the port's worker thread.
#pragma once

#include <string>

#include "endpoint/port.h"
#include "platform/mailslot.h"

namespace lomp {

class CMailslot;

class CMailslotConnection : public CConnection {
 public:
  CMailslotConnection(CMailslot* owner, std::string remote, platform::MailslotHandle mailslot,
                      bool ownsHandle);

  std::string remoteAddress;        // upper-case OEM server part; empty when made by Listen
  platform::MailslotHandle handle;  // client handle, or the port's own for Listen
  const bool ownsHandle;            // true for the client handle of Connect
};

class CMailslot : public CPort {
 public:
  // The local mailslot path and the one Connect opens (the address filled in).
  static std::string LocalPath(const std::string& mailslotName);
  static std::string RemotePath(const std::string& address, const std::string& mailslotName);

  static constexpr std::uint32_t kMaxMessageSize = 400;

  explicit CMailslot(std::string name);
  ~CMailslot() override;

  // Opens "\\ADDRESS\MAILSLOT\<name>" for writing (the address upper-cased
  // and in OEM). `connectionOut` receives the listed connection, or null when
  // the mailslot cannot be opened; nothing is raised.
  void Connect(std::string address, CConnection*& connectionOut) override;

  // Encodes `pdu` and writes it as one message. Raises KrDataTransmissionErr
  // when the write fails or writes fewer bytes.
  void Send(CConnection& connection, CProtocolDataUnit& pdu) override;
  void Write(CConnection& connection, PduBuffer& buffer) override;

  // Take the next waiting message of the local mailslot; the buffer stays
  // empty and the PDU unchanged when none waits.
  void Read(CConnection& connection, PduBuffer& buffer) override;
  void Receive(CConnection& connection, CProtocolDataUnit& pdu) override;

  // Unlists and deletes the connection, closing the client handle it opened.
  void Disconnect(CConnection* connection) override;

  // Creates the local mailslot and discards what already waits in it.
  bool Open() override;
  void Close() override;
  // One pass: a connection per waiting message to the listener, which reads
  // the message from it before it returns, or a pause of 100 ms (less at a
  // stop request) when none waits.
  void Listen() override;

  const std::string mailslotName;
  platform::MailslotHandle handle = 0;  // 0: never opened

 private:
  bool ReadMessage(platform::MailslotHandle from, PduBuffer& buffer);
};

}  // namespace lomp
