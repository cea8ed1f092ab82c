#include "wire/mailslot_wire.h"

#include <cstring>

namespace lomp::wire {
namespace {

constexpr std::size_t kDatagramHeaderSize = 14;
constexpr std::size_t kSmbHeaderSize = 32;
constexpr std::uint8_t kSmbTransaction = 0x25;
constexpr std::size_t kTransactionWordCount = 17;
constexpr std::uint16_t kMailslotWrite = 0x0001;
constexpr std::uint16_t kSecondClass = 0x0002;
constexpr std::uint8_t kFirstFragment = 0x02;
constexpr std::uint8_t kMoreFragments = 0x01;

void PutLittle16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void SetBig16(Bytes& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

std::uint16_t Big16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint16_t Little16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// A second-level name without scope or pointers, as datagrams carry them.
std::optional<Name16> PlainName(std::span<const std::uint8_t> packet, std::size_t& offset) {
  if (offset + kEncodedNameSize > packet.size() || packet[offset] != 0x20 ||
      packet[offset + kEncodedNameSize - 1] != 0x00) {
    return std::nullopt;
  }
  std::size_t position = offset;
  const auto name = ReadEncodedName(packet.subspan(0, offset + kEncodedNameSize), position);
  if (!name) return std::nullopt;
  offset += kEncodedNameSize;
  return name;
}

}  // namespace

std::optional<Bytes> BuildMailslotDatagram(const MailslotDatagram& datagram) {
  // The SMB: header, 17 parameter words, the mailslot name, padding to a
  // multiple of 4, the data.
  const std::size_t nameSize = datagram.mailslot.size() + 1;
  const std::size_t unpadded = kSmbHeaderSize + 1 + 2 * kTransactionWordCount + 2 + nameSize;
  const std::size_t padding = (4 - unpadded % 4) % 4;
  const std::size_t dataOffset = unpadded + padding;
  const std::size_t smbSize = dataOffset + datagram.data.size();
  const std::size_t total = kDatagramHeaderSize + 2 * kEncodedNameSize + smbSize;
  if (total > kMaxDatagramSize) return std::nullopt;

  Bytes packet;
  packet.reserve(total);
  packet.push_back(datagram.type);
  packet.push_back(kFirstFragment);  // a whole datagram from a B-node
  AppendBig16(packet, datagram.datagramId);
  const auto* address = reinterpret_cast<const std::uint8_t*>(&datagram.sourceAddress);
  for (int i = 0; i < 4; ++i) packet.push_back(address[i]);
  AppendBig16(packet, datagram.sourcePort);
  AppendBig16(packet, static_cast<std::uint16_t>(total - kDatagramHeaderSize));
  AppendBig16(packet, 0);  // packet offset: not fragmented
  AppendEncodedName(packet, datagram.source);
  AppendEncodedName(packet, datagram.destination);

  const std::size_t smbStart = packet.size();
  const std::uint8_t smbHeader[4] = {0xFF, 'S', 'M', 'B'};
  packet.insert(packet.end(), smbHeader, smbHeader + 4);
  packet.push_back(kSmbTransaction);
  packet.resize(smbStart + kSmbHeaderSize, 0x00);
  const auto dataCount = static_cast<std::uint16_t>(datagram.data.size());
  packet.push_back(kTransactionWordCount);
  PutLittle16(packet, 0);          // total parameter count
  PutLittle16(packet, dataCount);  // total data count
  PutLittle16(packet, 0);          // max parameter count
  PutLittle16(packet, 0);          // max data count
  packet.push_back(0);             // max setup count
  packet.push_back(0);
  PutLittle16(packet, 0);  // flags
  PutLittle16(packet, 0);  // time-out
  PutLittle16(packet, 0);
  PutLittle16(packet, 0);                                       // reserved
  PutLittle16(packet, 0);                                       // parameter count
  PutLittle16(packet, static_cast<std::uint16_t>(dataOffset));  // parameter offset
  PutLittle16(packet, dataCount);
  PutLittle16(packet, static_cast<std::uint16_t>(dataOffset));
  packet.push_back(3);  // setup count
  packet.push_back(0);
  PutLittle16(packet, kMailslotWrite);
  PutLittle16(packet, 0);  // priority
  PutLittle16(packet, kSecondClass);
  PutLittle16(packet, static_cast<std::uint16_t>(nameSize + padding + datagram.data.size()));
  packet.insert(packet.end(), datagram.mailslot.begin(), datagram.mailslot.end());
  packet.push_back(0x00);
  packet.resize(packet.size() + padding, 0x00);
  packet.insert(packet.end(), datagram.data.begin(), datagram.data.end());
  SetBig16(packet, 10, static_cast<std::uint16_t>(packet.size() - kDatagramHeaderSize));
  return packet;
}

std::optional<MailslotDatagram> ParseMailslotDatagram(std::span<const std::uint8_t> packet) {
  if (packet.size() < kDatagramHeaderSize || packet.size() > kMaxDatagramSize) return std::nullopt;
  MailslotDatagram datagram;
  datagram.type = packet[0];
  if (datagram.type != kDirectUnique && datagram.type != kDirectGroup &&
      datagram.type != kBroadcastDatagram) {
    return std::nullopt;
  }
  // Fragments are not reassembled: only whole datagrams count.
  if ((packet[1] & kMoreFragments) || Big16(packet, 12) != 0) return std::nullopt;
  datagram.datagramId = Big16(packet, 2);
  std::memcpy(&datagram.sourceAddress, packet.data() + 4, 4);
  datagram.sourcePort = Big16(packet, 8);
  const std::size_t declared = Big16(packet, 10);
  if (declared > packet.size() - kDatagramHeaderSize) return std::nullopt;
  const auto body = packet.subspan(0, kDatagramHeaderSize + declared);

  std::size_t offset = kDatagramHeaderSize;
  const auto source = PlainName(body, offset);
  if (!source) return std::nullopt;
  const auto destination = PlainName(body, offset);
  if (!destination) return std::nullopt;
  datagram.source = *source;
  datagram.destination = *destination;

  const auto smb = body.subspan(offset);
  if (smb.size() < kSmbHeaderSize + 1 + 2 * kTransactionWordCount + 2) return std::nullopt;
  if (smb[0] != 0xFF || smb[1] != 'S' || smb[2] != 'M' || smb[3] != 'B' ||
      smb[4] != kSmbTransaction || smb[kSmbHeaderSize] != kTransactionWordCount) {
    return std::nullopt;
  }
  const std::size_t words = kSmbHeaderSize + 1;
  const std::uint16_t dataCount = Little16(smb, words + 22);
  const std::uint16_t dataOffset = Little16(smb, words + 24);
  const std::uint8_t setupCount = smb[words + 26];
  const std::uint16_t opcode = Little16(smb, words + 28);
  if (setupCount != 3 || opcode != kMailslotWrite) return std::nullopt;
  const std::size_t byteCountAt = words + 2 * kTransactionWordCount;
  const std::size_t nameAt = byteCountAt + 2;
  const std::size_t byteCount = Little16(smb, byteCountAt);
  const std::size_t bytesEnd = std::min(smb.size(), nameAt + byteCount);
  std::size_t nameEnd = nameAt;
  while (nameEnd < bytesEnd && smb[nameEnd] != 0x00) ++nameEnd;
  if (nameEnd >= bytesEnd) return std::nullopt;  // the name must end inside the bytes
  datagram.mailslot.assign(reinterpret_cast<const char*>(smb.data() + nameAt), nameEnd - nameAt);
  if (dataOffset < nameEnd + 1 || dataOffset > smb.size() || dataCount > smb.size() - dataOffset) {
    return std::nullopt;
  }
  datagram.data.assign(smb.begin() + dataOffset, smb.begin() + dataOffset + dataCount);
  return datagram;
}

}  // namespace lomp::wire
