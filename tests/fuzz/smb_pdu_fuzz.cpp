// SMB replies from any host: decoding never reads or writes out of bounds,
// and what it decoded encodes and decodes again to the same fields.
#include <cstdint>
#include <cstring>

#include "runtime/check.h"
#include "runtime/errors.h"
#include "smb/smb_pdu.h"

namespace {

using namespace lomp;

PduBuffer Received(const std::uint8_t* data, std::size_t size) {
  PduBuffer buffer;
  const std::size_t kept = size < PduBuffer::kCapacity ? size : PduBuffer::kCapacity;
  std::memcpy(buffer.bytes, data, kept);
  // A transport may report any length; decoding must bound it itself.
  buffer.length = static_cast<std::int32_t>(size);
  return buffer;
}

bool SameFields(const CSmbPdu& a, const CSmbPdu& b) {
  return a.command == b.command && a.errorClass == b.errorClass && a.errorCode == b.errorCode &&
         a.flags == b.flags && a.wordCount == b.wordCount && a.byteCount == b.byteCount &&
         std::memcmp(a.parameterWords, b.parameterWords, 2u * a.wordCount) == 0 &&
         std::memcmp(a.data, b.data, a.byteCount) == 0 &&
         std::memcmp(a.protocol, b.protocol, sizeof a.protocol) == 0;
}

template <class Pdu>
void DecodeAndEncode(const std::uint8_t* data, std::size_t size) {
  PduBuffer received = Received(data, size);
  Pdu pdu;
  pdu.Reset();
  pdu.Decode(received);
  PduBuffer encoded;
  try {
    pdu.Encode(encoded);
  } catch (const KrDataTransmissionErr&) {
    return;  // an encoder may refuse what would not fit
  }
  LOMP_CHECK(encoded.length <= PduBuffer::kCapacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PduBuffer received = Received(data, size);
  CSmbPdu generic;
  generic.Decode(received);
  PduBuffer encoded;
  generic.Encode(encoded);  // a decoded message always fits
  CSmbPdu again;
  again.Decode(encoded);
  LOMP_CHECK(SameFields(generic, again));

  DecodeAndEncode<CSmbPdu_sends>(data, size);
  DecodeAndEncode<CSmbPdu_sendstrt>(data, size);
  DecodeAndEncode<CSmbPdu_sendtxt>(data, size);
  DecodeAndEncode<CSmbPdu_sendend>(data, size);
  return 0;
}
