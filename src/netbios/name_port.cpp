#include "netbios/name_port.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>

#include "netbios/ncb_commands.h"
#include "platform/host_lookup.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"
#include "runtime/trace_log.h"
#include "wire/nbt_wire.h"

namespace lomp {
namespace {

constexpr const char* kSource = "..\\shared\\krNetSmb";
using wire::kMessengerSuffix;
constexpr int kUnitMs = static_cast<int>(platform::kNcbTimeUnit.count());

std::string NetbiosForm(std::string name) {
  ToUpper(name);
  ToOem(name);
  return name;
}

std::uint8_t Units(std::uint16_t milliseconds) {
  return static_cast<std::uint8_t>(std::min(milliseconds / kUnitMs, 255));
}

// Host names found in this run, by their lower-case form: a batch to one
// host asks the resolver once.
std::mutex hostsMutex;
std::map<std::string, std::string> hostsFound;

// The address of host name `host` as dotted text, found within `limit`.
std::string AddressOfHost(const std::string& host, std::chrono::milliseconds limit) {
  std::string key = host;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  {
    const std::lock_guard lock(hostsMutex);
    if (const auto known = hostsFound.find(key); known != hostsFound.end()) {
      LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
               FormatText("Host name '%s' is at %s", host.c_str(), known->second.c_str()));
      return known->second;
    }
  }
  LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
           FormatText("Looking up host name '%s'", host.c_str()));
  const platform::HostLookup lookup = platform::LookUpHost(host, limit);
  using Outcome = platform::HostLookup::Outcome;
  switch (lookup.outcome) {
    case Outcome::Found: {
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &lookup.address, text, sizeof text);
      LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
               FormatText("Host name '%s' is at %s", host.c_str(), text));
      const std::lock_guard lock(hostsMutex);
      hostsFound[key] = text;
      return text;
    }
    case Outcome::Unknown:
      LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
               FormatText("Host name '%s' has no IPv4 address", host.c_str()));
      throw KrAddrNotFoundErr("host lookup");
    case Outcome::TimedOut:
      LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
               FormatText("Host name '%s' not answered within %lld ms", host.c_str(),
                          static_cast<long long>(limit.count())));
      throw KrAddrNotFoundErr("host lookup");
    case Outcome::Failed: break;
  }
  LogTrace(kSource, __LINE__, "CNetbiosName::Connect",
           FormatText("Host name '%s' cannot be looked up: %s", host.c_str(), lookup.why.c_str()));
  throw KrUnknownNetworkErr("host lookup");
}

}  // namespace

bool SessionEndedByPeer(const KrDataTransmissionErr& error) {
  return error.returnCode == platform::NRC_SCLOSED || error.returnCode == platform::NRC_SABORT;
}

CNetbiosConnection::CNetbiosConnection(CNetbiosName* owner, std::string remote,
                                       std::uint8_t session)
    : CConnection(owner), remoteAddress(std::move(remote)), lsn(session) {}

CNetbiosName::CNetbiosName(std::string name, const std::vector<std::uint8_t>& candidates,
                           const KrNetbiosInterface& netbiosInterface)
    : suffixCandidates(candidates),
      netbiosName(NetbiosForm(std::move(name))),
      nameSuffix(candidates.empty() ? 0 : candidates.front()),
      lana(netbiosInterface.lana) {}

CNetbiosName::~CNetbiosName() {
  // The worker may be inside Listen, which uses this object's members.
  if (thread.IsRunning()) CNetbiosName::Stop();
}

bool CNetbiosName::Open() {
  LogTrace(kSource, __LINE__, "CNetbiosName::Open", "Entering...");
  NBDelName(lana, netbiosName, kMessengerSuffix, nameNumber);
  everyNameTaken = false;
  for (const std::uint8_t candidate : suffixCandidates) {
    nameSuffix = candidate;
    LogTrace(kSource, __LINE__, "CNetbiosName::Open",
             FormatText("Registering msg name, lana=%d, name='%s<%d>'", lana, netbiosName.c_str(),
                        candidate));
    const std::uint8_t code = NBAddName(lana, netbiosName, candidate, nameNumber);
    isOpen = code == platform::NRC_GOODRET;
    LogTrace(kSource, __LINE__, "CNetbiosName::Open", FormatText("Reg result: %d", code));
    // Only a taken name sends us on to the next suffix.
    if (code != platform::NRC_DUPNAME && code != platform::NRC_INUSE) break;
    everyNameTaken = candidate == suffixCandidates.back();
  }
  LogTrace(kSource, __LINE__, "CNetbiosName::Open", "Leaving...");
  return isOpen;
}

