#include "platform/nbt/udp_mailslot_service.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "platform/code_page.h"
#include "platform/identity.h"
#include "platform/nbt/random_id.h"
#include "platform/samba_config.h"
#include "wire/mailslot_wire.h"

namespace lomp::platform::nbt {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

wire::Name16 GroupName(const std::string& text, std::uint8_t suffix) {
  wire::Name16 name;
  name.fill(' ');
  std::memcpy(name.data(), text.data(), std::min<std::size_t>(text.size(), 15));
  name[15] = suffix;
  return name;
}

// A socket for sending datagrams from `address`: from the datagram port when
// it is free, else from any port (the datagram names the port it came from).
int SenderSocket(in_addr address, std::uint16_t preferredPort, std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  local.sin_port = htons(preferredPort);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  port = ntohs(local.sin_port);
  return fd;
}

}  // namespace

UdpMailslotSettings StandardMailslotSettings() {
  UdpMailslotSettings settings;
  const SambaConfig& config = HostSambaConfig();
  settings.workgroup = config.workgroup;
  settings.interfaces = config.interfaces;
  std::string computer = HostComputerName().value_or("");
  computer = ProcessConsole().ToAnsi(computer).substr(0, 15);
  AnsiToUpperInPlace(computer);
  AnsiToOemInPlace(computer);
  settings.computerName = computer;
  return settings;
}

UdpMailslotService::UdpMailslotService(UdpMailslotSettings settings)
    : settings_(std::move(settings)), nextDatagramId_(static_cast<std::uint16_t>(RandomId())) {}

UdpMailslotService::~UdpMailslotService() {
  if (receiver_ >= 0) close(receiver_);
}

MailslotHandle UdpMailslotService::OpenClient(const std::string& path) {
  std::string server;
  std::string mailslot;
  if (!SplitMailslotPath(path, server, mailslot) || server == ".") return kInvalidMailslotHandle;
  // Without a LANA there is nowhere to send to.
  std::vector<LanaAddress> lanas =
      settings_.lanas ? settings_.lanas() : ListLanaAddresses(settings_.interfaces);
  if (lanas.empty()) return kInvalidMailslotHandle;
  if (server == "*") server = settings_.workgroup;
  const std::lock_guard lock(mutex_);
  const MailslotHandle handle = nextHandle_++;
  clients_[handle] = Client{server, mailslot, std::move(lanas)};
  return handle;
}

bool UdpMailslotService::Write(MailslotHandle handle, const std::uint8_t* data,
                               std::uint32_t length, std::uint32_t& written) {
  written = 0;
  wire::MailslotDatagram datagram;
  std::vector<LanaAddress> lanas;
  {
    const std::lock_guard lock(mutex_);
    const auto client = clients_.find(handle);
    if (client == clients_.end()) return false;
    lanas = client->second.lanas;
    datagram.mailslot = client->second.mailslot;
    datagram.destination = GroupName(client->second.server, 0x00);
    datagram.datagramId = nextDatagramId_++;
  }
  datagram.type = wire::kDirectGroup;
  datagram.source = GroupName(settings_.computerName, 0x00);
  datagram.data.assign(data, data + length);

  bool sent = false;
  for (const LanaAddress& lana : lanas) {
    std::uint16_t port = 0;
    const int fd = SenderSocket(lana.address, settings_.datagramPort, port);
    if (fd < 0) continue;
    datagram.sourceAddress = lana.address.s_addr;
    datagram.sourcePort = port;
    const auto packet = wire::BuildMailslotDatagram(datagram);
    if (packet) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr = lana.broadcast;
      to.sin_port = htons(settings_.datagramPort);
      const ssize_t count = sendto(fd, packet->data(), packet->size(), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to);
      sent = sent || count == static_cast<ssize_t>(packet->size());
    }
    close(fd);
  }
  if (sent) written = length;
  return sent;
}

