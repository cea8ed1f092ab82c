// LANAs: the IPv4 interfaces NetBIOS runs on, and which addresses a session
// from one of them may go to.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace lomp::platform::nbt {

struct LanaAddress {
  std::string interfaceName;
  in_addr address{};
  in_addr broadcast{};
};

// The IPv4 interfaces that make LANAs, in the kernel's order: up, not
// loopback, with a broadcast address. When `interfaces` is not empty only
// the interfaces it names count, as Samba's `interfaces` setting names them:
// by interface name (shell patterns allowed), by address, or by network
// ("10.1.2.0/24", "10.1.2.0/255.255.255.0").
std::vector<LanaAddress> ListLanaAddresses(const std::vector<std::string>& interfaces = {});

// Whether `lana` is one that an entry of Samba's `interfaces` names.
bool InterfaceListed(const LanaAddress& lana, const std::vector<std::string>& interfaces);

// Whether a session may be made to `address` from `lana`: never to an
// unspecified, broadcast, multicast or reserved address, and to loopback
// only from a loopback LANA. Name answers and RETARGET targets come from the
// network, so any host could otherwise point us at ourselves.
bool IsSessionTarget(in_addr address, const LanaAddress& lana);

// Dotted text of an address.
std::string AddressText(in_addr address);

}  // namespace lomp::platform::nbt
