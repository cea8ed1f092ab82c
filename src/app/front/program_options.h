// The command line: the three parsing stages that fill the settings record,
// the recipient list syntax, the usage text and the version.
//
// Parsing never reports an error for an unknown switch or a bad value; the
// only verdict is `commandLineValid`. All arguments are ANSI text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/settings/settings.h"

namespace lomp {

// One argument cut into switch and value. A bare argument has an empty switch.
struct OptionPair {
  std::string switchName;
  std::string value;

  bool operator==(const OptionPair&) const = default;
};
using OptionList = std::vector<OptionPair>;

// "/f:c:\list.txt" gives ("f", "c:\list.txt"); "bob" gives ("", "bob"). The
// switch is trimmed of white space, the value is not.
OptionPair splitArgument(const std::string& argument);

// Gives every pair its canonical switch ("su" for "/suser", "m" for the
// message) and drops what is not a known switch.
OptionList normaliseOptions(const OptionList& raw);

// Fills `options` from the normalised pairs, later pairs overriding earlier
// ones, and decides `commandLineValid`.
void applyOptions(const OptionList& normalised, ProgramOptions& options);

// Parses arguments[1..] (arguments[0], the program path, is not looked at)
// into `options`; returns `commandLineValid`.
bool parseCommandLine(const std::vector<std::string>& arguments, ProgramOptions& options);

// The next item of a comma-separated list, trimmed and without a domain
// prefix. `position` starts at 0 and moves past the item's comma. Returns
// false at the end of the list ("a," gives one item, "" none).
bool nextListItem(const std::string& list, std::size_t& position, std::string& item);

// The kind of recipients an argument names: "u" personal, "d" group, and a
// bare list personal unless it is "*" (the workgroup); nullopt for any other
// switch. The command line and batch entries both read recipients this way.
std::optional<RecipientKind> recipientKindOf(const OptionPair& pair);

// Appends the items of the comma-separated `list` (nextListItem) to
// `recipients` as recipients of `kind`.
void appendRecipients(RecipientKind kind, const std::string& list, RecipientList& recipients);

// "OFFICE\bob" gives "bob"; text without a backslash is returned unchanged.
std::string stripDomainPrefix(const std::string& text);

// White space as the command line and message files know it: space, tab,
// line feed, vertical tab, form feed, carriage return. Takes a character or
// a stream's int (EOF is no white space).
bool isWhiteSpace(int c);

// `text` without leading and trailing white space.
std::string trimWhiteSpace(const std::string& text);

// The banner and the usage lines, each ended by a line feed.
const std::string& usageText();

// The program's version, as the build gives it ("0.1.0").
std::string versionText();

}  // namespace lomp
