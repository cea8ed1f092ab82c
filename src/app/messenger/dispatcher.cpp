#include "app/messenger/dispatcher.h"

#include <algorithm>

#include "app/messenger/group_delivery.h"
#include "app/messenger/messenger.h"
#include "app/messenger/personal_delivery.h"
#include "runtime/errors.h"

namespace lomp {
namespace {

// What the attempts on all ports came to.
struct Outcome {
  bool noInterface = false;
  bool transmissionFailed = false;
  bool addressNotFound = false;
  std::string transmissionText;

  [[noreturn]] void Raise(bool keepText) const {
    if (noInterface) throw KrNoInterfaceAvailErr("");
    if (transmissionFailed) throw KrDataTransmissionErr(keepText ? transmissionText : "");
    if (addressNotFound) throw KrAddrNotFoundErr("");
    throw KrUnknownNetworkErr("");
  }
};

// One attempt; network errors are noted in `outcome` and count as failure.
template <class Attempt>
bool Try(Outcome& outcome, Attempt attempt) {
  try {
    return attempt();
  } catch (const KrAddrNotFoundErr&) {
    outcome.addressNotFound = true;
  } catch (const KrDataTransmissionErr& error) {
    outcome.transmissionFailed = true;
    outcome.transmissionText = error.text;
  } catch (const KrNetworkErr&) {
  }
  return false;
}

}  // namespace

void LimitText(MessageRecord& record, const GroupOptions& options) {
  const std::size_t limit = record.kind == RecipientKind::Personal || options.fragmentBroadcasts
                                ? kPersonalTextLimit
                                : options.broadcastLimit;
  if (record.text.size() > limit) record.text.resize(limit);
}

std::vector<RankedPort> RankPorts(const std::string& sender, const std::vector<CPort*>& ports) {
  std::vector<RankedPort> ranked;
  for (CPort* port : ports) {
    std::int32_t priority = 0;
    if (port->GetSenderName() == sender) priority += 50;
    const double failures = port->stats.failures;
    const double tries = failures + port->stats.successes;
    const int failurePercent = tries > 0 ? static_cast<int>(100.0 * failures / tries) : 0;
    if (failurePercent < 50) priority += 10;
    ranked.push_back({port, priority});
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const RankedPort& a, const RankedPort& b) {
    return a.priority > b.priority;
  });
  return ranked;
}

bool SendPersonalMsg(CPort& port, const MessageRecord& record) {
  return record.text.size() <= kSingleBlockLimit ? SendPersonalMsg_Singleblock(port, record)
                                                 : SendPersonalMsg_Multiblock(port, record);
}

bool SendGroupMsg(CMailslot& port, const MessageRecord& record, const GroupOptions& options) {
  StartSending(record);
  return record.text.size() <= options.broadcastLimit
             ? SendGroupMsg_Singleblock(port, record)
             : SendGroupMsg_Multiblock(port, record, options.broadcastLimit);
}

void DeliverPersonal(MessageRecord record, const std::vector<CPort*>& ports) {
  LimitText(record, GroupOptions{});
  Outcome outcome;
  outcome.noInterface = ports.empty();
  for (const RankedPort& ranked : RankPorts(record.sender, ports)) {
    record.sender = ranked.port->GetSenderName();
    const bool delivered = Try(outcome, [&] { return SendPersonalMsg(*ranked.port, record); });
    if (delivered) {
      ranked.port->stats.successes += 1.0;
      return;
    }
    ranked.port->stats.failures += 1.0;
  }
  outcome.Raise(true);
}

void DeliverGroup(MessageRecord record, const std::vector<CMailslot*>& ports,
                  const GroupOptions& options) {
  LimitText(record, options);
  Outcome outcome;
  outcome.noInterface = ports.empty();
  for (CMailslot* port : ports) {
    if (Try(outcome, [&] { return SendGroupMsg(*port, record, options); })) return;
  }
  outcome.Raise(false);
}

void DeliverMessage(MessageRecord record) {
  const ProgramOptions& options = programOptions();
  const GroupOptions group{static_cast<std::size_t>(std::max(options.broadcastLimit, 1)),
                           options.fragmentBroadcasts};
  LimitText(record, group);
  switch (record.kind) {
    case RecipientKind::Personal: DeliverPersonal(std::move(record), NetbiosPortList()); break;
    case RecipientKind::Group: DeliverGroup(std::move(record), MailslotPortList(), group); break;
    default: break;  // an unknown kind goes nowhere and is no error
  }
}

}  // namespace lomp
