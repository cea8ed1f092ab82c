// Recipient dispatch: cuts a message to the limit of its kind, sends
// personal messages through the NetBIOS name ports (best first) and group
// messages through the mailslot port, and reduces the failures of all
// attempts to one error. Runs on the delivering thread.
#pragma once

#include <cstdint>
#include <vector>

#include "app/messenger/message_record.h"
#include "endpoint/port.h"
#include "mailslot/mailslot_port.h"

namespace lomp {

inline constexpr std::size_t kPersonalTextLimit = 1600;
inline constexpr std::size_t kSingleBlockLimit = 128;

// The group settings of the command line the dispatcher reads.
struct GroupOptions {
  std::size_t broadcastLimit = 128;
  bool fragmentBroadcasts = false;
};

struct RankedPort {
  CPort* port = nullptr;
  std::int32_t priority = 0;
};

// Cuts record.text to 1600 characters (personal, or group with /p) or to the
// broadcast limit (group).
void LimitText(MessageRecord& record, const GroupOptions& options);

// Orders ports best first: +50 for the same sender name, +10 for a failure
// rate below 50 %; equal ports keep their order.
std::vector<RankedPort> RankPorts(const std::string& sender, const std::vector<CPort*>& ports);

// Single block up to 128 characters, else multi-block.
bool SendPersonalMsg(CPort& port, const MessageRecord& record);
// One datagram up to the broadcast limit, else fragments.
bool SendGroupMsg(CMailslot& port, const MessageRecord& record, const GroupOptions& options);

// Tries the ports in rank order until one delivers; then raises one error:
// KrNoInterfaceAvailErr (no port), KrDataTransmissionErr (with the last such
// error's text), KrAddrNotFoundErr, or KrUnknownNetworkErr. Updates the
// ports' statistics.
void DeliverPersonal(MessageRecord record, const std::vector<CPort*>& ports);

// Tries the mailslot ports in order; raises by the same rules, every error
// with an empty text.
void DeliverGroup(MessageRecord record, const std::vector<CMailslot*>& ports,
                  const GroupOptions& options);

// Delivers through the messaging service's ports with the command line's
// settings. A record of another kind does nothing.
void DeliverMessage(MessageRecord record);

}  // namespace lomp
