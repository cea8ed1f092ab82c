// The name service as a node that owns names sees it: the requests other
// nodes send (queries, node status, registrations and releases) and the
// answers a B-node gives; and the registration and release of its own names.
// Pure functions: no sockets. Requests come from the network: every read is
// checked, nothing is believed beyond the bytes at hand.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/nbt_wire.h"

namespace lomp::wire {

struct NameRequest {
  enum class Kind { Query, Status, Registration, Release };
  Kind kind = Kind::Query;
  std::uint16_t transactionId = 0;
  bool broadcast = false;
  Name16 name{};
  // Registration and release: the address the sender claims or gives up
  // (network byte order).
  std::uint32_t address = 0;
};

// A request of another node; nullopt for a response, a malformed message or
// an operation a B-node does not answer.
std::optional<NameRequest> ParseNameRequest(std::span<const std::uint8_t> message);

// POSITIVE NAME QUERY RESPONSE: `name` is this node's unique name at
// `address` (network byte order).
Bytes BuildPositiveQueryResponse(std::uint16_t transactionId, const Name16& name,
                                 std::uint32_t address, std::uint32_t ttl);

// NODE STATUS RESPONSE listing `names` (at most 255 are sent), to the
// request that asked about `asked`.
Bytes BuildNodeStatusResponse(std::uint16_t transactionId, const Name16& asked,
                              const std::vector<NodeStatusName>& names);

// NAME REGISTRATION REQUEST of the unique `name` at `address`: broadcast to
// the subnet, unicast to a name server, or the B-node's closing OVERWRITE
// DEMAND once nobody objected.
// A name server is told this node is an H-node (it asks the server first,
// then broadcasts); REFRESH renews a registration with the server.
enum class RegistrationMode { Broadcast, Unicast, Overwrite, Refresh };
Bytes BuildNameRegistration(std::uint16_t transactionId, const Name16& name, std::uint32_t address,
                            std::uint32_t ttl, RegistrationMode mode);

// NAME RELEASE REQUEST of `name` at `address`, broadcast or to a name server.
Bytes BuildNameRelease(std::uint16_t transactionId, const Name16& name, std::uint32_t address,
                       bool broadcast);

// NEGATIVE NAME REGISTRATION RESPONSE with ACT_ERR: the sender of the
// response holds `name` and defends it. Its record echoes the address of the
// refused request, `requester` (network byte order), as owners answer.
Bytes BuildNameConflictResponse(std::uint16_t transactionId, const Name16& name,
                                std::uint32_t requester);

struct RegistrationAnswer {
  enum class Kind {
    Unrelated,  // not an answer to this registration, or malformed
    Positive,   // a name server registered it
    Negative,   // refused; `rcode` says why (6: another node owns it)
    Wait,       // WAIT FOR ACKNOWLEDGEMENT: the server asks the owner
  };
  Kind kind = Kind::Unrelated;
  std::uint8_t rcode = 0;
  std::uint32_t address = 0;  // the address in the answer's record (network order), 0 if none
  std::uint32_t ttl = 0;      // Positive: how long the registration holds; Wait: seconds to wait
};

// Reads `message` as an answer to the registration `transactionId` of `name`.
RegistrationAnswer ParseRegistrationAnswer(std::span<const std::uint8_t> message,
                                           std::uint16_t transactionId, const Name16& name);

}  // namespace lomp::wire
