#include "smb/messenger_server.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/text_conversion.h"
#include "smb/smb_pdu.h"

namespace lomp {
namespace {

constexpr std::int32_t kHeaderSize = 32;
constexpr std::int32_t kFixedSize = kHeaderSize + 1 + 2;  // header, word count, byte count
constexpr std::uint8_t kFlagReply = 0x80;
constexpr std::uint8_t kFormatString = 0x04;
constexpr std::uint8_t kFormatDataBlock = 0x01;
constexpr std::uint8_t kFormatDialect = 0x02;
// Longer names than any sender writes are taken as malformed.
constexpr std::size_t kMaxNameBytes = 127;
constexpr std::uint16_t kNoDialect = 0xFFFF;
constexpr const char* kCoreDialect = "PC NETWORK PROGRAM 1.0";

// A request whose framing has been checked: the counts add up within the
// bytes received.
struct Request {
  const std::uint8_t* header = nullptr;
  std::uint8_t command = 0;
  std::uint8_t wordCount = 0;
  const std::uint8_t* words = nullptr;
  const std::uint8_t* data = nullptr;
  std::int32_t byteCount = 0;
};

std::uint16_t WordAt(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::optional<Request> ParseRequest(const PduBuffer& buffer) {
  const std::int32_t length = std::clamp(buffer.length, 0, PduBuffer::kCapacity);
  if (length < kFixedSize) return std::nullopt;
  const std::uint8_t* bytes = buffer.bytes;
  if (bytes[0] != 0xFF || bytes[1] != 'S' || bytes[2] != 'M' || bytes[3] != 'B')
    return std::nullopt;
  Request request;
  request.header = bytes;
  request.command = bytes[4];
  request.wordCount = bytes[kHeaderSize];
  const std::int32_t wordsEnd = kHeaderSize + 1 + 2 * request.wordCount;
  if (wordsEnd + 2 > length) return std::nullopt;
  request.words = bytes + kHeaderSize + 1;
  request.byteCount = WordAt(bytes + wordsEnd);
  if (request.byteCount > length - (wordsEnd + 2)) return std::nullopt;
  request.data = bytes + wordsEnd + 2;
  return request;
}

// Walks a request's data bytes; every read checks what is left first.
class DataReader {
 public:
  DataReader(const std::uint8_t* data, std::int32_t size) : data_(data), size_(size) {}

  bool Byte(std::uint8_t expected) {
    if (position_ >= size_ || data_[position_] != expected) return false;
    ++position_;
    return true;
  }
  // A NUL-terminated string of at most `limit` bytes.
  bool String(std::string& out, std::size_t limit) {
    const auto* begin = data_ + position_;
    const auto* end = data_ + size_;
    const auto* nul = std::find(begin, end, 0);
    if (nul == end || static_cast<std::size_t>(nul - begin) > limit) return false;
    out.assign(begin, nul);
    position_ += static_cast<std::int32_t>(nul - begin) + 1;
    return true;
  }
  // A data block: its 16-bit length, then that many bytes.
  bool Block(std::string& out) {
    if (size_ - position_ < 2) return false;
    const std::int32_t count = WordAt(data_ + position_);
    position_ += 2;
    if (count > size_ - position_) return false;
    out.assign(data_ + position_, data_ + position_ + count);
    position_ += count;
    return true;
  }
  bool AtEnd() const { return position_ == size_; }

 private:
  const std::uint8_t* data_;
  std::int32_t size_;
  std::int32_t position_ = 0;
};

// The reply's header: the request's, marked as a reply, with the status.
PduBuffer Reply(const std::uint8_t* requestHeader, std::uint8_t errorClass, std::uint16_t code,
                const std::vector<std::uint16_t>& words) {
  PduBuffer reply;
  reply.Clear();
  reply.Append(requestHeader, kHeaderSize);
  reply.bytes[5] = errorClass;
  reply.bytes[6] = 0;
  reply.bytes[7] = static_cast<std::uint8_t>(code & 0xFF);
  reply.bytes[8] = static_cast<std::uint8_t>(code >> 8);
  reply.bytes[9] = static_cast<std::uint8_t>(reply.bytes[9] | kFlagReply);
  reply.AppendByte(static_cast<unsigned>(words.size()));
  for (const std::uint16_t word : words) {
    reply.AppendByte(word & 0xFF);
    reply.AppendByte(word >> 8);
  }
  reply.AppendByte(0);  // no data bytes
  reply.AppendByte(0);
  return reply;
}

PduBuffer Error(const std::uint8_t* requestHeader, std::uint16_t code) {
  return Reply(requestHeader, kErrorClassServer, code, {});
}

PduBuffer Success(const std::uint8_t* requestHeader, const std::vector<std::uint16_t>& words = {}) {
  return Reply(requestHeader, 0, 0, words);
}

// The header of a request too short or too broken to echo: a bare SMB
// header with the command byte when there is one.
std::vector<std::uint8_t> SalvagedHeader(const PduBuffer& buffer) {
  std::vector<std::uint8_t> header(kHeaderSize, 0);
  header[0] = 0xFF;
  header[1] = 'S';
  header[2] = 'M';
  header[3] = 'B';
  const std::int32_t length = std::clamp(buffer.length, 0, PduBuffer::kCapacity);
  if (length > 4) header[4] = buffer.bytes[4];
  if (length >= kHeaderSize && std::memcmp(buffer.bytes, header.data(), 4) == 0) {
    std::memcpy(header.data(), buffer.bytes, kHeaderSize);
  }
  return header;
}

// Index of the core dialect in a NEGOTIATE's list, or kNoDialect.
std::optional<std::uint16_t> CoreDialectIndex(const Request& request) {
  DataReader reader(request.data, request.byteCount);
  std::uint16_t index = 0;
  std::uint16_t chosen = kNoDialect;
  while (!reader.AtEnd()) {
    std::string dialect;
    if (!reader.Byte(kFormatDialect) || !reader.String(dialect, 255)) return std::nullopt;
    if (dialect == kCoreDialect && chosen == kNoDialect) chosen = index;
    if (index == kNoDialect - 1) return std::nullopt;
    ++index;
  }
  return chosen;
}

}  // namespace

std::string ReadableText(std::string oem) {
  std::string text;
  text.reserve(oem.size());
  for (std::size_t at = 0; at < oem.size(); ++at) {
    const char byte = oem[at];
    if (byte == '\x14') {
      text.push_back('\n');
    } else if (byte == '\r') {
      text.push_back('\n');
      if (at + 1 < oem.size() && oem[at + 1] == '\n') ++at;
    } else {
      text.push_back(byte);
    }
  }
  FromOem(text);
  return text;
}

MessengerServerSession::MessengerServerSession(std::function<bool(const std::string&)> isOurName,
                                               std::size_t maxTextBytes, std::uint16_t groupId)
    : isOurName_(std::move(isOurName)), maxTextBytes_(maxTextBytes), groupId_(groupId) {}

PduBuffer MessengerServerSession::Refusal(const PduBuffer& request, std::uint16_t code) {
  return Error(SalvagedHeader(request).data(), code);
}

MessengerServerSession::Step MessengerServerSession::Handle(const PduBuffer& buffer) {
  Step step;
  const std::optional<Request> parsed = ParseRequest(buffer);
  if (!parsed) {
    step.reply = Refusal(buffer, kErrorGeneral);
    return step;
  }
  const Request& request = *parsed;
  DataReader reader(request.data, request.byteCount);
  const auto malformed = [&] { return Error(request.header, kErrorGeneral); };

  // The addressing of 0xD0 and 0xD5: originator and destination, whose
  // destination must be ours.
  const auto readNames = [&](SessionMessage& message, std::uint16_t& refusal) {
    std::string from;
    std::string to;
    if (!reader.Byte(kFormatString) || !reader.String(from, kMaxNameBytes) ||
        !reader.Byte(kFormatString) || !reader.String(to, kMaxNameBytes)) {
      refusal = kErrorGeneral;
      return false;
    }
    message.from = ReadableText(from);
    message.to = ReadableText(to);
    if (!isOurName_(message.to)) {
      refusal = kErrorNotReceiving;
      return false;
    }
    return true;
  };
  // Appends a text block, keeping at most maxTextBytes_.
  const auto addText = [&](SessionMessage& message, const std::string& oem) {
    const std::size_t room = maxTextBytes_ - std::min(maxTextBytes_, message.text.size());
    message.text.append(oem, 0, std::min(room, oem.size()));
    if (oem.size() > room) message.cut = true;
  };

  switch (request.command) {
    case kSmbNegotiate: {
      const auto index = CoreDialectIndex(request);
      step.reply = index ? Success(request.header, {*index}) : malformed();
      return step;
    }
    case kSmbSendMessage: {
      SessionMessage message;
      std::uint16_t refusal = kErrorGeneral;
      std::string text;
      const bool taken = request.wordCount == 0 && readNames(message, refusal) &&
                         reader.Byte(kFormatDataBlock) && reader.Block(text) && reader.AtEnd();
      if (taken) {
        addText(message, text);
        message.text = ReadableText(std::move(message.text));
        step.message = std::move(message);
        step.reply = Success(request.header);
      } else {
        step.reply = Error(request.header, refusal);
      }
      return step;
    }
    case kSmbSendStartMbMessage: {
      SessionMessage message;
      std::uint16_t refusal = 0;
      if (request.wordCount != 0 || open_) {
        step.reply = malformed();
      } else if (!readNames(message, refusal) || !reader.AtEnd()) {
        step.reply = Error(request.header, refusal == 0 ? kErrorGeneral : refusal);
      } else {
        open_ = std::move(message);
        step.reply = Success(request.header, {groupId_});
      }
      return step;
    }
    case kSmbSendTextMbMessage: {
      std::string text;
      if (request.wordCount != 1 || !open_ || !reader.Byte(kFormatDataBlock) ||
          !reader.Block(text) || !reader.AtEnd()) {
        step.reply = malformed();
      } else {
        addText(*open_, text);
        step.reply = Success(request.header);
      }
      return step;
    }
    case kSmbSendEndMbMessage: {
      if (request.wordCount != 1 || request.byteCount != 0 || !open_) {
        step.reply = malformed();
      } else {
        SessionMessage message = std::move(*open_);
        open_.reset();
        message.text = ReadableText(std::move(message.text));
        step.message = std::move(message);
        step.reply = Success(request.header);
      }
      return step;
    }
    default: step.reply = Error(request.header, kErrorUnknownCommand); return step;
  }
}

}  // namespace lomp
