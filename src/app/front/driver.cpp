#include "app/front/driver.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/front/batch_mode.h"
#include "app/front/console.h"
#include "app/front/delivery_loop.h"
#include "app/front/interruption.h"
#include "app/front/program_options.h"
#include "app/listen/desktop_modes.h"
#include "app/listen/listen_mode.h"
#include "app/listen/listen_options.h"
#include "app/messenger/messenger.h"
#include "runtime/errors.h"
#include "runtime/text_conversion.h"
#include "runtime/trace_log.h"

namespace lomp {

std::optional<int> AnswerAtOnce(int argc, const char* const argv[]) {
  // The habits of every Linux command, as the whole command line only; in
  // ASCII, which every console set shares.
  if (argc != 2) return std::nullopt;
  const std::string_view only = argv[1];
  if (only == "--help" || only == "-h") {
    consoleWrite(kMaskReport, usageText(), true);
    return kExitDelivered;
  }
  if (only == "--version" || only == "-V") {
    consoleWrite(kMaskReport, "lomp " + versionText() + "\n", true);
    return kExitDelivered;
  }
  return std::nullopt;
}

int lompMain(int argc, const char* const argv[]) {
  if (const std::optional<int> code = AnswerAtOnce(argc, argv)) return *code;
  // Until the run is known to need the thread that waits for the signals,
  // it starts only if the run has to wait.
  StartWatchingWhenTheRunWaits();

  // The arguments arrive in the console's character set; the program works
  // in ANSI from here on.
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc > 0 ? argc : 0));
  for (int index = 0; index < argc; ++index) {
    arguments.push_back(index == 0 ? std::string() : ConsoleToAnsi(argv[index]));
  }

  if (IsAgentCommand(arguments)) {
    AgentMode agent(consoleStream(), consoleErrorStream());
    SetInterruptionHandler([&agent] { agent.RequestStop(); });
    StartWatchingForInterruption();
    const int code = agent.Run(arguments);
    SetInterruptionHandler(nullptr);
    return code;
  }
  if (IsFromSambaCommand(arguments)) {
    StartWatchingForInterruption();
    return RunFromSamba(arguments, consoleErrorStream());
  }
  if (IsListenCommand(arguments)) {
    ListenMode listening(consoleStream(), consoleErrorStream());
    SetInterruptionHandler([&listening] { listening.RequestStop(); });
    StartWatchingForInterruption();
    const int code = listening.Run(arguments);
    SetInterruptionHandler(nullptr);
    return code;
  }
  ProgramOptions& options = programOptions();
  if (!parseCommandLine(arguments, options)) {
    consoleWriteError(kMaskReport, usageText(), true);
    return kExitUsage;
  }
  ChooseDefaultSignature(options);
  // A batch waits for its input, which may be a person at the console.
  if (options.batchMode) StartWatchingForInterruption();

  const int code = runProgram(options);
  // The shell's prompt starts on a line of its own.
  if (consoleWritten()) consoleWrite(kMaskReport, "\n", true);
  return code;
}

int runProgram(const ProgramOptions& options) {
  if (options.verbosity == kVerbosityDebug) {
    TraceLog::Instance()->setStream(&consoleErrorStream());
    // A run whose deliveries may overlap (several recipients, or a batch,
    // with /j above 1) says which thread wrote each record; any other run
    // keeps the columns as they always were.
    const std::size_t recipients =
        options.batchMode ? kAnyNumberOfRecipients : options.recipients.size();
    const std::uint32_t thread = DeliveryJobs(options, recipients) > 1 ? TRACE_THREAD : 0;
    TraceLog::Instance()->setColumns(TRACE_TIME | TRACE_CLASS | TRACE_METHOD | thread |
                                     TRACE_MESSAGE);
  }
  LogTrace(".\\lomp", __LINE__, "main", "Entering...");

  consoleWrite(kMaskReport, "\nInitializing...", true);
  try {
    if (lomp_initialize() != 0) {
      consoleWrite(kMaskReport, "Failed.", false);
      return kExitInitFailed;
    }
  } catch (const KrNetworkErr& error) {
    // The line feed that ends the output comes at the end of the program.
    consoleWrite(kMaskReport, error.text, false);
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
