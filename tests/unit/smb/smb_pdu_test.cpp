#include "smb/smb_pdu.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/errors.h"

namespace lomp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encoded(CProtocolDataUnit& pdu) {
  PduBuffer buffer;
  pdu.Encode(buffer);
  return Bytes(buffer.bytes, buffer.bytes + buffer.length);
}

PduBuffer Received(const Bytes& bytes) {
  PduBuffer buffer;
  buffer.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  return buffer;
}

// The 32-byte header of a request with the given command: FF 'S' 'M' 'B',
// the command, 27 zero bytes.
Bytes Header(std::uint8_t command) {
  Bytes header{0xFF, 0x53, 0x4D, 0x42, command};
  header.resize(32, 0x00);
  return header;
}

Bytes Concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Golden bytes in these tests are worked examples of the SMB messaging
// commands written out by hand, not output of this encoder.

TEST(SmbSingleBlock, EncodesTheWorkedExample) {
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = "A";
  pdu.destination = "B";
  pdu.text = "hi";
  const Bytes expected = Concat(Header(0xD0), {0x00, 0x0B, 0x00, 0x04, 0x41, 0x00, 0x04, 0x42, 0x00,
                                               0x01, 0x02, 0x00, 0x68, 0x69});
  EXPECT_EQ(Encoded(pdu), expected);
  EXPECT_EQ(expected.size(), 46u);
}

TEST(SmbSingleBlock, EmptyNameSendsNoData) {
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = "A";
  pdu.text = "hi";
  EXPECT_EQ(Encoded(pdu), Concat(Header(0xD0), {0x00, 0x00, 0x00}));
  pdu.originator.clear();
  pdu.destination = "B";
  EXPECT_EQ(Encoded(pdu).size(), 35u);
}

TEST(SmbSingleBlock, EmptyTextStillCarriesTheDataBlock) {
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = "A";
  pdu.destination = "B";
  EXPECT_EQ(Encoded(pdu), Concat(Header(0xD0), {0x00, 0x09, 0x00, 0x04, 0x41, 0x00, 0x04, 0x42,
                                                0x00, 0x01, 0x00, 0x00}));
}

TEST(SmbSingleBlock, TextTravelsInTheOemCodePage) {
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = "A";
  pdu.destination = "B";
  pdu.text =
      "Gr\xFC\xDF"
      "e";  // "Grüße" in Windows-1252
  const Bytes bytes = Encoded(pdu);
  const Bytes tail(bytes.end() - 8, bytes.end());
  EXPECT_EQ(tail, (Bytes{0x01, 0x05, 0x00, 0x47, 0x72, 0x81, 0xE1, 0x65}));
  // The object itself keeps its ANSI text.
  EXPECT_EQ(pdu.text,
            "Gr\xFC\xDF"
            "e");
}

TEST(SmbSingleBlock, DecodesARequestBackIntoAnsi) {
  const Bytes bytes = Concat(Header(0xD0), {0x00, 0x0C, 0x00, 0x04, 0x41, 0x00, 0x04, 0x42, 0x00,
                                            0x01, 0x03, 0x00, 0x68, 0x81, 0x69});
  PduBuffer buffer = Received(bytes);
  CSmbPdu_sends pdu;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.command, 0xD0);
  EXPECT_EQ(pdu.originator, "A");
  EXPECT_EQ(pdu.destination, "B");
  EXPECT_EQ(pdu.text, "h\xFCi");
}

TEST(SmbSingleBlock, DestinationWithoutTerminatorStopsAtByteCount) {
  // bcc 5: 04 'A' 00 04 'B' and nothing more; the data array holds stale
  // bytes behind it that must not be read.
  CSmbPdu_sends pdu;
  pdu.Reset();
  std::fill(std::begin(pdu.data), std::end(pdu.data), 'x');
  PduBuffer buffer =
      Received(Concat(Header(0xD0), {0x00, 0x05, 0x00, 0x04, 0x41, 0x00, 0x04, 0x42}));
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.originator, "A");
  EXPECT_EQ(pdu.destination, "B");
  EXPECT_EQ(pdu.text, "");
}

TEST(SmbSingleBlock, TextLengthBeyondTheDataIsCut) {
  PduBuffer buffer = Received(Concat(Header(0xD0), {0x00, 0x0A, 0x00, 0x04, 0x41, 0x00, 0x04, 0x42,
                                                    0x00, 0x01, 0xFF, 0x00, 0x68}));
  CSmbPdu_sends pdu;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.text, "h");
}