void CNetbiosName::Connect(std::string address, CConnection*& connectionOut) {
  std::uint16_t callMs = connectTimeoutMs;
  if (platform::IsHostName(address)) {
    // A host name is no NetBIOS name: the host's resolver gives its address,
    // and the node there is called as if that address had been typed.
    const auto started = std::chrono::steady_clock::now();
    address = AddressOfHost(address, std::chrono::milliseconds(connectTimeoutMs));
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    // The call has what the lookup left of the time-out, at least one unit:
    // a lookup never makes a run wait much longer than its time-out.
    callMs = static_cast<std::uint16_t>(
        std::max<std::int64_t>(connectTimeoutMs - spent.count() + kUnitMs - 1, kUnitMs));
  }
  address = NetbiosForm(std::move(address));
  std::uint8_t lsn = 0;
  const std::uint8_t code = NBCallAsy3(lana, netbiosName, nameSuffix, address, Units(callMs),
                                       Units(sessionTimeoutMs), lsn);
  if (code == platform::NRC_GOODRET) {
    auto* connection = new CNetbiosConnection(this, address, lsn);
    AddConnection(connection);
    connectionOut = connection;
    return;
  }
  if (code == platform::NRC_CMDTMO || code == platform::NRC_NOCALL) {
    throw KrAddrNotFoundErr("NBCallAsy3");
  }
  throw KrUnknownNetworkErr("NBCallAsy3");
}

void CNetbiosName::Write(CConnection& connection, PduBuffer& buffer) {
  LogTrace(kSource, __LINE__, "CNetbiosName::Write", "Entering...");
  const auto& session = static_cast<CNetbiosConnection&>(connection);
  const auto length =
      static_cast<std::uint16_t>(std::clamp<std::int32_t>(buffer.length, 0, PduBuffer::kCapacity));
  const std::uint8_t code =
      NBSend(lana, Units(sessionTimeoutMs), session.lsn, buffer.bytes, length);
  LogTrace(kSource, __LINE__, "CNetbiosName::Write",
           FormatText("NBSend returned, retcode=%d, lana=%d", code, lana));
  if (code != platform::NRC_GOODRET) {
    throw KrDataTransmissionErr("NBSend " + std::to_string(code), code);
  }
  LogTrace(kSource, __LINE__, "CNetbiosName::Write", "Leaving...");
}

void CNetbiosName::Read(CConnection& connection, PduBuffer& buffer) {
  LogTrace(kSource, __LINE__, "CNetbiosName::Read", "Entering...");
  const auto& session = static_cast<CNetbiosConnection&>(connection);
  buffer.length = PduBuffer::kCapacity;
  std::uint32_t received = PduBuffer::kCapacity;
  const std::uint8_t code =
      NBRecv(lana, Units(sessionTimeoutMs), session.lsn, buffer.bytes, received);
  LogTrace(kSource, __LINE__, "CNetbiosName::Read",
           FormatText("NBRecv returned, retcode=%d, lana=%d", code, lana));
  if (code != platform::NRC_GOODRET) {
    throw KrDataTransmissionErr("NBRecv " + std::to_string(code), code);
  }
  buffer.length =
      static_cast<std::int32_t>(std::min<std::uint32_t>(received, PduBuffer::kCapacity));
  LogTrace(kSource, __LINE__, "CNetbiosName::Read", "Leaving...");
}

void CNetbiosName::Send(CConnection& connection, CProtocolDataUnit& pdu) {
  PduBuffer buffer;
  buffer.Clear();
  pdu.Encode(buffer);
  Write(connection, buffer);
}

void CNetbiosName::Receive(CConnection& connection, CProtocolDataUnit& pdu) {
  PduBuffer buffer;
  buffer.Clear();
  buffer.length = PduBuffer::kCapacity;
  Read(connection, buffer);
  pdu.Decode(buffer);
}

void CNetbiosName::Disconnect(CConnection* connection) {
  if (connection == nullptr) return;
  NBHangup(lana, static_cast<CNetbiosConnection*>(connection)->lsn);
  RemoveConnection(connection);
}

void CNetbiosName::Listen() {
  std::uint8_t lsn = 0;
  std::string caller;
  const std::uint8_t code =
      NBListenAsy3(lana, netbiosName, Units(sessionTimeoutMs), lsn, caller, listenEvent_);
  listenEvent_.Reset();
  if (code == platform::NRC_GOODRET) {
    auto* connection = new CNetbiosConnection(this, "", lsn);
    AddConnection(connection);
    if (listener != nullptr) listener->OnConnection(connection, 0);
  } else if (NBIsEnvironmentError(code)) {
    isOpen = false;  // the worker loop registers the name again
  }
}

void CNetbiosName::Close() {
  NBDelName(lana, netbiosName, kMessengerSuffix, nameNumber);
  isOpen = false;
}

void CNetbiosName::Stop() {
  thread.RequestStop();
  // A LISTEN submitted just after a wake-up resets the event on acceptance
  // and would wait forever, so keep waking until the worker has ended.
  while (thread.IsRunning()) {
    listenEvent_.Set();
    platform::Sleep(std::chrono::milliseconds(10));
  }
  thread.Join();
}

}  // namespace lomp
