// The run's settings: the one record the command line fills and every part
// of the program reads, the recipients it names and the sender's names. The
// front end fills it; the messaging service only reads it.
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
  std::string signature;        // the sender name of every message
  bool signatureGiven = false;  // by /s, /su or /sc
  bool batchMode = false;
  std::string messageFile;  // empty: batch input from the console
  std::string messageText;
  RecipientList recipients;
  bool usersGiven = false;
  bool domainsGiven = false;
  std::uint32_t inputSource = 0;
  bool commandLineValid = false;
};

// The one record of the process. Filled once by the driver, only read
// afterwards.
ProgramOptions& programOptions();

// Gives `options` the default sender name, computerNameUpper(), unless the
// command line chose one. Done once a delivery is sure to come: the
// computer name may have to be read from the host's configuration, which a
// run that only prints its usage or version never reads.
void ChooseDefaultSignature(ProgramOptions& options);

// The computer name (at most 15 bytes) or the effective user's name (at most
// 256 bytes), upper-cased ANSI; empty when the system gives none.
std::string computerNameUpper();
std::string userNameUpper();

}  // namespace lomp