TEST(SmbStart, EncodesNamesOnly) {
  CSmbPdu_sendstrt pdu;
  pdu.Reset();
  pdu.originator = "ALICE";
  pdu.destination = "BOB";
  EXPECT_EQ(Encoded(pdu), Concat(Header(0xD5), {0x00, 0x0C, 0x00, 0x04, 'A', 'L', 'I', 'C', 'E',
                                                0x00, 0x04, 'B', 'O', 'B', 0x00}));
}

TEST(SmbStart, ReplyCarriesTheGroupId) {
  CSmbPdu_sendstrt pdu;
  pdu.Reset();
  pdu.originator = "ALICE";
  pdu.destination = "BOB";
  PduBuffer buffer = Received(Concat(Header(0xD5), {0x01, 0x05, 0x00, 0x00, 0x00}));
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.wordCount, 1);
  EXPECT_EQ(pdu.parameterWords[0], 5);
  EXPECT_EQ(pdu.originator, "");
  EXPECT_EQ(pdu.destination, "");
}

TEST(SmbStart, ReplyWithoutWordsLeavesGroupIdZero) {
  // Samba answers the start command with no parameter words.
  CSmbPdu_sendstrt pdu;
  pdu.Reset();
  PduBuffer buffer = Received(Concat(Header(0xD5), {0x00, 0x00, 0x00}));
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.wordCount, 0);
  EXPECT_EQ(pdu.parameterWords[0], 0);
}

TEST(SmbText, EncodesA128ByteBlock) {
  CSmbPdu_sendtxt pdu;
  pdu.Reset();
  pdu.wordCount = 1;
  pdu.parameterWords[0] = 0x0007;
  pdu.text = std::string(128, 'x');
  const Bytes bytes = Encoded(pdu);
  ASSERT_EQ(bytes.size(), 35u + 2 + 131);
  EXPECT_EQ(Bytes(bytes.begin() + 32, bytes.begin() + 40),
            (Bytes{0x01, 0x07, 0x00, 0x83, 0x00, 0x01, 0x80, 0x00}));
  EXPECT_EQ(bytes.back(), 'x');
}

