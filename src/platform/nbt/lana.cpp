#include "platform/nbt/lana.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <charconv>
#include <optional>
#include <string_view>

namespace lomp::platform::nbt {
namespace {

std::optional<std::uint32_t> HostOrderAddress(std::string_view text) {
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

// A mask written as a prefix length or as a dotted mask.
std::optional<std::uint32_t> Mask(std::string_view text) {
  unsigned bits = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits);
  if (error == std::errc() && end == text.data() + text.size()) {
    if (bits > 32) return std::nullopt;
    return bits == 0 ? 0u : ~0u << (32 - bits);
  }
  return HostOrderAddress(text);
}

bool EntryNames(const LanaAddress& lana, std::string_view entry) {
  // Samba allows options after a semicolon ("eth0;speed=1000").
  entry = entry.substr(0, entry.find(';'));
  if (entry.empty()) return false;
  const std::uint32_t own = ntohl(lana.address.s_addr);
  if (const auto slash = entry.find('/'); slash != std::string_view::npos) {
    const auto network = HostOrderAddress(entry.substr(0, slash));
    const auto mask = Mask(entry.substr(slash + 1));
    return network && mask && (own & *mask) == (*network & *mask);
  }
  if (const auto address = HostOrderAddress(entry)) return own == *address;
  const std::string pattern(entry);
  return fnmatch(pattern.c_str(), lana.interfaceName.c_str(), 0) == 0;
}

}  // namespace

bool InterfaceListed(const LanaAddress& lana, const std::vector<std::string>& interfaces) {
  for (const std::string& entry : interfaces) {
    if (EntryNames(lana, entry)) return true;
  }
  return false;
}

std::vector<LanaAddress> ListLanaAddresses(const std::vector<std::string>& interfaces) {
  std::vector<LanaAddress> lanas;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return lanas;
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
    if (!(item->ifa_flags & IFF_UP) || (item->ifa_flags & IFF_LOOPBACK) ||
        !(item->ifa_flags & IFF_BROADCAST) || item->ifa_broadaddr == nullptr) {
      continue;
    }
    LanaAddress lana;
    lana.interfaceName = item->ifa_name;
    lana.address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr;
    lana.broadcast = reinterpret_cast<const sockaddr_in*>(item->ifa_broadaddr)->sin_addr;
    if (interfaces.empty() || InterfaceListed(lana, interfaces)) lanas.push_back(lana);
  }
  freeifaddrs(list);
  return lanas;
}

bool IsSessionTarget(in_addr address, const LanaAddress& lana) {
  const std::uint32_t host = ntohl(address.s_addr);
  const bool loopbackLana = ntohl(lana.address.s_addr) >> 24 == 127;
  if (host >> 24 == 0) return false;               // "this network", unspecified
  if (host >> 24 == 127) return loopbackLana;      // this machine
  if (host >= 0xE0000000) return false;            // multicast, reserved, broadcast
  return address.s_addr != lana.broadcast.s_addr;  // the LANA's own broadcast
}

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace lomp::platform::nbt
