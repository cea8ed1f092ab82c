#include "mailslot/mailslot_pdu.h"

#include "runtime/errors.h"
#include "runtime/text_conversion.h"

namespace lomp {

void CMailslotPdu::Encode(PduBuffer& buffer) {
  buffer.Clear();
  std::string fields[] = {originator, destination, text};
  std::size_t size = 0;
  for (std::string& field : fields) {
    ToOem(field);
    size += field.size() + 1;
  }
  if (size > static_cast<std::size_t>(PduBuffer::kCapacity)) {
    throw KrDataTransmissionErr("mailslot message too large: " + std::to_string(size) +
                                " bytes, at most " + std::to_string(PduBuffer::kCapacity));
  }
  for (const std::string& field : fields) {
    buffer.Append(field.data(), static_cast<std::int32_t>(field.size()));
    buffer.AppendByte(0x00);
  }
}

void CMailslotPdu::Decode(PduBuffer& buffer) {
  buffer.SetReadPosition(0);
  const std::int32_t end = buffer.Remaining();
  std::int32_t position = 0;
  auto nextField = [&] {
    std::string field;
    while (position < end && buffer.bytes[position] != 0x00) {
      field.push_back(static_cast<char>(buffer.bytes[position++]));
    }
    if (position < end) ++position;  // the terminator
    FromOem(field);
    return field;
  };
  originator = nextField();
  destination = nextField();
  text = nextField();
}

}  // namespace lomp
