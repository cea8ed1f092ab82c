// Group messages: one datagram, or one datagram per fragment of the text,
// to the Messenger mailslot of a domain or workgroup.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/messenger/message_record.h"
#include "mailslot/mailslot_port.h"

namespace lomp {

// Cuts `text` into fragments of at most `size` characters, each ending after
// the last space (or 0x13) of its window when the window has one past its
// first character; the break character stays with the fragment.
std::vector<std::string> SplitGroupText(const std::string& text, std::size_t size);

// Sends the record as one datagram. False when the port gave no connection;
// a failed write raises KrDataTransmissionErr.
bool SendGroupMsg_Singleblock(CMailslot& port, const MessageRecord& record);

// Sends each fragment of at most `fragmentSize` characters as a datagram of
// its own, in order. False at the first fragment that got no connection; the
// earlier ones have gone out.
bool SendGroupMsg_Multiblock(CMailslot& port, const MessageRecord& record,
                             std::size_t fragmentSize);

}  // namespace lomp
