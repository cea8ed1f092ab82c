#include "app/front/batch_mode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "app/front/console.h"
#include "app/front/delivery_loop.h"
#include "app/front/delivery_pipeline.h"
#include "app/front/message_file.h"
#include "app/front/program_options.h"
#include "app/messenger/dispatcher.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

void ReportUnreadable(const std::string& path, const std::string& reason) {
  consoleWriteError(kMaskReport,
                    "\nError reading message file: " + AnsiToConsole(path) + ": " + reason + "\n",
                    true);
}

}  // namespace

int runBatchMode(std::istream& input, const Deliverer& deliver, bool prompt,
                 const std::string& source) {
  MessageFileReader reader(input);
  int delivered = 0;
  int failed = 0;
  const auto count = [&](int result) { ++(result == 0 ? delivered : failed); };
  // With /j above 1 the entries' deliveries overlap: the next entries are
  // read while earlier ones are still being delivered, as far as the
  // pipeline's window lets them. With /j:1 each is delivered as it is read.
  DeliveryPipeline pipeline(deliver, DeliveryJobs(programOptions(), kAnyNumberOfRecipients));
  bool first = true;
  errno = 0;
  // After a signal to end the run, nothing more is read.
  while (!input.eof() && !input.bad() && !pipeline.interrupted()) {
    // The prompt comes before anything is read, the first one included; a
    // person at the console sees it after the report of the last entry.
    if (prompt) {
      pipeline.Drain();
      consoleWriteForInput(kMaskReport, kInputConsole, "\n>", true);
    }
    if (first) {
      first = false;
      if (ReadStartOfInput(input) == InputStart::Utf16) {
        ReportUnreadable(source, "UTF-16 text is not read; save the file as UTF-8");
        return 3;
      }
    }
    const std::string field = reader.readRecipientField();
    std::string message = reader.readMessageField();
    if (input.bad()) {
      // The input broke off (a read error, a reset socket): the entry read
      // last may be cut, so it is not sent, and the run says so.
      const int error = errno;
      pipeline.Drain();
      ReportUnreadable(source, error != 0 ? std::strerror(error) : "read error");
      return 3;
    }
    if (field.empty()) continue;
    if (message.empty()) message = programOptions().messageText;

    OptionPair pair = splitArgument(field);
    pair.value = trimWhiteSpace(pair.value);
    const std::optional<RecipientKind> kind = recipientKindOf(pair);
    if (!kind) continue;  // not a recipient switch: skipped, not counted

    RecipientList recipients;
    appendRecipients(*kind, pair.value, recipients);
    pipeline.Submit(recipients, message, count);
  }
  pipeline.Drain();  // every entry reported
  return ListResult(delivered, failed);
}

int runBatchMode() {
  consoleWrite(kMaskDebug, "\nEntering batch mode.", false);
  const ProgramOptions& options = programOptions();
  if (options.messageFile.empty() || options.messageFile == "-") {
    // Prompts are for a person at a terminal, not for a pipe.
    return runBatchMode(consoleInput(), DeliverMessage, isatty(STDIN_FILENO) == 1,
                        "standard input");
  }

  // A folder opens like a file but reads nothing: refuse it as unreadable.
  struct stat status {};
  std::ifstream file;
  int error = 0;
  errno = 0;
  if (stat(options.messageFile.c_str(), &status) != 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else {
    file.open(options.messageFile, std::ios::in | std::ios::binary);
    // Opens but cannot be read (/proc/self/mem): the first read fails.
    const bool unreadable = !file.is_open() || !file.good() || (file.peek() == EOF && file.bad());
    if (unreadable) error = errno != 0 ? errno : EIO;
  }
  if (error != 0) {
    ReportUnreadable(options.messageFile, std::strerror(error));
    return 3;
  }
  return runBatchMode(file, DeliverMessage, false, options.messageFile);
}

}  // namespace lomp