MailslotHandle UdpMailslotService::Create(const std::string& path, std::uint32_t maxMessageSize) {
  std::string server;
  std::string mailslot;
  if (!SplitMailslotPath(path, server, mailslot) || server != ".") return kInvalidMailslotHandle;
  mailslot = Upper(mailslot);

  // One owner per mailslot name on this host (and network namespace).
  NameClaim owner;
  if (owner.Claim(settings_.registryPrefix + "-" + mailslot, settings_.registryFolder) !=
      ClaimResult::Claimed) {
    return kInvalidMailslotHandle;
  }

  const std::lock_guard lock(mutex_);
  if (!BindReceiverLocked().empty()) return kInvalidMailslotHandle;
  const MailslotHandle handle = nextHandle_++;
  locals_[handle] = Local{mailslot, maxMessageSize, {}, std::move(owner)};
  return handle;
}

std::string UdpMailslotService::BindReceiverLocked() {
  if (receiver_ >= 0) return {};
  const std::string port = "UDP port " + std::to_string(settings_.datagramPort);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return port + ": socket: " + std::strerror(errno);
  const int on = 1;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);  // broadcasts reach only a wildcard socket
  any.sin_port = htons(settings_.datagramPort);
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    const int error = errno;
    close(fd);
    return port + (error == EADDRINUSE ? " is in use by another program (another NetBIOS server?)"
                                       : std::string(": bind: ") + std::strerror(error));
  }
  receiver_ = fd;
  return {};
}

std::string UdpMailslotService::PrepareToListen() {
  const std::lock_guard lock(mutex_);
  return BindReceiverLocked();
}

std::string UdpMailslotService::NextSource(MailslotHandle handle) {
  const std::lock_guard lock(mutex_);
  const auto local = locals_.find(handle);
  if (local == locals_.end()) return {};
  DrainLocked();
  return local->second.messages.empty() ? std::string() : local->second.messages.front().source;
}

bool UdpMailslotService::AddressedToUs(const wire::Name16& destination, std::uint8_t type) const {
  if (destination == GroupName(settings_.workgroup, 0x00)) return type != wire::kDirectUnique;
  if (settings_.ownsName && settings_.ownsName(destination)) return true;
  return wire::NameText(destination) == settings_.computerName && !settings_.computerName.empty();
}

void UdpMailslotService::DrainLocked() {
  if (receiver_ < 0) return;
  for (;;) {
    std::uint8_t packet[2048];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t count = recvfrom(receiver_, packet, sizeof packet, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0) return;
    const auto datagram =
        wire::ParseMailslotDatagram(std::span(packet, static_cast<std::size_t>(count)));
    if (!datagram || !AddressedToUs(datagram->destination, datagram->type)) continue;
    const std::string mailslot = Upper(datagram->mailslot);
    for (auto& [handle, local] : locals_) {
      if (local.mailslot != mailslot) continue;
      if (datagram->data.size() > local.maxMessageSize ||
          local.messages.size() >= settings_.maxQueuedMessages) {
        continue;
      }
      local.messages.push_back({datagram->data, AddressText(from.sin_addr)});
    }
  }
}

bool UdpMailslotService::GetInfo(MailslotHandle handle, std::uint32_t& nextSize,
                                 std::uint32_t& count) {
  const std::lock_guard lock(mutex_);
  const auto local = locals_.find(handle);
  if (local == locals_.end()) return false;
  DrainLocked();
  count = static_cast<std::uint32_t>(local->second.messages.size());
  nextSize = count > 0 ? static_cast<std::uint32_t>(local->second.messages.front().data.size()) : 0;
  return true;
}

bool UdpMailslotService::Read(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
                              std::uint32_t& read) {
  read = 0;
  const std::lock_guard lock(mutex_);
  const auto local = locals_.find(handle);
  if (local == locals_.end()) return false;
  DrainLocked();
  auto& messages = local->second.messages;
  if (messages.empty() || messages.front().data.size() > capacity) return false;
  const wire::Bytes& data = messages.front().data;
  std::memcpy(buffer, data.data(), data.size());
  read = static_cast<std::uint32_t>(data.size());
  messages.pop_front();
  return true;
}

void UdpMailslotService::Close(MailslotHandle handle) {
  const std::lock_guard lock(mutex_);
  clients_.erase(handle);
  const auto local = locals_.find(handle);
  if (local == locals_.end()) return;
  locals_.erase(local);
  if (locals_.empty() && receiver_ >= 0) {
    close(receiver_);
    receiver_ = -1;
  }
}

}  // namespace lomp::platform::nbt
