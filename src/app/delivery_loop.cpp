#include "app/delivery_loop.h"

#include "app/console.h"
#include "app/dispatcher.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"
#include "runtime/trace_log.h"

namespace lomp {

std::string VisibleName(const std::string& ansi) {
  std::string shown;
  for (const char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      // Caret notation: ESC shows as ^[, DEL as ^?; nothing reaches the
      // terminal as a control.
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40);
    } else {
      shown += c;
    }
  }
  return shown;
}

int deliverToList(const RecipientList& list, const std::string& message) {
  return deliverToList(list, message, DeliverMessage);
}

int deliverToList(const RecipientList& list, const std::string& message, const Deliverer& deliver) {
  const std::uint64_t timestamp = CurrentLocalFileTime();
  int successes = 0;
  int failures = 0;
  for (const RecipientEntry& entry : list) {
    MessageRecord record;
    record.kind = entry.kind;
    record.recipient = entry.name;
    record.sender = programOptions().signature;
    record.recipientName = entry.name;
    record.text = message;
    record.timestamp = timestamp;

    consoleWrite(kMaskReport, "\nTrying to send message to ", false);
    consoleWrite(kMaskReport, AnsiToConsole(VisibleName(entry.name)), false);
    consoleWrite(kMaskReport, "... ", true);

    const char* reason = nullptr;
    try {
      deliver(record);
    } catch (const KrAddrNotFoundErr&) {
      reason = " Recipient not found";
    } catch (const KrDataTransmissionErr&) {
      reason = " Data transmission error";
    } catch (const KrNoInterfaceAvailErr&) {
      reason = " No network found";
    } catch (const KrNetworkErr&) {
      reason = " Unknown error";
    }
    if (reason == nullptr) {
      ++successes;
      consoleWrite(kMaskReport, " Sent.", true);
    } else {
      ++failures;
      consoleWrite(kMaskReport, " Failed.", false);
      consoleWrite(kMaskReport, reason, true);
    }
  }
  return successes >= 1 && failures == 0 ? 0 : 4;
}

}  // namespace lomp
