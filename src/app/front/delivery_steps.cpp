#include "app/front/delivery_steps.h"

#include "app/front/console.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"

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

MessageRecord RecordFor(const RecipientEntry& entry, const std::string& message,
                        std::uint64_t timestamp) {
  MessageRecord record;
  record.kind = entry.kind;
  record.recipient = entry.name;
  record.sender = programOptions().signature;
  record.recipientName = entry.name;
  record.text = message;
  record.timestamp = timestamp;
  return record;
}

const char* DeliverAndClassify(const Deliverer& deliver, const MessageRecord& record) {
  try {
    deliver(record);
  } catch (const KrAddrNotFoundErr&) {
    return " Recipient not found";
  } catch (const KrDataTransmissionErr&) {
    return " Data transmission error";
  } catch (const KrNoInterfaceAvailErr&) {
    return " No network found";
  } catch (const KrNetworkErr&) {
    return " Unknown error";
  }
  return nullptr;
}

void ReportTrying(const std::string& recipient) {
  consoleWrite(kMaskReport, "\nTrying to send message to ", false);
  consoleWrite(kMaskReport, AnsiToConsole(VisibleName(recipient)), false);
  consoleWrite(kMaskReport, "... ", true);
}

const char* const kNotSent = " Interrupted";

void ReportOutcome(const char* reason) {
  if (reason == nullptr) {
    consoleWrite(kMaskReport, " Sent.", true);
  } else if (reason == kNotSent) {
    consoleWrite(kMaskReport, " Not sent.", false);
    consoleWrite(kMaskReport, reason, true);
  } else {
    consoleWrite(kMaskReport, " Failed.", false);
    consoleWrite(kMaskReport, reason, true);
  }
}

int ListResult(int successes, int failures) {
  return successes >= 1 && failures == 0 ? 0 : 4;
}

}  // namespace lomp
