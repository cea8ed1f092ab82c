// The Messenger datagram of a group message: sender, recipient and text, each
// in the OEM code page and ended by one 0x00. No header, no length field.
//
// An automatic object of the delivering thread; the fields are ANSI.
#pragma once

#include <string>

#include "smb/protocol_data_unit.h"

namespace lomp {

class CMailslotPdu : public CProtocolDataUnit {
 public:
  CMailslotPdu() = default;
  ~CMailslotPdu() = default;

  // Writes originator, 0x00, destination, 0x00, text, 0x00. Raises
  // KrDataTransmissionErr when that is more than a PduBuffer holds.
  void Encode(PduBuffer& buffer) override;

  // Reads up to three fields from the first `buffer.length` bytes. A missing
  // terminator ends a field at the end of the data and leaves the later
  // fields empty; bytes after the third field are ignored.
  void Decode(PduBuffer& buffer) override;

  std::string originator;
  std::string destination;
  std::string text;
};

}  // namespace lomp
