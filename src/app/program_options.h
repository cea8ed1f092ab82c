// The command line: the process-wide settings record, the three parsing
// stages, the recipient list syntax and the sender names.
//
// Parsing never reports an error for an unknown switch or a bad value; the
// only verdict is `commandLineValid`. All arguments are ANSI text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lomp {

// Verbosity levels; also the console masks' bits.
inline constexpr std::uint32_t kVerbositySilent = 1;
inline constexpr std::uint32_t kVerbosityNormal = 2;
inline constexpr std::uint32_t kVerbosityDebug = 8;

// Where recipients come from (`inputSource` bits).
inline constexpr std::uint32_t kInputCommandLine = 1;
inline constexpr std::uint32_t kInputMessageFile = 2;
inline constexpr std::uint32_t kInputConsole = 4;

inline constexpr std::int32_t kMinTimeoutMs = 500;
inline constexpr std::int32_t kMaxTimeoutMs = 20000;
inline constexpr std::int32_t kEnlargedBroadcastLimit = 350;
// Deliveries at once (/j): 1 is one recipient after the other.
inline constexpr std::int32_t kDefaultJobs = 16;
inline constexpr std::int32_t kMaxJobs = 64;

enum class RecipientKind : std::int32_t { Personal = 1, Group = 2 };

struct RecipientEntry {
  RecipientKind kind = RecipientKind::Personal;
  std::string name;

  bool operator==(const RecipientEntry&) const = default;
};

// Recipients in the order given; duplicates stay.
using RecipientList = std::vector<RecipientEntry>;

struct ProgramOptions {
  std::int32_t timeoutMs = 5000;     // always within 500..20000
  std::int32_t jobs = kDefaultJobs;  // always within 1..64
  std::uint32_t verbosity = kVerbosityNormal;
  std::int32_t broadcastLimit = 128;  // group message size in characters
  bool fragmentBroadcasts = false;
  std::string signature;  // the sender name of every message
  bool batchMode = false;
  std::string messageFile;  // empty: batch input from the console
  std::string messageText;
  RecipientList recipients;
  bool usersGiven = false;
  bool domainsGiven = false;
  std::uint32_t inputSource = 0;
  bool commandLineValid = false;
};

// The one record of the process, created on first use with `signature` =
// computerNameUpper(). Filled once by the driver, only read afterwards.
ProgramOptions& programOptions();

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

// "OFFICE\bob" gives "bob"; text without a backslash is returned unchanged.
std::string stripDomainPrefix(const std::string& text);

// The computer name (at most 15 bytes) or the effective user's name (at most
// 256 bytes), upper-cased ANSI; empty when the system gives none.
std::string computerNameUpper();
std::string userNameUpper();

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
