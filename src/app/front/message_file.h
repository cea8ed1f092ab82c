// Message files as batch mode reads them: the start of the input (a
// byte-order mark), the two fields of each entry, and the character set of
// their text.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

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

// What starts the input: text (a UTF-8 byte-order mark is passed over), or
// UTF-16, which is not read. Anything else stays to be read.
enum class InputStart { Text, Utf16 };
InputStart ReadStartOfInput(std::istream& input);

// Text of a message file or of console input in ANSI: read in the console's
// character set when it is valid there, otherwise (a UTF-8 console and bytes
// that are not UTF-8) as the OEM code page, CP850.
std::string FileTextToAnsi(const std::string& text);
bool IsValidUtf8(const std::string& text);

}  // namespace lomp
