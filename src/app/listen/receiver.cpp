#include "app/listen/receiver.h"

#include <algorithm>
#include <cstdio>

#include "app/listen/listen_options.h"
#include "mailslot/mailslot_port.h"
#include "netbios/name_port.h"
#include "netbios/ncb_commands.h"
#include "platform/local_time.h"
#include "platform/mailslot.h"
#include "platform/netbios.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"
#include "smb/messenger_server.h"

namespace lomp {
namespace {

using Clock = std::chrono::steady_clock;

// How many addresses the rate table remembers; beyond it the quiet ones go.
constexpr std::size_t kMaxRememberedAddresses = 4096;

// The fields of a group message: sender, recipient and text, each ended by
// a NUL (the last one may be missing).
bool SplitGroupMessage(const PduBuffer& buffer, std::string& from, std::string& to,
                       std::string& text) {
  const std::int32_t length = std::clamp(buffer.length, 0, PduBuffer::kCapacity);
  const auto* begin = reinterpret_cast<const char*>(buffer.bytes);
  const std::string data(begin, begin + length);
  const auto first = data.find('\0');
  if (first == std::string::npos) return false;
  const auto second = data.find('\0', first + 1);
  if (second == std::string::npos) return false;
  from = data.substr(0, first);
  to = data.substr(first + 1, second - first - 1);
  text = data.substr(second + 1);
  if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
  return !from.empty();
}

}  // namespace

std::string RecordTime() {
  const platform::SystemTime now = platform::GetLocalTime();
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{now.year},
                unsigned{now.month}, unsigned{now.day}, unsigned{now.hour}, unsigned{now.minute},
                unsigned{now.second});
  return text;
}

Receiver::Receiver(MessageDestination& destination, std::vector<std::string> names,
                   std::ostream& diagnostics, ReceiverLimits limits)
    : destination_(destination),
      names_(std::move(names)),
      diagnostics_(diagnostics),
      limits_(limits) {}

Receiver::~Receiver() {
  Stop();
}

