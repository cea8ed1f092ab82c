#include "mailslot/mailslot_port.h"

#include "runtime/errors.h"
#include "runtime/text_conversion.h"

namespace lomp {

using namespace platform;

CMailslotConnection::CMailslotConnection(CMailslot* owner, std::string remote,
                                         MailslotHandle mailslot, bool owns)
    : CConnection(owner), remoteAddress(std::move(remote)), handle(mailslot), ownsHandle(owns) {}

std::string CMailslot::LocalPath(const std::string& mailslotName) {
  return "\\\\.\\MAILSLOT\\" + mailslotName;
}

std::string CMailslot::RemotePath(const std::string& address, const std::string& mailslotName) {
  return "\\\\" + address + "\\MAILSLOT\\" + mailslotName;
}

CMailslot::CMailslot(std::string name) : mailslotName(std::move(name)) {}

CMailslot::~CMailslot() {
  // The worker may be inside Listen, which uses this object's members.
  if (thread.IsRunning()) CMailslot::Stop();
}

void CMailslot::Connect(std::string address, CConnection*& connectionOut) {
  ToUpper(address);
  ToOem(address);
  const MailslotHandle client = CreateMailslotFile(RemotePath(address, mailslotName));
  if (client == kInvalidMailslotHandle) {
    connectionOut = nullptr;
    return;
  }
  auto* connection = new CMailslotConnection(this, address, client, true);
  AddConnection(connection);
  connectionOut = connection;
}

void CMailslot::Send(CConnection& connection, CProtocolDataUnit& pdu) {
  PduBuffer buffer;
  buffer.Clear();
  pdu.Encode(buffer);
  Write(connection, buffer);
}

void CMailslot::Write(CConnection& connection, PduBuffer& buffer) {
  const auto& mailslot = static_cast<CMailslotConnection&>(connection);
  const auto length = static_cast<std::uint32_t>(buffer.length < 0 ? 0 : buffer.length);
  std::uint32_t written = 0;
  // A message that did not go out must not count as sent.
  if (!WriteMailslot(mailslot.handle, buffer.bytes, length, written) || written != length) {
    throw KrDataTransmissionErr("WriteFile " + std::to_string(written) + " of " +
                                std::to_string(length));
  }
}

bool CMailslot::ReadMessage(MailslotHandle from, PduBuffer& buffer) {
  buffer.Clear();
  std::uint32_t nextSize = 0;
  std::uint32_t count = 0;
  if (!GetMailslotInfo(from, nextSize, count) || count == 0) return false;
  std::uint32_t read = 0;
  if (nextSize > PduBuffer::kCapacity || !ReadMailslot(from, buffer.bytes, nextSize, read)) {
    return false;
  }
  buffer.length = static_cast<std::int32_t>(read);
  return true;
}

void CMailslot::Read(CConnection& connection, PduBuffer& buffer) {
  ReadMessage(static_cast<CMailslotConnection&>(connection).handle, buffer);
}

void CMailslot::Receive(CConnection& connection, CProtocolDataUnit& pdu) {
  PduBuffer buffer;
  if (ReadMessage(static_cast<CMailslotConnection&>(connection).handle, buffer)) {
    pdu.Decode(buffer);
  }
}

void CMailslot::Disconnect(CConnection* connection) {
  if (connection == nullptr) return;
  auto* mailslot = static_cast<CMailslotConnection*>(connection);
  // Only the client handle is ours to close; Listen's connections share the
  // port's own handle.
  if (mailslot->ownsHandle) CloseMailslot(mailslot->handle);
  RemoveConnection(connection);
}

bool CMailslot::Open() {
  handle = CreateMailslot(LocalPath(mailslotName), kMaxMessageSize);
  std::uint32_t nextSize = 0;
  std::uint32_t count = 0;
  // Whatever arrived before the port was opened is not for this run.
  while (GetMailslotInfo(handle, nextSize, count) && count > 0) {
    PduBuffer scratch;
    std::uint32_t read = 0;
    if (nextSize > PduBuffer::kCapacity || !ReadMailslot(handle, scratch.bytes, nextSize, read)) {
      break;
    }
  }
  isOpen = handle != kInvalidMailslotHandle;
  return isOpen;
}

void CMailslot::Close() {
  CloseMailslot(handle);
  handle = kInvalidMailslotHandle;
  isOpen = false;
}

void CMailslot::Listen() {
  while (!thread.IsStopRequested()) {
    std::uint32_t nextSize = 0;
    std::uint32_t count = 0;
    if (!GetMailslotInfo(handle, nextSize, count)) {
      isOpen = false;  // the worker loop opens it again
      return;
    }
    if (count == 0) {
      thread.WaitForStop(std::chrono::milliseconds(100));
      return;
    }
    auto* connection = new CMailslotConnection(this, "", handle, false);
    AddConnection(connection);
    if (listener == nullptr) {
      // Nobody would read the message: take it so it is not offered forever.
      PduBuffer scratch;
      Read(*connection, scratch);
      RemoveConnection(connection);
      continue;
    }
    listener->OnConnection(connection, 0);
    // A listener takes the message before it returns. One it left is dropped
    // here, so that it is not offered again and again.
    std::uint32_t countAfter = 0;
    if (GetMailslotInfo(handle, nextSize, countAfter) && countAfter >= count) {
      PduBuffer scratch;
      std::uint32_t read = 0;
      if (nextSize <= PduBuffer::kCapacity) ReadMailslot(handle, scratch.bytes, nextSize, read);
    }
  }
}

}  // namespace lomp
