// The base of everything that travels over a port: a PDU writes its wire form
// into a PduBuffer and reads it back from one. Ports never look inside.
#pragma once

#include "smb/pdu_buffer.h"

namespace lomp {

class CProtocolDataUnit {
 public:
  // Clears `buffer` and writes the wire form into it. Raises
  // KrDataTransmissionErr when the wire form would not fit the buffer; the
  // buffer then holds nothing that may be sent.
  virtual void Encode(PduBuffer& buffer) = 0;

  // Replaces the PDU's fields with the wire form in the first
  // `buffer.length` bytes. Never reads past them; never fails.
  virtual void Decode(PduBuffer& buffer) = 0;

 protected:
  CProtocolDataUnit() = default;
  CProtocolDataUnit(const CProtocolDataUnit&) = default;
  CProtocolDataUnit& operator=(const CProtocolDataUnit&) = default;
  // PDUs are automatic objects destroyed as their own type.
  ~CProtocolDataUnit() = default;
};

}  // namespace lomp
