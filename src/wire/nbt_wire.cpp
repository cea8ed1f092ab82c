#include "wire/nbt_wire.h"

#include <algorithm>
#include <cstring>

namespace lomp::wire {
namespace {

constexpr std::uint16_t kTypeNb = 0x0020;
constexpr std::uint16_t kClassIn = 0x0001;
constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::uint16_t kOpcodeMask = 0x7800;
constexpr std::uint16_t kRcodeMask = 0x000F;
constexpr std::uint16_t kGroupBit = 0x8000;
constexpr int kMaxPointerHops = 8;
constexpr std::size_t kMaxNameLength = 255;

// Big-endian reads that fail instead of running past the end.
bool ReadWord(std::span<const std::uint8_t> message, std::size_t& offset, std::uint16_t& value) {
  if (offset + 2 > message.size()) return false;
  value = static_cast<std::uint16_t>(message[offset] << 8 | message[offset + 1]);
  offset += 2;
  return true;
}

bool ReadLong(std::span<const std::uint8_t> message, std::size_t& offset, std::uint32_t& value) {
  std::uint16_t high = 0;
  std::uint16_t low = 0;
  if (!ReadWord(message, offset, high) || !ReadWord(message, offset, low)) return false;
  value = static_cast<std::uint32_t>(high) << 16 | low;
  return true;
}

}  // namespace

bool ReadBig16(std::span<const std::uint8_t> message, std::size_t& offset, std::uint16_t& value) {
  return ReadWord(message, offset, value);
}

bool ReadBig32(std::span<const std::uint8_t> message, std::size_t& offset, std::uint32_t& value) {
  return ReadLong(message, offset, value);
}

void AppendBig16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void AppendEncodedName(Bytes& out, const Name16& name) {
  out.push_back(0x20);
  for (const std::uint8_t byte : name) {
    out.push_back(static_cast<std::uint8_t>('A' + (byte >> 4)));
    out.push_back(static_cast<std::uint8_t>('A' + (byte & 0x0F)));
  }
  out.push_back(0x00);
}

std::optional<Name16> ReadEncodedName(std::span<const std::uint8_t> message, std::size_t& offset) {
  std::size_t position = offset;
  std::optional<std::size_t> resumeAt;  // where the caller goes on after a pointer
  std::optional<Name16> name;
  std::size_t total = 0;
  for (int hops = 0;;) {
    if (position >= message.size()) return std::nullopt;
    const std::uint8_t length = message[position];
    if ((length & 0xC0) == 0xC0) {
      if (position + 1 >= message.size() || ++hops > kMaxPointerHops) return std::nullopt;
      if (!resumeAt) resumeAt = position + 2;
      position = static_cast<std::size_t>((length & 0x3F) << 8 | message[position + 1]);
      continue;
    }
    if ((length & 0xC0) != 0) return std::nullopt;  // reserved label types
    ++position;
    if (length == 0) break;
    if (position + length > message.size()) return std::nullopt;
    total += length + 1u;
    if (total > kMaxNameLength) return std::nullopt;
    if (!name) {
      // The first label is the 32-letter encoded NetBIOS name.
      if (length != 32) return std::nullopt;
      Name16 decoded{};
      for (std::size_t i = 0; i < 16; ++i) {
        const std::uint8_t high = message[position + 2 * i];
        const std::uint8_t low = message[position + 2 * i + 1];
        if (high < 'A' || high > 'P' || low < 'A' || low > 'P') return std::nullopt;
        decoded[i] = static_cast<std::uint8_t>((high - 'A') << 4 | (low - 'A'));
      }
      name = decoded;
    }
    position += length;  // scope labels are skipped
  }
  if (!name) return std::nullopt;
  offset = resumeAt ? *resumeAt : position;
  return name;
}

Bytes BuildNameQuery(std::uint16_t transactionId, const Name16& name, QueryMode mode) {
  Bytes query;
  query.reserve(50);
  AppendBig16(query, transactionId);
  // A query asking for recursion; the B bit only when it is broadcast.
  AppendBig16(query, mode == QueryMode::Broadcast ? 0x0110 : 0x0100);
  AppendBig16(query, 1);  // one question
  AppendBig16(query, 0);
  AppendBig16(query, 0);
  AppendBig16(query, 0);
  AppendEncodedName(query, name);
  AppendBig16(query, kTypeNb);
  AppendBig16(query, kClassIn);
  return query;
}

namespace {

// The header and first resource record of a name service response.
struct ResponseRecord {
  std::uint16_t flags = 0;
  std::uint16_t answers = 0;
  Name16 name{};
  std::uint16_t type = 0;
  std::uint32_t ttl = 0;
  std::span<const std::uint8_t> data;
};

// Reads a response to `transactionId` up to the data of its first record.
// The record is read whatever ANCOUNT says: negative answers carry one even
// where the count is 0.
std::optional<ResponseRecord> ReadResponseRecord(std::span<const std::uint8_t> message,
                                                 std::uint16_t transactionId) {
  std::size_t offset = 0;
  std::uint16_t id = 0, questions = 0, authority = 0, additional = 0;
  ResponseRecord record;
  if (!ReadWord(message, offset, id) || !ReadWord(message, offset, record.flags) ||
      !ReadWord(message, offset, questions) || !ReadWord(message, offset, record.answers) ||
      !ReadWord(message, offset, authority) || !ReadWord(message, offset, additional)) {
    return std::nullopt;
  }
  if (id != transactionId || (record.flags & kFlagResponse) == 0) return std::nullopt;
  // A response carries no questions, but skip any that a peer sends.
  for (std::uint16_t i = 0; i < questions && i < 4; ++i) {
    std::uint16_t type = 0, klass = 0;
    if (!ReadEncodedName(message, offset) || !ReadWord(message, offset, type) ||
        !ReadWord(message, offset, klass)) {
      return std::nullopt;
    }
  }
  const auto name = ReadEncodedName(message, offset);
  std::uint16_t klass = 0, dataLength = 0;
  if (!name || !ReadWord(message, offset, record.type) || !ReadWord(message, offset, klass) ||
      !ReadLong(message, offset, record.ttl) || !ReadWord(message, offset, dataLength) ||
      offset + dataLength > message.size()) {
    return std::nullopt;
  }
  record.name = *name;
  record.data = message.subspan(offset, dataLength);
  return record;
}

constexpr std::uint16_t kOpcodeQuery = 0x0000;
constexpr std::uint16_t kOpcodeWack = 0x3800;  // opcode 7 in bits 11..14
constexpr std::uint16_t kTypeNbstat = 0x0021;
constexpr std::size_t kStatusEntrySize = 18;  // 16-byte name, 2-byte flags

}  // namespace

NameQueryAnswer ParseNameQueryAnswer(std::span<const std::uint8_t> message,
                                     std::uint16_t transactionId, const Name16& name) {
  NameQueryAnswer answer;
  const std::optional<ResponseRecord> record = ReadResponseRecord(message, transactionId);
  if (!record || record->name != name) return answer;
  const std::uint16_t opcode = record->flags & kOpcodeMask;
  if (opcode == kOpcodeWack) {
    answer.kind = NameQueryAnswer::Kind::Wait;
    answer.ttl = record->ttl;
    return answer;
  }
  if (opcode != kOpcodeQuery) return answer;
  if (const auto rcode = static_cast<std::uint8_t>(record->flags & kRcodeMask); rcode != 0) {
    answer.kind = NameQueryAnswer::Kind::Negative;
    answer.rcode = rcode;
    return answer;
  }
  if (record->answers == 0 || record->type != kTypeNb || record->data.empty() ||
      record->data.size() % 6 != 0) {
    return answer;
  }
  for (std::size_t entry = 0; entry < record->data.size(); entry += 6) {
    const auto nbFlags =
        static_cast<std::uint16_t>(record->data[entry] << 8 | record->data[entry + 1]);
    if (nbFlags & kGroupBit) continue;  // a group name cannot take a session
    answer.kind = NameQueryAnswer::Kind::Positive;
    std::memcpy(&answer.address, record->data.data() + entry + 2, 4);  // stays in network order
    return answer;
  }
  return answer;
}

Bytes BuildNodeStatusRequest(std::uint16_t transactionId) {
  Name16 wildcard{};
  wildcard[0] = '*';
  Bytes request;
  request.reserve(50);
  AppendBig16(request, transactionId);
  AppendBig16(request, 0x0000);  // a unicast query without recursion
  AppendBig16(request, 1);
  AppendBig16(request, 0);
  AppendBig16(request, 0);
  AppendBig16(request, 0);
  AppendEncodedName(request, wildcard);
  AppendBig16(request, kTypeNbstat);
  AppendBig16(request, kClassIn);
  return request;
}

std::optional<std::vector<NodeStatusName>> ParseNodeStatusResponse(
    std::span<const std::uint8_t> message, std::uint16_t transactionId) {
  const std::optional<ResponseRecord> record = ReadResponseRecord(message, transactionId);
  if (!record || (record->flags & (kOpcodeMask | kRcodeMask)) != 0 || record->type != kTypeNbstat ||
      record->data.empty()) {
    return std::nullopt;
  }
  const std::size_t count = record->data[0];
  if (1 + count * kStatusEntrySize > record->data.size()) return std::nullopt;
  std::vector<NodeStatusName> names(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = record->data.data() + 1 + i * kStatusEntrySize;
    std::memcpy(names[i].name.data(), entry, 16);
    names[i].flags = static_cast<std::uint16_t>(entry[16] << 8 | entry[17]);
  }
  return names;
}

std::optional<Name16> MessengerName(const std::vector<NodeStatusName>& names) {
  const auto unique = [](const NodeStatusName& entry, std::uint8_t suffix) {
    return (entry.flags & kNameFlagGroup) == 0 && entry.name[15] == suffix;
  };
  const NodeStatusName* firstMessenger = nullptr;
  for (const NodeStatusName& entry : names) {
    if (!unique(entry, kMessengerSuffix)) continue;
    if (firstMessenger == nullptr) firstMessenger = &entry;
    for (const NodeStatusName& computer : names) {
      if (unique(computer, 0x00) &&
          std::equal(computer.name.begin(), computer.name.begin() + 15, entry.name.begin())) {
        return entry.name;
      }
    }
  }
  if (firstMessenger == nullptr) return std::nullopt;
  return firstMessenger->name;
}

std::string NameWithSuffix(const Name16& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  // Names come from the network too: a control byte shows as \xNN, so that
  // none reaches a terminal that shows the trace.
  for (const char c : NameText(name)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\') {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0x0F];
    } else {
      text += c;
    }
  }
  text += '<';
  text += kHex[name[15] >> 4];
  text += kHex[name[15] & 0x0F];
  text += '>';
  return text;
}

