// Batch mode: entries of a recipient list and an optional message, one per
// line, from a message file or typed at the console.
#pragma once

#include <istream>
#include <string>

#include "app/delivery_loop.h"

namespace lomp {

inline constexpr std::size_t kMaxFieldLength = 1023;
// A recipient field in double quotes may span lines, but not without end.
inline constexpr std::size_t kMaxQuotedFieldLength = std::size_t{64} * 1024;

// Reads the two fields of one entry at a time from a stream in the console's
// character set (or CP850, see FileTextToAnsi), and hands them back in ANSI.
// A line end may be LF or CR LF.
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

// Runs batch mode over `input`, handing each entry to the delivery loop. The
// "\n>" prompt is shown before each read when `prompt` is set and the input
// source is the console. A UTF-8 byte-order mark at the start is passed
// over; UTF-16 input is refused (reported on standard error, naming
// `source`). 0 when at least one entry was delivered and none failed, 3 for
// UTF-16 input, else 4.
int runBatchMode(std::istream& input, const Deliverer& deliver, bool prompt = true,
                 const std::string& source = "standard input");

// Batch mode as the driver runs it: the message file of the command line, or
// standard input ("/f" or "/f:-"; prompts only at a terminal). 3 when the
// file cannot be opened or read: "\nError reading message file: PATH: reason"
// on standard error.
int runBatchMode();

// Text of a message file or of console input in ANSI: read in the console's
// character set when it is valid there, otherwise (a UTF-8 console and bytes
// that are not UTF-8) as the OEM code page, CP850.
std::string FileTextToAnsi(const std::string& text);
bool IsValidUtf8(const std::string& text);

}  // namespace lomp
