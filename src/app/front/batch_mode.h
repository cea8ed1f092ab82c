// Batch mode: entries of a recipient list and an optional message, one per
// line, from a message file or typed at the console, read with
// MessageFileReader and delivered through one DeliveryPipeline.
#pragma once

#include <istream>
#include <string>

#include "app/front/delivery_steps.h"

namespace lomp {

// Runs batch mode over `input`, handing each entry to the delivery loop. The
// "\n>" prompt is shown before each read when `prompt` is set and the input
// source is the console. A UTF-8 byte-order mark at the start is passed
// over; UTF-16 input is refused (reported on standard error, naming
// `source`), and so is input that breaks off with a read error, after the
// entries before it were reported (the entry being read is not sent). 0 when
// at least one entry was delivered and none failed, 3 for UTF-16 input or a
// read error, else 4.
int runBatchMode(std::istream& input, const Deliverer& deliver, bool prompt = true,
                 const std::string& source = "standard input");

// Batch mode as the driver runs it: the message file of the command line, or
// standard input ("/f" or "/f:-"; prompts only at a terminal). 3 when the
// file cannot be opened or read: "\nError reading message file: PATH: reason"
// on standard error.
int runBatchMode();

}  // namespace lomp