std::optional<FrameHeader> ParseFrameHeader(std::span<const std::uint8_t, 4> header) {
  if (header[1] & 0xFE) return std::nullopt;
  FrameHeader frame;
  frame.type = header[0];
  frame.length =
      (header[1] & 0x01 ? 0x10000u : 0u) | static_cast<std::uint32_t>(header[2] << 8) | header[3];
  return frame;
}

Bytes BuildSessionRequest(const Name16& called, const Name16& calling) {
  Bytes request = {kSessionRequest, 0x00, 0x00, 2 * kEncodedNameSize};
  AppendEncodedName(request, called);
  AppendEncodedName(request, calling);
  return request;
}

std::array<std::uint8_t, 4> SessionMessageHeader(std::uint32_t length) {
  return {kSessionMessage, static_cast<std::uint8_t>((length >> 16) & 0x01),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

std::optional<std::pair<Name16, Name16>> ParseSessionRequest(
    std::span<const std::uint8_t> payload) {
  std::size_t offset = 0;
  // Session names never use pointers; reading them as a standalone message
  // makes any pointer point into this payload, which is harmless.
  const auto called = ReadEncodedName(payload, offset);
  if (!called) return std::nullopt;
  const auto calling = ReadEncodedName(payload, offset);
  if (!calling) return std::nullopt;
  return std::make_pair(*called, *calling);
}

std::array<std::uint8_t, 4> PositiveSessionResponse() {
  return {kPositiveResponse, 0, 0, 0};
}

std::array<std::uint8_t, 5> NegativeSessionResponse(std::uint8_t errorCode) {
  return {kNegativeResponse, 0, 0, 1, errorCode};
}

Name16 ToName16(const std::uint8_t* field) {
  Name16 name{};
  std::memcpy(name.data(), field, name.size());
  return name;
}

std::string NameText(const Name16& name) {
  std::string text(reinterpret_cast<const char*>(name.data()), 15);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

}  // namespace lomp::wire
