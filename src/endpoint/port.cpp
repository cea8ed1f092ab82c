#include "endpoint/port.h"

#include <algorithm>
#include <mutex>

namespace lomp {

void CConnection::Receive(CProtocolDataUnit& pdu) {
  port->Receive(*this, pdu);
}
void CConnection::Read(PduBuffer& buffer) {
  port->Read(*this, buffer);
}
void CConnection::Send(CProtocolDataUnit& pdu) {
  port->Send(*this, pdu);
}
void CConnection::Write(PduBuffer& buffer) {
  port->Write(*this, buffer);
}
void CConnection::Disconnect() {
  port->Disconnect(this);
}

CPort::CPort() = default;

CPort::~CPort() {
  // The worker must be gone before anything it uses is.
  thread.Stop();
}

void CPort::Receive(CConnection&, CProtocolDataUnit&) {}
void CPort::Read(CConnection&, PduBuffer&) {}
void CPort::Send(CConnection&, CProtocolDataUnit&) {}
void CPort::Write(CConnection&, PduBuffer&) {}
void CPort::Disconnect(CConnection*) {}
void CPort::Listen() {}
bool CPort::Open() {
  return false;
}
void CPort::Close() {}
// Overrides take the address by value to normalise it in place.
void CPort::Connect(std::string, CConnection*&) {}  // NOLINT(performance-unnecessary-value-param)

bool CPort::WaitOpen() {
  while (!thread.IsStopRequested()) {
    if (isOpen) return true;
    if (Open()) return true;
    thread.WaitForStop(openRetryMs);
  }
  return false;
}

void CPort::Start() {
  thread.function = &CPort::Run;
  thread.object = this;
  if (thread.CreateThread()) thread.SetPriority(platform::ThreadPriority::Highest);
}

void CPort::Stop() {
  thread.Stop();
}

void CPort::Run(KrThread* worker) {
  while (!worker->IsStopRequested()) {
    if (WaitOpen() && !worker->IsStopRequested()) Listen();
  }
  Close();
}

void CPort::AddConnection(CConnection* connection) {
  const std::lock_guard lock(connectionLock);
  connections_.emplace_back(connection);
}

void CPort::RemoveConnection(CConnection* connection) {
  std::unique_ptr<CConnection> removed;
  {
    const std::lock_guard lock(connectionLock);
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [&](const auto& listed) { return listed.get() == connection; });
    if (found == connections_.end()) return;
    removed = std::move(*found);
    connections_.erase(found);
  }
  // Deleted outside the lock: a connection's destructor may be arbitrary.
}

std::size_t CPort::ConnectionCount() {
  const std::lock_guard lock(connectionLock);
  return connections_.size();
}

bool CPort::HasConnection(const CConnection* connection) {
  const std::lock_guard lock(connectionLock);
  return std::any_of(connections_.begin(), connections_.end(),
                     [&](const auto& listed) { return listed.get() == connection; });
}

void CPort::SetSenderName(std::string text) {
  const std::lock_guard lock(senderLock_);
  senderName_ = std::move(text);
}

std::string CPort::GetSenderName() {
  const std::lock_guard lock(senderLock_);
  return senderName_;
}

bool CPort::TakesMultiBlockOnly(const std::string& recipient) {
  const std::lock_guard lock(multiBlockLock_);
  return multiBlockOnly_.count(recipient) != 0;
}

void CPort::RememberMultiBlockOnly(const std::string& recipient) {
  const std::lock_guard lock(multiBlockLock_);
  multiBlockOnly_.insert(recipient);
}

}  // namespace lomp
