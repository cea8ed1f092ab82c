// The delivery loop: one message to every recipient of a list, one report
// line each, and an exit code for the lot. Called on the main thread; every
// list goes through a DeliveryPipeline, which overlaps the deliveries when
// the run allows more than one at once and reports them exactly as one
// after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/front/delivery_steps.h"
#include "app/front/program_options.h"

namespace lomp {

// The recipients a batch may have: as many as its input holds.
inline constexpr std::size_t kAnyNumberOfRecipients = SIZE_MAX;

// How many deliveries to `recipients` recipients may go at once: /j when
// there may be more than one, else 1 (then nothing overlaps and no thread is
// started). The one rule for the pipelines and the trace's thread column.
int DeliveryJobs(const ProgramOptions& options, std::size_t recipients);

// Reports "\nTrying to send message to <name>... " and " Sent." or " Failed."
// with its reason for each recipient. Returns 0 when at least one recipient
// was reached and none failed, else 4 (an empty list prints nothing).
int deliverToList(const RecipientList& list, const std::string& message);
int deliverToList(const RecipientList& list, const std::string& message, const Deliverer& deliver);

}  // namespace lomp
