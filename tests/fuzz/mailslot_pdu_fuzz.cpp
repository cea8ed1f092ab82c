// Messenger datagrams from any host: decoding takes any bytes, and what it
// decoded encodes and decodes again to the same fields.
#include <cstdint>
#include <cstring>

#include "mailslot/mailslot_pdu.h"
#include "runtime/check.h"
#include "runtime/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp;
  PduBuffer received;
  const std::size_t kept = size < PduBuffer::kCapacity ? size : PduBuffer::kCapacity;
  std::memcpy(received.bytes, data, kept);
  received.length = static_cast<std::int32_t>(kept);
  CMailslotPdu pdu;
  pdu.Decode(received);
  LOMP_CHECK(pdu.originator.size() + pdu.destination.size() + pdu.text.size() <= kept);

  PduBuffer encoded;
  try {
    pdu.Encode(encoded);
  } catch (const KrDataTransmissionErr&) {
    return 0;
  }
  CMailslotPdu again;
  again.Decode(encoded);
  LOMP_CHECK(again.originator == pdu.originator && again.destination == pdu.destination &&
             again.text == pdu.text);
  return 0;
}
