#include "platform/nbt/name_server.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/nbt/random_id.h"
#include "platform/nbt/socket_io.h"
#include "wire/name_service_wire.h"

namespace lomp::platform::nbt {
namespace {

constexpr std::size_t kMaxPacket = 1500;
constexpr std::uint16_t kNameFlagActive = 0x0400;

std::uint16_t NewTransactionId() {
  static thread_local std::mt19937 generator{RandomId()};
  return static_cast<std::uint16_t>(generator());
}

bool IsWildcard(const wire::Name16& name) {
  return name[0] == '*' && std::all_of(name.begin() + 1, name.end(), [](auto b) { return b == 0; });
}

// A UDP socket that may broadcast, bound to `address`:`port` (0: any port).
int DatagramSocket(in_addr address, std::uint16_t port, std::string& problem) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  const sockaddr_in at = SocketAddress(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    const int error = errno;
    problem = "UDP port " + std::to_string(port) +
              (error == EADDRINUSE ? " is in use by another program (another NetBIOS server?)"
                                   : std::string(": bind: ") + std::strerror(error));
    close(fd);
    return -1;
  }
  return fd;
}

void SendTo(int fd, const wire::Bytes& packet, in_addr address, std::uint16_t port) {
  const sockaddr_in to = SocketAddress(address, port);
  [[maybe_unused]] const auto sent = sendto(fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace

NameServer::NameServer(NameServerSettings settings, HeldNamesLookup names,
                       std::function<void(const std::string&)> trace)
    : settings_(settings), names_(std::move(names)), trace_(std::move(trace)) {
  in_addr at{};
  at.s_addr = htonl(settings_.bindAddress);
  fd_ = DatagramSocket(at, settings_.port, problem_);
  if (fd_ < 0) return;
  const int on = 1;
  setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    problem_ = std::string("eventfd: ") + std::strerror(errno);
    return;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    problem_ = std::string("no thread for the name service: ") + error.what();
  }
}

NameServer::~NameServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  if (wakeFd_ >= 0) close(wakeFd_);
  if (fd_ >= 0) close(fd_);
}

void NameServer::Keep(const wire::Name16& name, in_addr address, in_addr server,
                      std::chrono::seconds ttl) {
  // Refreshed at half its time, and never more often than once a minute.
  const auto every = std::max(std::chrono::seconds(60), ttl / 2);
  {
    const std::lock_guard lock(keptMutex_);
    kept_.push_back({name, address, server, every, Clock::now() + every});
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void NameServer::Forget(const wire::Name16& name, in_addr address) {
  const std::lock_guard lock(keptMutex_);
  std::erase_if(kept_, [&](const Kept& kept) {
    return kept.name == name && kept.address.s_addr == address.s_addr;
  });
}

void NameServer::RefreshDue() {
  const std::lock_guard lock(keptMutex_);
  const auto now = Clock::now();
  for (Kept& kept : kept_) {
    if (kept.next > now) continue;
    SendTo(fd_,
           wire::BuildNameRegistration(NewTransactionId(), kept.name, kept.address.s_addr,
                                       settings_.ttlSeconds, wire::RegistrationMode::Refresh),
           kept.server, settings_.port);
    kept.next = now + kept.every;
  }
}

void NameServer::Run() {
  for (;;) {
    int timeoutMs = -1;
    {
      const std::lock_guard lock(keptMutex_);
      for (const Kept& kept : kept_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(kept.next - Clock::now()).count();
        const int ms = static_cast<int>(std::clamp<long long>(left, 0, 3'600'000));
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
      }
    }
    pollfd watched[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(watched, 2, timeoutMs) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) {
      std::uint64_t value = 0;
      [[maybe_unused]] const auto got = read(wakeFd_, &value, sizeof value);
      if (stopping_) return;
    }
    RefreshDue();
    // A bounded batch, then the wake-up is looked at again.
    for (int batch = 0; batch < 64; ++batch) {
      std::uint8_t packet[kMaxPacket];
      sockaddr_in from{};
      alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
      iovec part{packet, sizeof packet};
      msghdr message{};
      message.msg_name = &from;
      message.msg_namelen = sizeof from;
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t count = recvmsg(fd_, &message, MSG_DONTWAIT);
      if (count < 0) break;
      int interfaceIndex = 0;
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
           header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
          in_pktinfo info{};
          std::memcpy(&info, CMSG_DATA(header), sizeof info);
          interfaceIndex = info.ipi_ifindex;
        }
      }
      Answer(packet, static_cast<std::size_t>(count), from, interfaceIndex);
    }
  }
}

void NameServer::Answer(const std::uint8_t* packet, std::size_t size, const sockaddr_in& from,
                        int interfaceIndex) {
  const auto request = wire::ParseNameRequest(std::span(packet, size));
  if (!request) return;
  char interfaceName[IF_NAMESIZE] = {};
  if (interfaceIndex <= 0 ||
      if_indextoname(static_cast<unsigned>(interfaceIndex), interfaceName) == nullptr) {
    return;
  }
  const std::optional<HeldNames> held = names_(interfaceName);
  // Our own broadcasts come back to us: they are not questions.
  if (!held || from.sin_addr.s_addr == held->address.s_addr) return;
  const bool ours =
      std::find(held->names.begin(), held->names.end(), request->name) != held->names.end();
  const std::uint16_t port = ntohs(from.sin_port);
  using Kind = wire::NameRequest::Kind;
  switch (request->kind) {
    case Kind::Query:
      if (ours) {
        SendTo(fd_,
               wire::BuildPositiveQueryResponse(request->transactionId, request->name,
                                                held->address.s_addr, settings_.ttlSeconds),
               from.sin_addr, port);
      }
      return;
    case Kind::Status: {
      if (!ours && !IsWildcard(request->name)) return;
      std::vector<wire::NodeStatusName> table;
      for (const wire::Name16& name : held->names) table.push_back({name, kNameFlagActive});
      SendTo(fd_, wire::BuildNodeStatusResponse(request->transactionId, request->name, table),
             from.sin_addr, port);
      return;
    }
    case Kind::Registration:
      if (ours && request->address != held->address.s_addr) {
        if (trace_) {
          trace_("Name service: " + AddressText(from.sin_addr) + " tried to register " +
                 wire::NameWithSuffix(request->name) + ", which is ours; refused");
        }
        SendTo(fd_,
               wire::BuildNameConflictResponse(request->transactionId, request->name,
                                               request->address),
               from.sin_addr, port);
      }
      return;
    case Kind::Release: return;
  }
}

Registration RegisterOnSubnet(const LanaAddress& lana, const wire::Name16& name,
                              const NameServerSettings& settings) {
  Registration result;
  const int fd = DatagramSocket(lana.address, 0, result.problem);
  if (fd < 0) return result;
  const std::uint16_t id = NewTransactionId();
  const wire::Bytes request = wire::BuildNameRegistration(
      id, name, lana.address.s_addr, settings.ttlSeconds, wire::RegistrationMode::Broadcast);
  for (int attempt = 0; attempt < settings.registrationTries && result.owner.empty(); ++attempt) {
    SendTo(fd, request, lana.broadcast, settings.port);
    const auto until = Clock::now() + settings.registrationInterval;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      pollfd ready{fd, POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
      std::uint8_t packet[kMaxPacket];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t count = recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
      if (count <= 0) continue;
      const auto answer = wire::ParseRegistrationAnswer(
          std::span(packet, static_cast<std::size_t>(count)), id, name);
      if (answer.kind != wire::RegistrationAnswer::Kind::Negative) continue;
      // The answer echoes our own address; the owner is who sent it.
      result.owner = AddressText(from.sin_addr);
      break;
    }
  }
  if (result.owner.empty()) {
    SendTo(fd,
           wire::BuildNameRegistration(id, name, lana.address.s_addr, settings.ttlSeconds,
                                       wire::RegistrationMode::Overwrite),
           lana.broadcast, settings.port);
    result.registered = true;
  }
  close(fd);
  return result;
}

ServerRegistration RegisterWithServer(const LanaAddress& lana, const wire::Name16& name,
                                      in_addr server, int tries, std::chrono::milliseconds interval,
                                      std::chrono::milliseconds waitLimit,
                                      const NameServerSettings& settings) {
  ServerRegistration result;
  std::string problem;
  const int fd = DatagramSocket(lana.address, 0, problem);
  if (fd < 0) return result;
  const std::uint16_t id = NewTransactionId();
  const wire::Bytes request = wire::BuildNameRegistration(
      id, name, lana.address.s_addr, settings.ttlSeconds, wire::RegistrationMode::Unicast);
  const auto waitUntil = Clock::now() + waitLimit;
  for (int attempt = 0; attempt < tries && !result.answered; ++attempt) {
    SendTo(fd, request, server, settings.port);
    auto until = Clock::now() + interval;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      pollfd ready{fd, POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
      std::uint8_t packet[kMaxPacket];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t count = recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
      if (count <= 0 || from.sin_addr.s_addr != server.s_addr) continue;
      const auto answer = wire::ParseRegistrationAnswer(
          std::span(packet, static_cast<std::size_t>(count)), id, name);
      using Kind = wire::RegistrationAnswer::Kind;
      if (answer.kind == Kind::Wait) {
        // The server asks the name's owner first: wait as it says, within our limit.
        until = std::min(waitUntil, Clock::now() + std::chrono::seconds(answer.ttl));
        continue;
      }
      if (answer.kind == Kind::Unrelated) continue;
      result.answered = true;
      result.registered = answer.kind == Kind::Positive;
      result.ttl = std::chrono::seconds(answer.ttl);
      if (!result.registered) {
        result.refusal =
            "the WINS server " + AddressText(server) +
            (answer.rcode == 6 ? " says another node holds it"
                               : " refused it (code " + std::to_string(answer.rcode) + ")");
      }
      break;
    }
  }
  close(fd);
  return result;
}

void ReleaseWithServer(const LanaAddress& lana, const wire::Name16& name, in_addr server,
                       const NameServerSettings& settings) {
  std::string problem;
  const int fd = DatagramSocket(lana.address, 0, problem);
  if (fd < 0) return;
  SendTo(fd, wire::BuildNameRelease(NewTransactionId(), name, lana.address.s_addr, false), server,
         settings.port);
  close(fd);
}

void ReleaseOnSubnet(const LanaAddress& lana, const wire::Name16& name,
                     const NameServerSettings& settings) {
  std::string problem;
  const int fd = DatagramSocket(lana.address, 0, problem);
  if (fd < 0) return;
  SendTo(fd, wire::BuildNameRelease(NewTransactionId(), name, lana.address.s_addr, true),
         lana.broadcast, settings.port);
  close(fd);
}

}  // namespace lomp::platform::nbt
