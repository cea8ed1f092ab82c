// Byte layout of a mailslot write as it crosses the network: an SMB
// TRANSACTION (class 2 mailslot write) inside a NetBIOS datagram on UDP 138.
// Pure functions; everything parsed here is untrusted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "wire/nbt_wire.h"

namespace lomp::wire {

inline constexpr std::uint8_t kDirectUnique = 0x10;
inline constexpr std::uint8_t kDirectGroup = 0x11;
inline constexpr std::uint8_t kBroadcastDatagram = 0x12;
// The whole UDP payload we send or accept (RFC 1002's datagram limit).
inline constexpr std::size_t kMaxDatagramSize = 576;

struct MailslotDatagram {
  std::uint8_t type = kDirectGroup;
  std::uint16_t datagramId = 0;
  std::uint32_t sourceAddress = 0;  // network byte order
  std::uint16_t sourcePort = 138;
  Name16 source{};
  Name16 destination{};
  std::string mailslot;  // "\MAILSLOT\MESSNGR"
  Bytes data;            // what the writer wrote
};

// The datagram, or nullopt when it would be larger than kMaxDatagramSize.
std::optional<Bytes> BuildMailslotDatagram(const MailslotDatagram& datagram);

// A whole (unfragmented) direct or broadcast datagram carrying a mailslot
// write; nullopt for anything else or anything malformed.
std::optional<MailslotDatagram> ParseMailslotDatagram(std::span<const std::uint8_t> packet);

}  // namespace lomp::wire
