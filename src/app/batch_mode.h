// Batch mode: entries of a recipient list and an optional message, one per
// line, from a message file or typed at the console.
#pragma once

#include <istream>
#include <string>

#include "app/delivery_loop.h"

namespace lomp {

inline constexpr std::size_t kMaxFieldLength = 1023;
// A recipient field in double quotes may span lines, but not without end.
inline constexpr std::size_t kMaxQuotedFieldLength = 64 * 1024;

// Reads the two fields of one entry at a time from a stream in the console's
// character set, and hands them back in ANSI. A line end may be LF or CR LF.
class MessageFileReader {
 public:
  explicit MessageFileReader(std::istream& input) : input_(input) {}

  // The next word (at most 1023 characters), or a text in double quotes
  // (line breaks included, at most 64 KiB). Blank lines and leading blanks
  // are passed over. A longer word is cut, and the rest of its line skipped;
  // a longer quoted text is cut, and the rest up to its closing quote and
  // then the rest of that line skipped.
  std::string readRecipientField();

  // The rest of the current line, trimmed (at most 1023 characters; the rest
  // of a longer line is skipped).
  std::string readMessageField();

 private:
  void SkipRestOfLine();

  std::istream& input_;
  bool lineDone_ = false;  // the recipient field already took its whole line
};

// Runs batch mode over `input` (`fromConsole` shows the prompt), handing each
// entry to the delivery loop. 0 when at least one entry was delivered and
// none failed, else 4.
int runBatchMode(std::istream& input, const Deliverer& deliver);

// Batch mode as the driver runs it: the message file of the command line, or
// the console. 3 when the file cannot be opened or read.
int runBatchMode();

}  // namespace lomp
