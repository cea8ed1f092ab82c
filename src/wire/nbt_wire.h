// Byte layouts of NetBIOS over TCP/IP: encoded names, the name service's
// NAME QUERY, and the session service's frames. Pure functions: no sockets.
//
// Everything decoded here comes from the network and is untrusted: every
// read is bounds-checked, label pointers are followed a bounded number of
// times, and lengths are never believed beyond the bytes at hand.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lomp::wire {

using Bytes = std::vector<std::uint8_t>;
using Name16 = std::array<std::uint8_t, 16>;  // 15 bytes of text and the suffix

// The suffix of a Messenger's name: the one personal messages are sent to.
inline constexpr std::uint8_t kMessengerSuffix = 0x03;

inline constexpr std::size_t kEncodedNameSize = 34;  // 0x20, 32 letters, 0x00

// Appends a 16-bit value in network byte order, as every NetBIOS field is.
void AppendBig16(Bytes& out, std::uint16_t value);

// Big-endian reads of a message's fields; false, and `offset` unchanged,
// when the field runs past the end.
bool ReadBig16(std::span<const std::uint8_t> message, std::size_t& offset, std::uint16_t& value);
bool ReadBig32(std::span<const std::uint8_t> message, std::size_t& offset, std::uint32_t& value);

// Second-level form of a name without scope: 0x20, the 32 first-level
// letters ('A' + high nibble, 'A' + low nibble per byte), 0x00.
void AppendEncodedName(Bytes& out, const Name16& name);

// Reads an encoded name at `offset` of a name service message, following
// label pointers. Returns the 16 name bytes and moves `offset` past the name
// as it stands at `offset`; nullopt for anything malformed (scope labels are
// accepted and skipped).
std::optional<Name16> ReadEncodedName(std::span<const std::uint8_t> message, std::size_t& offset);

// --- name service (UDP 137) -------------------------------------------------

// A NAME QUERY REQUEST for `name` (50 bytes): broadcast on a subnet (B-node)
// or unicast to a name server, both asking for recursion.
enum class QueryMode { Broadcast, Unicast };
Bytes BuildNameQuery(std::uint16_t transactionId, const Name16& name,
                     QueryMode mode = QueryMode::Broadcast);

// What a name service message says about a query of ours.
struct NameQueryAnswer {
  enum class Kind {
    Unrelated,  // not an answer to this query, or malformed
    Positive,   // `address` owns the name as a unique name
    Negative,   // the name does not exist (a name server's RCODE in `rcode`)
    Wait,       // WAIT FOR ACKNOWLEDGEMENT: ask again after `ttl` seconds
  };
  Kind kind = Kind::Unrelated;
  std::uint32_t address = 0;  // network byte order
  std::uint8_t rcode = 0;
  std::uint32_t ttl = 0;
};

// Reads `message` as an answer to the query `transactionId` about `name`.
// A positive answer names the first unique-name entry; one with only group
// entries is Unrelated, as a group cannot take a session.
NameQueryAnswer ParseNameQueryAnswer(std::span<const std::uint8_t> message,
                                     std::uint16_t transactionId, const Name16& name);

// --- node status ------------------------------------------------------------

inline constexpr std::uint16_t kNameFlagGroup = 0x8000;

struct NodeStatusName {
  Name16 name{};
  std::uint16_t flags = 0;  // NAME_FLAGS: G, ONT, DRG, CNF, ACT, PRM
};

// A unicast NODE STATUS REQUEST for the wildcard name "*" (50 bytes).
Bytes BuildNodeStatusRequest(std::uint16_t transactionId);

// The name table of a NODE STATUS RESPONSE to `transactionId`; nullopt for
// anything else or anything malformed.
std::optional<std::vector<NodeStatusName>> ParseNodeStatusResponse(
    std::span<const std::uint8_t> message, std::uint16_t transactionId);

// The name a Messenger session to this node is called by: the unique <03>
// name equal to its unique <00> name (the computer's), else the first
// unique <03> name; nullopt when the node has no unique <03> name.
std::optional<Name16> MessengerName(const std::vector<NodeStatusName>& names);

// The name as the NetBIOS tools print it: "FAR<03>"; a control byte or a
// backslash in it shows as \xNN ("A\x1B<03>").
std::string NameWithSuffix(const Name16& name);

// --- session service (TCP 139) ----------------------------------------------

inline constexpr std::uint8_t kSessionMessage = 0x00;
inline constexpr std::uint8_t kSessionRequest = 0x81;
inline constexpr std::uint8_t kPositiveResponse = 0x82;
inline constexpr std::uint8_t kNegativeResponse = 0x83;
inline constexpr std::uint8_t kRetargetResponse = 0x84;
inline constexpr std::uint8_t kKeepAlive = 0x85;
inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::uint32_t kMaxFrameLength = 0x1FFFF;

struct FrameHeader {
  std::uint8_t type = 0;
  std::uint32_t length = 0;  // bytes after the header, 0..131071
};

// Decodes a 4-byte frame header (the extension flag 0x01 adds 65536).
// Nullopt when reserved flag bits are set.
std::optional<FrameHeader> ParseFrameHeader(std::span<const std::uint8_t, 4> header);

// A SESSION REQUEST from `calling` to `called` (72 bytes).
Bytes BuildSessionRequest(const Name16& called, const Name16& calling);

// The header of a SESSION MESSAGE carrying `length` bytes (at most 131071).
std::array<std::uint8_t, 4> SessionMessageHeader(std::uint32_t length);

// Called and calling name of a SESSION REQUEST payload; nullopt if malformed.
std::optional<std::pair<Name16, Name16>> ParseSessionRequest(std::span<const std::uint8_t> payload);

// The frames a listening side answers with.
std::array<std::uint8_t, 4> PositiveSessionResponse();
std::array<std::uint8_t, 5> NegativeSessionResponse(std::uint8_t errorCode);

// Name16 from a 16-byte NCB field.
Name16 ToName16(const std::uint8_t* field);

// The name text (first 15 bytes without trailing spaces or zeros).
std::string NameText(const Name16& name);

}  // namespace lomp::wire
