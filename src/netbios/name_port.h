// The NetBIOS name port: the sender's name registered on one LANA, and the
// sessions it opens from that name to recipients' Messenger names.
//
// One port per LANA, made by the messaging service and kept until the
// program ends. Delivery uses it from the main thread: Connect, then Send and
// Receive through the new connection, then Disconnect. The listening side
// (Start, Listen, Stop) runs Listen on the port's worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "endpoint/port.h"
#include "netbios/netbios_network.h"
#include "platform/sync.h"
#include "runtime/errors.h"

namespace lomp {

class CNetbiosName;

// True when a transmission error of a name port means that the other side
// closed or aborted the session (as opposed to a time-out).
bool SessionEndedByPeer(const KrDataTransmissionErr& error);

// One session of a name port. Made by Connect or Listen, deleted by
// Disconnect.
class CNetbiosConnection : public CConnection {
 public:
  CNetbiosConnection(CNetbiosName* owner, std::string remote, std::uint8_t session);

  std::string remoteAddress;  // the name called, upper-case OEM; empty when accepted
  std::uint8_t lsn;           // NetBIOS local session number
};

class CNetbiosName : public CPort {
 public:
  // `name` becomes the own NetBIOS name (upper-cased, OEM); `suffixCandidates`
  // are the suffixes Open tries in order. Issues no NetBIOS command.
  CNetbiosName(std::string name, const std::vector<std::uint8_t>& suffixCandidates,
               const KrNetbiosInterface& netbiosInterface);
  ~CNetbiosName() override;

  // Registers the own name under the first candidate suffix that is free.
  // Returns isOpen: false when every candidate was taken (then
  // everyNameTaken is set) or ADD NAME failed.
  bool Open() override;

  // Calls `address`<03> from the own name. On success the new connection is
  // listed and stored in `connectionOut`. Raises KrAddrNotFoundErr when the
  // name did not answer or the call timed out, KrUnknownNetworkErr for any
  // other failure; `connectionOut` is then untouched. Blocks for at most
  // connectTimeoutMs rounded down to 500 ms. A host name (IsHostName) is
  // first looked up with the host's resolver within connectTimeoutMs, and
  // the node at its address called as an address is; the call then has
  // what the lookup left, rounded up to 500 ms.
  void Connect(std::string address, CConnection*& connectionOut) override;

  // Sends the buffer's `length` bytes as one session message. Raises
  // KrDataTransmissionErr "NBSend <code>" on failure.
  void Write(CConnection& connection, PduBuffer& buffer) override;

  // Receives one message of up to 1024 bytes and sets `length`. Raises
  // KrDataTransmissionErr "NBRecv <code>" on failure (a longer message is
  // code 6), leaving `length` at 1024.
  void Read(CConnection& connection, PduBuffer& buffer) override;

  void Send(CConnection& connection, CProtocolDataUnit& pdu) override;
  void Receive(CConnection& connection, CProtocolDataUnit& pdu) override;

  // Hangs the session up and deletes the connection.
  void Disconnect(CConnection* connection) override;

  // Waits for one call to the own Messenger name and hands the new
  // connection to `listener`. Returns when a call arrives, the listen fails,
  // or Stop wakes it.
  void Listen() override;

  // Deletes the own Messenger name; isOpen becomes false.
  void Close() override;

  // Stops the worker thread, waking a pending Listen.
  void Stop() override;

  const std::vector<std::uint8_t> suffixCandidates;
  const std::string netbiosName;
  std::uint8_t nameNumber = 0;
  std::uint8_t nameSuffix;
  // The last Open found every candidate suffix taken by other processes.
  bool everyNameTaken = false;
  const std::uint8_t lana;

 private:
  platform::Event listenEvent_;
};

}  // namespace lomp
