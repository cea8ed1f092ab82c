// The delivery loop: one message to every recipient of a list, one report
// line each, and an exit code for the lot. Called on the main thread; with
// /j above 1 the deliveries of a list overlap (DeliveryPipeline), reported
// exactly as one after the other.
#pragma once

#include <functional>
#include <string>

#include "app/message_record.h"
#include "app/program_options.h"

namespace lomp {

// Delivers one record or raises a KrNetworkErr; DeliverMessage in the program.
// With /j above 1 it is called from several threads at once.
using Deliverer = std::function<void(MessageRecord)>;

// Reports "\nTrying to send message to <name>... " and " Sent." or " Failed."
// with its reason for each recipient. Returns 0 when at least one recipient
// was reached and none failed, else 4 (an empty list prints nothing).
int deliverToList(const RecipientList& list, const std::string& message);
int deliverToList(const RecipientList& list, const std::string& message, const Deliverer& deliver);

// A recipient name as the report shows it: control characters (names come
// from message files too) in caret notation, ESC as "^[", so none can steer
// the terminal. What goes on the wire is the name itself.
std::string VisibleName(const std::string& ansi);

}  // namespace lomp
