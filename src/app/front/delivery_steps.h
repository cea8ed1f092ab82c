// The steps of one recipient's delivery, whichever thread runs it: the
// record, the delivery with its outcome in the report's words, the report's
// two halves and a list's result. The delivery pipeline and batch mode both
// word and count through these, so every /j reports alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/front/program_options.h"
#include "app/messenger/message_record.h"

namespace lomp {

// Delivers one record or raises a KrNetworkErr; DeliverMessage in the program.
// With /j above 1 it is called from several threads at once.
using Deliverer = std::function<void(MessageRecord)>;

// The record of `message` to `entry`, stamped with `timestamp`.
MessageRecord RecordFor(const RecipientEntry& entry, const std::string& message,
                        std::uint64_t timestamp);
// Delivers `record`: nullptr when it was delivered, else the reason shown
// after " Failed." (" Recipient not found" and the like). Errors outside the
// network family pass to the caller.
const char* DeliverAndClassify(const Deliverer& deliver, const MessageRecord& record);
// "\nTrying to send message to NAME... ", NAME as VisibleName shows it.
void ReportTrying(const std::string& recipient);
// The reason of a delivery that never started because the program was
// interrupted: reported as " Not sent. Interrupted", not as a failure.
extern const char* const kNotSent;
// " Sent." when `reason` is null, " Not sent. Interrupted" for kNotSent, else
// " Failed." and the reason.
void ReportOutcome(const char* reason);
// A list's result: 0 when at least one recipient was reached and none
// failed, else 4.
int ListResult(int successes, int failures);

// A recipient name as the report shows it: control characters (names come
// from message files too) in caret notation, ESC as "^[", so none can steer
// the terminal. What goes on the wire is the name itself.
std::string VisibleName(const std::string& ansi);

}  // namespace lomp
