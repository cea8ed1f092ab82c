#include "app/batch_mode.h"

#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "app/console.h"
#include "app/dispatcher.h"
#include "runtime/text_conversion.h"

namespace lomp {

void MessageFileReader::SkipRestOfLine() {
  for (int c = input_.get(); c != EOF && c != '\n'; c = input_.get()) {
  }
}

std::string MessageFileReader::readRecipientField() {
  lineDone_ = false;
  if (!input_.good()) return "";
  while (isWhiteSpace(input_.peek())) input_.get();
  const int first = input_.get();
  if (first == EOF) return "";

  std::string field;
  if (first == '"') {
    int c = input_.get();
    for (; c != EOF && c != '"' && field.size() < kMaxQuotedFieldLength; c = input_.get()) {
      field.push_back(static_cast<char>(c));
    }
    if (c != EOF && c != '"') {
      // Too long: what was read stands; the rest of the text and its line go.
      while (c != EOF && c != '"') c = input_.get();
      SkipRestOfLine();
      lineDone_ = true;
    }
  } else {
    input_.unget();
    while (field.size() < kMaxFieldLength) {
      const int c = input_.peek();
      if (c == EOF || isWhiteSpace(c)) break;
      field.push_back(static_cast<char>(input_.get()));
    }
    const int next = input_.peek();
    if (next != EOF && !isWhiteSpace(next)) {
      // Too long: what was read stands, the rest of the line is dropped.
      SkipRestOfLine();
      lineDone_ = true;
    }
  }
  return ConsoleToAnsi(field);
}

std::string MessageFileReader::readMessageField() {
  if (lineDone_) {
    lineDone_ = false;
    return "";
  }
  std::string field;
  for (;;) {
    const int c = input_.get();
    if (c == EOF || c == '\n') break;
    if (field.size() == kMaxFieldLength) {
      SkipRestOfLine();
      break;
    }
    field.push_back(static_cast<char>(c));
  }
  return trimWhiteSpace(ConsoleToAnsi(field));
}

int runBatchMode(std::istream& input, const Deliverer& deliver) {
  if (input.peek() == EOF) return 4;
  MessageFileReader reader(input);
  int delivered = 0;
  int failed = 0;
  while (!input.eof() && !input.bad()) {
    consoleWriteForInput(kMaskReport, kInputConsole, "\n>", true);
    const std::string field = reader.readRecipientField();
    std::string message = reader.readMessageField();
    if (field.empty()) continue;
    if (message.empty()) message = programOptions().messageText;

    OptionPair pair = splitArgument(field);
    pair.value = trimWhiteSpace(pair.value);
    RecipientKind kind;
    if (pair.switchName == "u") {
      kind = RecipientKind::Personal;
    } else if (pair.switchName == "d") {
      kind = RecipientKind::Group;
    } else if (pair.switchName.empty()) {
      kind = pair.value == "*" ? RecipientKind::Group : RecipientKind::Personal;
    } else {
      continue;  // not a recipient switch: skipped, not counted
    }

    RecipientList recipients;
    std::size_t position = 0;
    std::string item;
    while (nextListItem(pair.value, position, item)) recipients.push_back({kind, item});
    if (deliverToList(recipients, message, deliver) == 0) {
      ++delivered;
    } else {
      ++failed;
    }
  }
  return delivered >= 1 && failed == 0 ? 0 : 4;
}

int runBatchMode() {
  consoleWrite(kMaskDebug, "\nEntering batch mode.", false);
  const ProgramOptions& options = programOptions();
  if (options.messageFile.empty()) return runBatchMode(std::cin, DeliverMessage);

  // A folder opens like a file but reads nothing: refuse it as unreadable.
  struct stat status {};
  std::ifstream file;
  if (stat(options.messageFile.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    file.open(options.messageFile, std::ios::in | std::ios::binary);
  }
  if (!file.is_open() || !file.good() || (file.peek() == EOF && file.bad())) {
    consoleWrite(kMaskReport, "\nError reading message file", false);
    return 3;
  }
  return runBatchMode(file, DeliverMessage);
}

}  // namespace lomp