TEST(SmbText, EmptyTextSendsNoData) {
  CSmbPdu_sendtxt pdu;
  pdu.Reset();
  pdu.wordCount = 1;
  EXPECT_EQ(Encoded(pdu), Concat(Header(0xD7), {0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST(SmbText, LengthFieldHoldsTheWholeLength) {
  // Longer than one byte can count: the high byte of the length is written.
  CSmbPdu_sendtxt pdu;
  pdu.Reset();
  pdu.text = std::string(300, 'y');
  const Bytes bytes = Encoded(pdu);
  EXPECT_EQ(Bytes(bytes.begin() + 35, bytes.begin() + 38), (Bytes{0x01, 0x2C, 0x01}));
  PduBuffer buffer = Received(bytes);
  CSmbPdu_sendtxt decoded;
  decoded.Decode(buffer);
  EXPECT_EQ(decoded.text, pdu.text);
}

TEST(SmbEnd, EncodesTheGroupId) {
  CSmbPdu_sendend pdu;
  pdu.Reset();
  pdu.wordCount = 1;
  pdu.parameterWords[0] = 0x1234;
  const Bytes bytes = Encoded(pdu);
  ASSERT_EQ(bytes.size(), 37u);
  EXPECT_EQ(bytes[4], 0xD6);
  EXPECT_EQ(Bytes(bytes.end() - 5, bytes.end()), (Bytes{0x01, 0x34, 0x12, 0x00, 0x00}));
}

TEST(SmbReply, ErrorReplyDecodesLikeAnyOther) {
  Bytes bytes = Header(0xD0);
  bytes[5] = 0x02;  // ERRSRV
  bytes[7] = 0x52;  // ERRmsgoff
  bytes[9] = 0x80;  // reply flag
  bytes[30] = 0x34;
  bytes[31] = 0x12;
  bytes.insert(bytes.end(), {0x00, 0x00, 0x00});
  PduBuffer buffer = Received(bytes);
  CSmbPdu_sends pdu;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.errorClass, 0x02);
  EXPECT_EQ(pdu.errorCode, 0x0052);
  EXPECT_EQ(pdu.flags, 0x80);
  EXPECT_EQ(pdu.multiplexId, 0x1234);
}

TEST(SmbReply, EveryTruncatedPrefixDecodesWithinWhatWasReceived) {
  CSmbPdu_sends request;
  request.Reset();
  request.originator = "SENDER";
  request.destination = "RECIPIENT";
  request.text = "a message";
  const Bytes whole = Encoded(request);
  for (size_t size = 0; size <= whole.size(); ++size) {
    SCOPED_TRACE(size);
    PduBuffer buffer = Received(Bytes(whole.begin(), whole.begin() + static_cast<long>(size)));
    CSmbPdu_sends pdu;
    pdu.Reset();
    pdu.Decode(buffer);
    EXPECT_LE(35 + 2 * pdu.wordCount + pdu.byteCount, std::max<int>(35, static_cast<int>(size)));
    EXPECT_LE(pdu.originator.size() + pdu.destination.size() + pdu.text.size(), size);
    if (size < 5) {
      EXPECT_EQ(pdu.command, 0);
    }
  }
}

TEST(SmbReply, LyingCountsAreCutToTheReceivedBytes) {
  // Word count 255 and byte count 0xFFFF with only a few bytes behind them.
  PduBuffer buffer = Received(Concat(Header(0xD5), {0xFF, 0x01, 0x00, 0x02, 0x00, 0x03}));
  CSmbPdu pdu;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.wordCount, 2);
  EXPECT_EQ(pdu.parameterWords[0], 1);
  EXPECT_EQ(pdu.parameterWords[1], 2);
  EXPECT_EQ(pdu.byteCount, 0);

  PduBuffer second = Received(Concat(Header(0xD7), {0x00, 0xFF, 0xFF, 0x01, 0x02}));
  pdu.Decode(second);
  EXPECT_EQ(pdu.byteCount, 2);
  EXPECT_EQ(pdu.data[1], 0x02);
}

TEST(SmbReply, LengthOutsideTheBufferIsBounded) {
  PduBuffer buffer;
  buffer.length = 5000;  // a transport that reports more than the buffer holds
  std::fill(std::begin(buffer.bytes), std::end(buffer.bytes), 0xFF);
  CSmbPdu pdu;
  pdu.Decode(buffer);
  EXPECT_LE(35 + 2 * pdu.wordCount + pdu.byteCount, PduBuffer::kCapacity);

  buffer.length = -3;
  pdu.Decode(buffer);
  EXPECT_EQ(pdu.command, 0);
  EXPECT_EQ(pdu.wordCount, 0);
}

TEST(SmbEncode, RefusesWhatDoesNotFitTheBuffer) {
  CSmbPdu_sends pdu;
  pdu.Reset();
  pdu.originator = std::string(600, 'A');
  pdu.destination = std::string(600, 'B');
  pdu.text = "hi";
  PduBuffer buffer;
  buffer.AppendByte(0x55);
  try {
    pdu.Encode(buffer);
    FAIL() << "encoded " << buffer.length << " bytes";
  } catch (const KrDataTransmissionErr& error) {
    EXPECT_NE(error.text.find("too large"), std::string::npos) << error.text;
  }
  EXPECT_EQ(buffer.length, 0) << "nothing may be left to send";

  // The largest message that fits: 35 + bcc = 1024.
  pdu.originator = "A";
  pdu.destination = "B";
  pdu.text = std::string(1024 - 35 - 11 + 2, 't');
  EXPECT_EQ(Encoded(pdu).size(), 1024u);
  pdu.text.push_back('t');
  EXPECT_THROW(Encoded(pdu), KrDataTransmissionErr);
}

TEST(SmbEncode, RefusesOversizedStartAndText) {
  CSmbPdu_sendstrt start;
  start.Reset();
  start.originator = std::string(500, 'A');
  start.destination = std::string(500, 'B');
  EXPECT_THROW(Encoded(start), KrDataTransmissionErr);

  CSmbPdu_sendtxt text;
  text.Reset();
  text.wordCount = 1;
  text.text = std::string(1024 - 37 - 3, 'x');
  EXPECT_EQ(Encoded(text).size(), 1024u);
  text.text.push_back('x');
  EXPECT_THROW(Encoded(text), KrDataTransmissionErr);

  CSmbPdu generic;
  generic.byteCount = 1000;
  EXPECT_THROW(Encoded(generic), KrDataTransmissionErr);
}

TEST(SmbReset, ClearsTheReplyOfAnEarlierExchange) {
  CSmbPdu_sendtxt pdu;
  pdu.Reset();
  PduBuffer buffer = Received(Concat(Header(0xD5), {0x01, 0x09, 0x00, 0x00, 0x00}));
  pdu.Decode(buffer);
  pdu.Reset();
  EXPECT_EQ(pdu.command, 0xD7);
  EXPECT_EQ(pdu.wordCount, 0);
  EXPECT_EQ(pdu.parameterWords[0], 0);
  EXPECT_EQ(pdu.protocol[0], 0xFF);
  EXPECT_EQ(pdu.protocol[3], 'B');
}

}  // namespace
}  // namespace lomp
