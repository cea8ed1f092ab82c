// SMB core-protocol messaging commands, as carried over a NetBIOS session to
// a recipient's Messenger name: a 32-byte header, parameter words and data
// bytes, little-endian.
//
// One object serves a request and its reply: the caller calls Reset(), fills
// the fields, sends, and the reply is decoded into the same object. PDUs are
// automatic objects of the delivering thread. Text fields are ANSI inside the
// object and OEM on the wire.
#pragma once

#include <cstdint>
#include <string>

#include "smb/protocol_data_unit.h"

namespace lomp {

inline constexpr std::uint8_t kSmbSendMessage = 0xD0;
inline constexpr std::uint8_t kSmbSendStartMbMessage = 0xD5;
inline constexpr std::uint8_t kSmbSendEndMbMessage = 0xD6;
inline constexpr std::uint8_t kSmbSendTextMbMessage = 0xD7;

// The generic SMB message.
class CSmbPdu : public CProtocolDataUnit {
 public:
  static constexpr std::int32_t kHeaderSize = 32;
  static constexpr std::int32_t kMaxParameterWords = 256;
  static constexpr std::int32_t kMaxDataBytes = 1024;

  CSmbPdu() { CSmbPdu::Reset(); }

  // Header, the first `wordCount` parameter words, `byteCount`, the first
  // `byteCount` data bytes. Raises KrDataTransmissionErr when that is more
  // than a PduBuffer holds.
  void Encode(PduBuffer& buffer) override;

  // Reads the fields in wire order. Counts that run past the received bytes
  // are cut to what was received, so `wordCount` and `byteCount` afterwards
  // tell what was really read; header fields that were not received are 0.
  // Nothing is validated: a reply with an error class decodes like any other.
  void Decode(PduBuffer& buffer) override;

  // Protocol id FF 'S' 'M' 'B', everything else zero.
  virtual void Reset();

  std::uint8_t protocol[4] = {};
  std::uint8_t command = 0;
  std::uint8_t errorClass = 0;
  std::uint8_t reserved = 0;
  std::uint16_t errorCode = 0;
  std::uint8_t flags = 0;
  std::uint8_t reserved2[14] = {};
  std::uint16_t treeId = 0;
  std::uint16_t processId = 0;
  std::uint16_t userId = 0;
  std::uint16_t multiplexId = 0;
  std::uint8_t wordCount = 0;
  std::uint16_t parameterWords[kMaxParameterWords] = {};
  std::uint16_t byteCount = 0;
  std::uint8_t data[kMaxDataBytes] = {};

 protected:
  // Replaces `data` and `byteCount` with the given data bytes, after
  // checking that the whole message still fits a PduBuffer.
  void SetData(const PduBuffer& dataBytes);
};

// 0xD0: a whole message in one block. Data: 04 originator 00 04 destination
// 00 01 length(2) text. No data at all when originator or destination is empty.
class CSmbPdu_sends : public CSmbPdu {
 public:
  CSmbPdu_sends() = default;
  ~CSmbPdu_sends() = default;
  void Encode(PduBuffer& buffer) override;
  void Decode(PduBuffer& buffer) override;
  void Reset() override;

  std::string originator;
  std::string destination;
  std::string text;
};

// 0xD5: opens a multi-block message. Data: 04 originator 00 04 destination 00.
// The reply's first parameter word is the message group id.
class CSmbPdu_sendstrt : public CSmbPdu {
 public:
  CSmbPdu_sendstrt() = default;
  ~CSmbPdu_sendstrt() = default;
  void Encode(PduBuffer& buffer) override;
  void Decode(PduBuffer& buffer) override;
  void Reset() override;

  std::string originator;
  std::string destination;
};

// 0xD7: one text block of a multi-block message. Data: 01 length(2) text; no
// data when the text is empty. The caller sets wordCount 1 and the group id
// in parameter word 0.
class CSmbPdu_sendtxt : public CSmbPdu {
 public:
  CSmbPdu_sendtxt() = default;
  ~CSmbPdu_sendtxt() = default;
  void Encode(PduBuffer& buffer) override;
  void Decode(PduBuffer& buffer) override;
  void Reset() override;

  std::string text;
};

// 0xD6: closes a multi-block message; no data. The caller sets wordCount 1
// and the group id in parameter word 0.
class CSmbPdu_sendend : public CSmbPdu {
 public:
  CSmbPdu_sendend() = default;
  ~CSmbPdu_sendend() = default;
  void Encode(PduBuffer& buffer) override { CSmbPdu::Encode(buffer); }
  void Decode(PduBuffer& buffer) override { CSmbPdu::Decode(buffer); }
  void Reset() override;
};

}  // namespace lomp
