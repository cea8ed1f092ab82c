// Personal messages: one NetBIOS session to the recipient's Messenger name,
// with one single-block SMB message or a start, 128-character text blocks
// and an end.
#pragma once

#include "app/messenger/message_record.h"
#include "endpoint/port.h"

namespace lomp {

inline constexpr std::size_t kPersonalBlockSize = 128;

// Sends the record as one 0xD0 block. True when it was delivered, false when
// the port gave no connection. A reply that does not come in time still
// counts as delivered; a recipient that ends the session without a reply has
// not taken the block, so the message goes again as a multi-block exchange on
// a new session. A reply with an error class raises KrDataTransmissionErr.
// Connect and transport errors pass to the caller; the session is always
// hung up.
bool SendPersonalMsg_Singleblock(CPort& port, const MessageRecord& record);

// Sends the record as 0xD5, one 0xD7 per 128 characters, and 0xD6 on one
// session, carrying the group id of the start reply. True when the exchange
// ran to its end, false when the port gave no connection. Any error, a reply
// with an error class among them (KrDataTransmissionErr), ends the exchange,
// hangs the session up and passes to the caller.
bool SendPersonalMsg_Multiblock(CPort& port, const MessageRecord& record);

}  // namespace lomp
