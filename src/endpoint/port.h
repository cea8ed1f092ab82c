// The endpoint model shared by both transports.
//
// A port is a local endpoint on one transport (a registered NetBIOS name on
// one LANA, or a mailslot); a connection is one conversation through a port
// and forwards every operation to it. The base port's operations do nothing
// harmful, so a transport that does not support one just leaves it alone.
//
// Ports are made by the messaging service and live until the program ends.
// A port owns the connections in its list: Disconnect removes and deletes
// one, and the port deletes those still listed when it is destroyed.
// Deliveries may use a port from several threads at once, each with
// connections of its own; the worker thread (Start/Stop) may add and remove
// connections at the same time. The connection list, the statistics, the
// sender name and the multi-block set are safe for that.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "endpoint/kr_thread.h"
#include "smb/pdu_buffer.h"
#include "smb/protocol_data_unit.h"

namespace lomp {

class CPort;

class CConnection {
 public:
  explicit CConnection(CPort* owner) : port(owner) {}
  virtual ~CConnection() = default;
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  virtual void Receive(CProtocolDataUnit& pdu);
  virtual void Read(PduBuffer& buffer);
  virtual void Send(CProtocolDataUnit& pdu);
  virtual void Write(PduBuffer& buffer);
  // Ends the conversation and deletes this connection: do not touch it after.
  virtual void Disconnect();

  CPort* port;  // not owned
};

// Told about each connection that the listening side accepts.
class ConnectionListener {
 public:
  virtual ~ConnectionListener() = default;
  virtual void OnConnection(CConnection* connection, int value) = 0;
};

class CPort {
 public:
  CPort();
  virtual ~CPort();
  CPort(const CPort&) = delete;
  CPort& operator=(const CPort&) = delete;

  // Reads one message of `connection` and decodes it into `pdu`.
  virtual void Receive(CConnection& connection, CProtocolDataUnit& pdu);
  // Reads the bytes of one message into `buffer`.
  virtual void Read(CConnection& connection, PduBuffer& buffer);
  // Encodes `pdu` and writes it on `connection`.
  virtual void Send(CConnection& connection, CProtocolDataUnit& pdu);
  // Writes the bytes of `buffer`.
  virtual void Write(CConnection& connection, PduBuffer& buffer);
  // Ends the conversation, then RemoveConnection (which deletes it).
  virtual void Disconnect(CConnection* connection);
  // One pass of accepting incoming traffic.
  virtual void Listen();
  // Opens the port, retrying every `openRetryMs` until it is open or a
  // stop is requested; true when open. Runs on the worker thread.
  virtual bool WaitOpen();
  // Makes the port usable; sets and returns isOpen.
  virtual bool Open();
  // Releases what Open acquired; clears isOpen.
  virtual void Close();
  // Opens a connection to `address`; on success it is listed and stored in
  // `connectionOut`. Derived ports say what failure does.
  virtual void Connect(std::string address, CConnection*& connectionOut);
  // Starts the worker thread running Run().
  virtual void Start();
  // Stops the worker thread and waits for it; at once when it never ran.
  virtual void Stop();

  void AddConnection(CConnection* connection);
  // Unlists and deletes `connection`; nothing when it is not listed.
  void RemoveConnection(CConnection* connection);
  std::size_t ConnectionCount();
  bool HasConnection(const CConnection* connection);

  void SetSenderName(std::string text);
  std::string GetSenderName();

  // The worker loop: open, listen, until a stop is requested; then Close.
  void Run(KrThread* worker);

  // Delivery outcomes through this port; the dispatcher ranks ports by them.
  struct Statistics {
    std::atomic<double> failures{0.0};
    std::atomic<double> successes{0.0};
  };

  KrLock connectionLock;
  KrThreadClassFunction<CPort> thread;
  // Written by the worker thread, read by the delivering thread.
  std::atomic<bool> isOpen{false};
  Statistics stats;
  ConnectionListener* listener = nullptr;  // not owned
  std::uint16_t connectTimeoutMs = 2000;
  std::uint16_t sessionTimeoutMs = 0;
  std::chrono::milliseconds openRetryMs{3000};

  // Recipients that ended the session on a single-block message through this
  // port; personal delivery sends them multi-block messages from then on,
  // for the rest of the run.
  bool TakesMultiBlockOnly(const std::string& recipient);
  void RememberMultiBlockOnly(const std::string& recipient);

 private:
  KrLock multiBlockLock_;
  std::set<std::string> multiBlockOnly_;
  std::vector<std::unique_ptr<CConnection>> connections_;
  KrLock senderLock_;
  std::string senderName_;
};

}  // namespace lomp
