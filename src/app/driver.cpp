#include "app/driver.h"

#include <iostream>
#include <string>
#include <vector>

#include "app/batch_mode.h"
#include "app/console.h"
#include "app/delivery_loop.h"
#include "app/messenger.h"
#include "app/program_options.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"
#include "runtime/trace_log.h"

namespace lomp {

int lompMain(int argc, const char* const argv[]) {
  // The arguments arrive in the console's character set; the program works
  // in ANSI from here on.
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc > 0 ? argc : 0));
  for (int index = 0; index < argc; ++index) {
    arguments.push_back(index == 0 ? std::string() : ConsoleToAnsi(argv[index]));
  }

  ProgramOptions& options = programOptions();
  if (!parseCommandLine(arguments, options)) {
    consoleWrite(kMaskReport, usageText(), false);
    return kExitUsage;
  }

  if (options.verbosity == kVerbosityDebug) {
    TraceLog::Instance()->setStream(&consoleStream());
    TraceLog::Instance()->setColumns(TRACE_TIME | TRACE_CLASS | TRACE_METHOD | TRACE_MESSAGE);
  }
  LogTrace(".\\lomp", __LINE__, "main", "Entering...");

  consoleWrite(kMaskReport, "\nInitializing...", true);
  try {
    if (lomp_initialize() != 0) {
      consoleWrite(kMaskReport, "Failed.", false);
      return kExitInitFailed;
    }
  } catch (const KrNetworkErr& error) {
    consoleWrite(kMaskReport, error.text, false);
    consoleWrite(kMaskReport, "\n", false);
    return kExitInitFailed;
  }

  return options.batchMode ? runBatchMode() : runSingleMode();
}

int runSingleMode() {
  consoleWrite(kMaskDebug, "\nEntering single message mode.", false);
  const ProgramOptions& options = programOptions();
  return deliverToList(options.recipients, options.messageText);
}

}  // namespace lomp
