#include "smb/smb_pdu.h"

#include <algorithm>
#include <cstring>

#include "runtime/errors.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

constexpr std::uint8_t kFormatString = 0x04;     // a null-terminated string follows
constexpr std::uint8_t kFormatDataBlock = 0x01;  // a 16-bit length and data follow
// Header, word count and byte count: what every SMB message has.
constexpr std::int32_t kFixedSize = CSmbPdu::kHeaderSize + 1 + 2;

void AppendWord(PduBuffer& buffer, std::uint16_t value) {
  buffer.AppendByte(value & 0xFF);
  buffer.AppendByte(value >> 8);
}

std::uint16_t WordAt(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

[[noreturn]] void ThrowTooLarge(std::int32_t size) {
  throw KrDataTransmissionErr("SMB message too large: " + std::to_string(size) +
                              " bytes, at most " + std::to_string(PduBuffer::kCapacity));
}

// The wire size of a message with these counts.
std::int32_t MessageSize(std::int32_t wordCount, std::int64_t byteCount) {
  const std::int64_t size = kFixedSize + 2 * static_cast<std::int64_t>(wordCount) + byteCount;
  return static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
}

// Raises before anything is appended when a message with these counts would
// not fit a PduBuffer.
void RequireFits(std::int32_t wordCount, std::int64_t byteCount) {
  const std::int32_t size = MessageSize(wordCount, byteCount);
  if (size > PduBuffer::kCapacity) ThrowTooLarge(size);
}

std::string OemCopy(std::string text) {
  ToOem(text);
  return text;
}

void AppendString(PduBuffer& buffer, const std::string& oem) {
  buffer.AppendByte(kFormatString);
  buffer.Append(oem.data(), static_cast<std::int32_t>(oem.size()));
  buffer.AppendByte(0x00);
}

void AppendDataBlock(PduBuffer& buffer, const std::string& oem) {
  buffer.AppendByte(kFormatDataBlock);
  AppendWord(buffer, static_cast<std::uint16_t>(oem.size()));
  buffer.Append(oem.data(), static_cast<std::int32_t>(oem.size()));
}

// Walks the data bytes of a received message; never reads at or past `end`.
class DataScanner {
 public:
  DataScanner(const std::uint8_t* data, std::int32_t end) : data_(data), end_(end) {}

  void Skip(std::int32_t count) { position_ = std::min(end_, position_ + count); }

  // Bytes up to the next 0x00 (or the end); the 0x00 is stepped over.
  std::string UpToNull() {
    std::string text;
    while (position_ < end_ && data_[position_] != 0x00) {
      text.push_back(static_cast<char>(data_[position_++]));
    }
    Skip(1);
    return text;
  }

  // A 16-bit little-endian value; bytes past the end count as 0.
  std::int32_t Word() {
    std::int32_t value = 0;
    if (position_ < end_) value |= data_[position_];
    if (position_ + 1 < end_) value |= data_[position_ + 1] << 8;
    Skip(2);
    return value;
  }

  std::string Take(std::int32_t count) {
    const std::int32_t available = std::min(count, end_ - position_);
    std::string text(reinterpret_cast<const char*>(data_ + position_),
                     static_cast<size_t>(available));
    Skip(available);
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::int32_t end_;
  std::int32_t position_ = 0;
};

}  // namespace

void CSmbPdu::Reset() {
  static constexpr std::uint8_t kProtocol[4] = {0xFF, 'S', 'M', 'B'};
  std::memcpy(protocol, kProtocol, sizeof protocol);
  command = 0;
  errorClass = 0;
  reserved = 0;
  errorCode = 0;
  flags = 0;
  std::memset(reserved2, 0, sizeof reserved2);
  treeId = 0;
  processId = 0;
  userId = 0;
  multiplexId = 0;
  wordCount = 0;
  std::memset(parameterWords, 0, sizeof parameterWords);
  byteCount = 0;
  std::memset(data, 0, sizeof data);
}

void CSmbPdu::Encode(PduBuffer& buffer) {
  buffer.Clear();
  const std::int32_t size = MessageSize(wordCount, byteCount);
  if (byteCount > kMaxDataBytes || size > PduBuffer::kCapacity) ThrowTooLarge(size);

  buffer.Append(protocol, sizeof protocol);
  buffer.AppendByte(command);
  buffer.AppendByte(errorClass);
  buffer.AppendByte(reserved);
  AppendWord(buffer, errorCode);
  buffer.AppendByte(flags);
  buffer.Append(reserved2, sizeof reserved2);
  AppendWord(buffer, treeId);
  AppendWord(buffer, processId);
  AppendWord(buffer, userId);
  AppendWord(buffer, multiplexId);
  buffer.AppendByte(wordCount);
  for (int word = 0; word < wordCount; ++word) AppendWord(buffer, parameterWords[word]);
  AppendWord(buffer, byteCount);
  buffer.Append(data, byteCount);
}

void CSmbPdu::Decode(PduBuffer& buffer) {
  buffer.SetReadPosition(0);

  std::uint8_t header[kHeaderSize] = {};
  buffer.Read(header, std::min(kHeaderSize, buffer.Remaining()));
  std::memcpy(protocol, header, 4);
  command = header[4];
  errorClass = header[5];
  reserved = header[6];
  errorCode = WordAt(header + 7);
  flags = header[9];
  std::memcpy(reserved2, header + 10, sizeof reserved2);
  treeId = WordAt(header + 24);
  processId = WordAt(header + 26);
  userId = WordAt(header + 28);
  multiplexId = WordAt(header + 30);

  std::uint8_t count = 0;
  if (buffer.Remaining() >= 1) buffer.Read(&count, 1);
  // A word count of at most 255 always fits the 256-word array; only the
  // received bytes can cut it.
  wordCount = static_cast<std::uint8_t>(std::min<std::int32_t>(count, buffer.Remaining() / 2));
  for (int word = 0; word < wordCount; ++word) {
    std::uint8_t bytes[2];
    buffer.Read(bytes, 2);
    parameterWords[word] = WordAt(bytes);
  }

  std::int32_t dataBytes = 0;
  if (buffer.Remaining() >= 2) {
    std::uint8_t bytes[2];
    buffer.Read(bytes, 2);
    dataBytes =
        std::min({static_cast<std::int32_t>(WordAt(bytes)), buffer.Remaining(), kMaxDataBytes});
  }
  byteCount = static_cast<std::uint16_t>(dataBytes);
  buffer.Read(data, dataBytes);
}

void CSmbPdu::SetData(const PduBuffer& dataBytes) {
  RequireFits(wordCount, dataBytes.length);
  std::memcpy(data, dataBytes.bytes, static_cast<size_t>(dataBytes.length));
  byteCount = static_cast<std::uint16_t>(dataBytes.length);
}

// --- 0xD0 send single block message ---------------------------------------

void CSmbPdu_sends::Reset() {
  CSmbPdu::Reset();
  command = kSmbSendMessage;
  originator.clear();
  destination.clear();
  text.clear();
}

void CSmbPdu_sends::Encode(PduBuffer& buffer) {
  buffer.Clear();
  PduBuffer dataBytes;
  if (!originator.empty() && !destination.empty()) {
    const std::string oemOriginator = OemCopy(originator);
    const std::string oemDestination = OemCopy(destination);
    const std::string oemText = OemCopy(text);
    const auto dataSize = static_cast<std::int64_t>(oemOriginator.size() + oemDestination.size() +
                                                    oemText.size() + 7);
    RequireFits(wordCount, dataSize);
    AppendString(dataBytes, oemOriginator);
    AppendString(dataBytes, oemDestination);
    AppendDataBlock(dataBytes, oemText);
  }
  SetData(dataBytes);
  CSmbPdu::Encode(buffer);
}

void CSmbPdu_sends::Decode(PduBuffer& buffer) {
  CSmbPdu::Decode(buffer);
  DataScanner scanner(data, byteCount);
  scanner.Skip(1);  // format byte, not examined
  originator = scanner.UpToNull();
  scanner.Skip(1);
  destination = scanner.UpToNull();
  scanner.Skip(1);
  const std::int32_t textLength = scanner.Word();
  text = scanner.Take(textLength);
  FromOem(originator);
  FromOem(destination);
  FromOem(text);
}

// --- 0xD5 send start of multi-block message --------------------------------

void CSmbPdu_sendstrt::Reset() {
  CSmbPdu::Reset();
  command = kSmbSendStartMbMessage;
  originator.clear();
  destination.clear();
}

void CSmbPdu_sendstrt::Encode(PduBuffer& buffer) {
  buffer.Clear();
  PduBuffer dataBytes;
  if (!originator.empty() && !destination.empty()) {
    const std::string oemOriginator = OemCopy(originator);
    const std::string oemDestination = OemCopy(destination);
    const auto dataSize =
        static_cast<std::int64_t>(oemOriginator.size() + oemDestination.size() + 4);
    RequireFits(wordCount, dataSize);
    AppendString(dataBytes, oemOriginator);
    AppendString(dataBytes, oemDestination);
  }
  SetData(dataBytes);
  CSmbPdu::Encode(buffer);
}

void CSmbPdu_sendstrt::Decode(PduBuffer& buffer) {
  CSmbPdu::Decode(buffer);
  DataScanner scanner(data, byteCount);
  scanner.Skip(1);
  originator = scanner.UpToNull();
  scanner.Skip(1);
  destination = scanner.UpToNull();
  FromOem(originator);
  FromOem(destination);
}

// --- 0xD7 send text of multi-block message ---------------------------------

void CSmbPdu_sendtxt::Reset() {
  CSmbPdu::Reset();
  command = kSmbSendTextMbMessage;
  text.clear();
}

void CSmbPdu_sendtxt::Encode(PduBuffer& buffer) {
  buffer.Clear();
  PduBuffer dataBytes;
  if (!text.empty()) {
    const std::string oemText = OemCopy(text);
    const std::int64_t dataSize = static_cast<std::int64_t>(oemText.size()) + 3;
    RequireFits(wordCount, dataSize);
    AppendDataBlock(dataBytes, oemText);
  }
  SetData(dataBytes);
  CSmbPdu::Encode(buffer);
}

void CSmbPdu_sendtxt::Decode(PduBuffer& buffer) {
  CSmbPdu::Decode(buffer);
  DataScanner scanner(data, byteCount);
  scanner.Skip(1);
  const std::int32_t textLength = scanner.Word();
  text = scanner.Take(textLength);
  FromOem(text);
}

// --- 0xD6 send end of multi-block message ----------------------------------

void CSmbPdu_sendend::Reset() {
  CSmbPdu::Reset();
  command = kSmbSendEndMbMessage;
}

}  // namespace lomp
