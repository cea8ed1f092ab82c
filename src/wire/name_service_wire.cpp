#include "wire/name_service_wire.h"

#include <algorithm>
#include <cstring>

namespace lomp::wire {
namespace {

constexpr std::uint16_t kTypeNb = 0x0020;
constexpr std::uint16_t kTypeNbstat = 0x0021;
constexpr std::uint16_t kClassIn = 0x0001;
constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::uint16_t kOpcodeMask = 0x7800;
constexpr std::uint16_t kOpcodeQuery = 0x0000;
constexpr std::uint16_t kOpcodeRegistration = 0x2800;  // 5
constexpr std::uint16_t kOpcodeRelease = 0x3000;       // 6
constexpr std::uint16_t kOpcodeWack = 0x3800;          // 7
constexpr std::uint16_t kOpcodeRefresh = 0x4000;       // 8
constexpr std::uint16_t kOpcodeMultiHomed = 0x7800;    // 15: a multi-homed registration
constexpr std::uint16_t kFlagAuthoritative = 0x0400;
constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr std::uint16_t kFlagRecursionAvailable = 0x0080;
constexpr std::uint16_t kFlagBroadcast = 0x0010;
constexpr std::uint16_t kRcodeMask = 0x000F;
constexpr std::uint16_t kRcodeActive = 6;
constexpr std::uint16_t kPointerToQuestion = 0xC00C;  // the name at offset 12
constexpr std::size_t kStatisticsSize = 46;

void AppendBig32(Bytes& out, std::uint32_t value) {
  AppendBig16(out, static_cast<std::uint16_t>(value >> 16));
  AppendBig16(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

void AppendHeader(Bytes& out, std::uint16_t transactionId, std::uint16_t flags,
                  std::uint16_t questions, std::uint16_t answers, std::uint16_t additional) {
  AppendBig16(out, transactionId);
  AppendBig16(out, flags);
  AppendBig16(out, questions);
  AppendBig16(out, answers);
  AppendBig16(out, 0);
  AppendBig16(out, additional);
}

constexpr std::uint16_t kNodeB = 0x0000;
constexpr std::uint16_t kNodeH = 0x6000;

// NB_FLAGS (a unique name of a node of type `node`) and the address, as an
// NB record's data.
void AppendNbData(Bytes& out, std::uint32_t address, std::uint16_t node = kNodeB) {
  AppendBig16(out, 6);
  AppendBig16(out, node);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);  // network order already
  out.insert(out.end(), bytes, bytes + 4);
}

// A request that carries the name again in an additional record, which
// points back at the question.
Bytes BuildWithRecord(std::uint16_t transactionId, std::uint16_t flags, const Name16& name,
                      std::uint32_t address, std::uint32_t ttl, std::uint16_t node = kNodeB) {
  Bytes out;
  AppendHeader(out, transactionId, flags, 1, 0, 1);
  AppendEncodedName(out, name);
  AppendBig16(out, kTypeNb);
  AppendBig16(out, kClassIn);
  AppendBig16(out, kPointerToQuestion);
  AppendBig16(out, kTypeNb);
  AppendBig16(out, kClassIn);
  AppendBig32(out, ttl);
  AppendNbData(out, address, node);
  return out;
}

}  // namespace

std::optional<NameRequest> ParseNameRequest(std::span<const std::uint8_t> message) {
  std::size_t offset = 0;
  std::uint16_t id = 0, flags = 0, questions = 0, answers = 0, authority = 0, additional = 0;
  if (!ReadBig16(message, offset, id) || !ReadBig16(message, offset, flags) ||
      !ReadBig16(message, offset, questions) || !ReadBig16(message, offset, answers) ||
      !ReadBig16(message, offset, authority) || !ReadBig16(message, offset, additional)) {
    return std::nullopt;
  }
  if ((flags & kFlagResponse) != 0 || questions != 1) return std::nullopt;
  NameRequest request;
  request.transactionId = id;
  request.broadcast = (flags & kFlagBroadcast) != 0;
  const auto name = ReadEncodedName(message, offset);
  std::uint16_t type = 0, klass = 0;
  if (!name || !ReadBig16(message, offset, type) || !ReadBig16(message, offset, klass) ||
      klass != kClassIn) {
    return std::nullopt;
  }
  request.name = *name;
  switch (flags & kOpcodeMask) {
    case kOpcodeQuery:
      if (type == kTypeNb) {
        request.kind = NameRequest::Kind::Query;
      } else if (type == kTypeNbstat) {
        request.kind = NameRequest::Kind::Status;
      } else {
        return std::nullopt;
      }
      return request;
    case kOpcodeRegistration:
    case kOpcodeRefresh:
    case kOpcodeMultiHomed: request.kind = NameRequest::Kind::Registration; break;
    case kOpcodeRelease: request.kind = NameRequest::Kind::Release; break;
    default: return std::nullopt;
  }
  // The address the sender registers or releases, in its additional record.
  std::uint32_t ttl = 0;
  std::uint16_t dataLength = 0, nbFlags = 0;
  if (additional < 1 || type != kTypeNb || !ReadEncodedName(message, offset) ||
      !ReadBig16(message, offset, type) || !ReadBig16(message, offset, klass) ||
      !ReadBig32(message, offset, ttl) || !ReadBig16(message, offset, dataLength) ||
      dataLength < 6 || !ReadBig16(message, offset, nbFlags) || offset + 4 > message.size()) {
    return std::nullopt;
  }
  std::memcpy(&request.address, message.data() + offset, 4);
  return request;
}

Bytes BuildPositiveQueryResponse(std::uint16_t transactionId, const Name16& name,
                                 std::uint32_t address, std::uint32_t ttl) {
  Bytes out;
  AppendHeader(out, transactionId,
               kFlagResponse | kOpcodeQuery | kFlagAuthoritative | kFlagRecursionDesired, 0, 1, 0);
  AppendEncodedName(out, name);
  AppendBig16(out, kTypeNb);
  AppendBig16(out, kClassIn);
  AppendBig32(out, ttl);
  AppendNbData(out, address);
  return out;
}

Bytes BuildNodeStatusResponse(std::uint16_t transactionId, const Name16& asked,
                              const std::vector<NodeStatusName>& names) {
  const std::size_t count = std::min<std::size_t>(names.size(), 255);
  Bytes out;
  AppendHeader(out, transactionId, kFlagResponse | kOpcodeQuery | kFlagAuthoritative, 0, 1, 0);
  AppendEncodedName(out, asked);
  AppendBig16(out, kTypeNbstat);
  AppendBig16(out, kClassIn);
  AppendBig32(out, 0);
  AppendBig16(out, static_cast<std::uint16_t>(1 + count * 18 + kStatisticsSize));
  out.push_back(static_cast<std::uint8_t>(count));
  for (std::size_t index = 0; index < count; ++index) {
    out.insert(out.end(), names[index].name.begin(), names[index].name.end());
    AppendBig16(out, names[index].flags);
  }
  out.insert(out.end(), kStatisticsSize, 0x00);  // no unit id or counters to tell
  return out;
}

Bytes BuildNameRegistration(std::uint16_t transactionId, const Name16& name, std::uint32_t address,
                            std::uint32_t ttl, RegistrationMode mode) {
  switch (mode) {
    case RegistrationMode::Broadcast:
      return BuildWithRecord(transactionId,
                             kOpcodeRegistration | kFlagRecursionDesired | kFlagBroadcast, name,
                             address, ttl);
    case RegistrationMode::Overwrite:
      return BuildWithRecord(transactionId, kOpcodeRegistration | kFlagBroadcast, name, address,
                             ttl);
    case RegistrationMode::Unicast:
      return BuildWithRecord(transactionId, kOpcodeRegistration | kFlagRecursionDesired, name,
                             address, ttl, kNodeH);
    case RegistrationMode::Refresh:
      return BuildWithRecord(transactionId, kOpcodeRefresh, name, address, ttl, kNodeH);
  }
  return {};
}

Bytes BuildNameRelease(std::uint16_t transactionId, const Name16& name, std::uint32_t address,
                       bool broadcast) {
  return BuildWithRecord(
      transactionId, static_cast<std::uint16_t>(kOpcodeRelease | (broadcast ? kFlagBroadcast : 0)),
      name, address, 0);
}

Bytes BuildNameConflictResponse(std::uint16_t transactionId, const Name16& name,
                                std::uint32_t requester) {
  Bytes out;
  AppendHeader(out, transactionId,
               kFlagResponse | kOpcodeRegistration | kFlagAuthoritative | kFlagRecursionDesired |
                   kFlagRecursionAvailable | kRcodeActive,
               0, 1, 0);
  AppendEncodedName(out, name);
  AppendBig16(out, kTypeNb);
  AppendBig16(out, kClassIn);
  AppendBig32(out, 0);
  AppendNbData(out, requester);
  return out;
}

RegistrationAnswer ParseRegistrationAnswer(std::span<const std::uint8_t> message,
                                           std::uint16_t transactionId, const Name16& name) {
  RegistrationAnswer answer;
  std::size_t offset = 0;
  std::uint16_t id = 0, flags = 0, questions = 0, answers = 0, authority = 0, additional = 0;
  if (!ReadBig16(message, offset, id) || !ReadBig16(message, offset, flags) ||
      !ReadBig16(message, offset, questions) || !ReadBig16(message, offset, answers) ||
      !ReadBig16(message, offset, authority) || !ReadBig16(message, offset, additional) ||
      id != transactionId || (flags & kFlagResponse) == 0) {
    return answer;
  }
  const auto answered = ReadEncodedName(message, offset);
  std::uint16_t type = 0, klass = 0, dataLength = 0, nbFlags = 0;
  std::uint32_t ttl = 0;
  if (!answered || *answered != name || !ReadBig16(message, offset, type) ||
      !ReadBig16(message, offset, klass) || !ReadBig32(message, offset, ttl)) {
    return answer;
  }
  const std::uint16_t opcode = flags & kOpcodeMask;
  if (opcode == kOpcodeWack) {
    answer.kind = RegistrationAnswer::Kind::Wait;
    answer.ttl = ttl;
    return answer;
  }
  if (opcode != kOpcodeRegistration && opcode != kOpcodeRefresh) return answer;
  answer.rcode = static_cast<std::uint8_t>(flags & kRcodeMask);
  answer.ttl = ttl;
  answer.kind =
      answer.rcode == 0 ? RegistrationAnswer::Kind::Positive : RegistrationAnswer::Kind::Negative;
  if (ReadBig16(message, offset, dataLength) && dataLength >= 6 &&
      ReadBig16(message, offset, nbFlags) && offset + 4 <= message.size()) {
    std::memcpy(&answer.address, message.data() + offset, 4);
  }
  return answer;
}

}  // namespace lomp::wire