namespace {

// "10.1.2.3": a sender that called us by our address writes it as the
// recipient; the session it reached is ours all the same.
bool IsDottedAddress(const std::string& text) {
  int parts = 0;
  int digits = 0;
  int value = 0;
  for (const char c : text + ".") {
    if (c == '.') {
      if (digits == 0 || value > 255 || ++parts > 4) return false;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      value = value * 10 + (c - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4;
}

}  // namespace

bool Receiver::IsOurName(const std::string& ansi) {
  if (IsDottedAddress(ansi)) return true;
  const std::string name = ReceivingNameForm(ansi);
  const std::lock_guard lock(namesMutex_);
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

void Receiver::AddName(const std::string& name) {
  const std::lock_guard lock(namesMutex_);
  if (std::find(names_.begin(), names_.end(), name) == names_.end()) names_.push_back(name);
}

void Receiver::RemoveName(const std::string& name) {
  const std::lock_guard lock(namesMutex_);
  names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
}

void Receiver::Say(const std::string& line) {
  const std::lock_guard lock(sayMutex_);
  diagnostics_ << "lomp: " << AnsiToConsole(line) << "\n";
  diagnostics_.flush();
}

void Receiver::OnConnection(CConnection* connection, int /*value*/) {
  if (auto* datagram = dynamic_cast<CMailslotConnection*>(connection)) {
    TakeDatagram(*datagram);
    datagram->Disconnect();
    return;
  }
  auto* session = dynamic_cast<CNetbiosConnection*>(connection);
  if (session == nullptr) {
    if (connection != nullptr) connection->Disconnect();
    return;
  }
  const auto* port = static_cast<CNetbiosName*>(session->port);
  const std::string address = platform::NetbiosSessionPeer(port->lana, session->lsn);
  const std::lock_guard lock(mutex_);
  ReapLocked();
  const auto fromThere =
      std::count_if(sessions_.begin(), sessions_.end(),
                    [&](const Served& served) { return served.address == address; });
  if (stopping_ || sessions_.size() >= limits_.maxSessions ||
      static_cast<std::size_t>(fromThere) >= limits_.maxSessionsPerAddress) {
    session->Disconnect();
    return;
  }
  Served& served = sessions_.emplace_back();
  served.connection = session;
  served.lana = port->lana;
  served.lsn = session->lsn;
  served.address = address;
  try {
    served.thread = std::thread([this, &served] { Serve(served); });
  } catch (const std::system_error&) {
    // No thread to be had: the caller is turned away and may call again.
    session->Disconnect();
    sessions_.pop_back();
  }
}

void Receiver::ReapLocked() {
  for (auto at = sessions_.begin(); at != sessions_.end();) {
    if (!at->done) {
      ++at;
      continue;
    }
    at->thread.join();
    at = sessions_.erase(at);
  }
}

void Receiver::Serve(Served& served) {
  CNetbiosConnection& connection = *served.connection;
  MessengerServerSession server([this](const std::string& to) { return IsOurName(to); },
                                limits_.maxTextBytes, connection.lsn);
  const auto ends = Clock::now() + limits_.sessionTime;
  while (!stopping_ && Clock::now() < ends) {
    PduBuffer request;
    request.Clear();
    try {
      connection.Read(request);
    } catch (const KrDataTransmissionErr&) {
      break;  // the sender hung up, broke the session, sent too much or went idle
    }
    MessengerServerSession::Step step = server.Handle(request);
    if (step.message) {
      ReceivedMessage message{std::move(step.message->from),
                              std::move(step.message->to),
                              std::move(step.message->text),
                              MessageKind::Personal,
                              served.address,
                              RecordTime(),
                              step.message->cut};
      // The sender hears the message was delivered only once it is kept.
      if (!Admit(served.address) || !destination_.Take(message)) {
        step.reply = MessengerServerSession::Refusal(request, kErrorNoRoom);
      }
    }
    try {
      connection.Write(step.reply);
    } catch (const KrDataTransmissionErr&) {
      break;
    }
  }
  connection.Disconnect();
  served.done = true;
}

void Receiver::TakeDatagram(CMailslotConnection& connection) {
  const std::string address = platform::NextMailslotSource(connection.handle);
  PduBuffer buffer;
  buffer.Clear();
  connection.Read(buffer);
  std::string from;
  std::string to;
  std::string text;
  if (stopping_ || !SplitGroupMessage(buffer, from, to, text)) return;
  if (!Admit(address)) return;
  ReceivedMessage message{ReadableText(from),
                          ReadableText(to),
                          ReadableText(text),
                          MessageKind::Group,
                          address,
                          RecordTime(),
                          false};
  if (!destination_.Take(message)) Say("a group message from " + address + " could not be kept");
}

bool Receiver::Admit(const std::string& address) {
  const auto now = Clock::now();
  std::string notice;
  bool admitted = false;
  {
    const std::lock_guard lock(mutex_);
    if (rates_.size() >= kMaxRememberedAddresses && !rates_.count(address)) {
      // Forget the addresses that are full again: they would start full anyway.
      std::erase_if(rates_, [&](const auto& entry) {
        const double seconds = std::chrono::duration<double>(now - entry.second.refilled).count();
        return entry.second.tokens + seconds * limits_.perSecond >= limits_.burst &&
               entry.second.dropped == 0;
      });
    }
    auto [at, added] = rates_.try_emplace(address);
    Rate& rate = at->second;
    if (added) {
      rate.tokens = limits_.burst;
      rate.refilled = now;
      rate.noticed = now - limits_.dropNoticeEvery;
    }
    const double seconds = std::chrono::duration<double>(now - rate.refilled).count();
    rate.tokens = std::min(limits_.burst, rate.tokens + seconds * limits_.perSecond);
    rate.refilled = now;
    if (rate.tokens >= 1) {
      rate.tokens -= 1;
      admitted = true;
    } else {
      ++rate.dropped;
      ++dropped_;
      if (now - rate.noticed >= limits_.dropNoticeEvery) {
        notice = std::to_string(rate.dropped) + " message(s) from " +
                 (address.empty() ? std::string("an unknown address") : address) +
                 " dropped: more than " + std::to_string(static_cast<int>(limits_.perSecond)) +
                 " a second";
        rate.dropped = 0;
        rate.noticed = now;
      }
    }
  }
  if (!notice.empty()) Say(notice);
  return admitted;
}

void Receiver::Stop() {
  stopping_ = true;
  std::list<Served> sessions;
  {
    const std::lock_guard lock(mutex_);
    // A session waiting for its sender's next request ends at once.
    for (Served& served : sessions_) {
      if (!served.done) NBHangup(served.lana, served.lsn);
    }
    sessions.splice(sessions.end(), sessions_);
  }
  for (Served& served : sessions) {
    if (served.thread.joinable()) served.thread.join();
  }
  std::size_t unsaid = 0;
  {
    const std::lock_guard lock(mutex_);
    for (auto& [address, rate] : rates_) unsaid += std::exchange(rate.dropped, 0);
  }
  if (unsaid > 0) Say(std::to_string(unsaid) + " more message(s) dropped for their senders' rate");
}

}  // namespace lomp
