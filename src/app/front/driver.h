// The program driver: parse, optionally attach the trace log, initialise the
// messaging service, run one mode, and return the process exit code.
#pragma once

#include <optional>

namespace lomp {

// Process exit codes.
inline constexpr int kExitDelivered = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitInitFailed = 2;
inline constexpr int kExitMessageFileError = 3;
inline constexpr int kExitNotDelivered = 4;

// The whole program. `argv` holds the arguments in the console's character
// set; argv[0] is not looked at. Expects AdoptConsoleLocale() to have run.
// "--help"/"-h" and "--version"/"-V" as the only argument print the usage
// text or the version on standard output and return 0; an invalid command
// line prints the usage text on standard error. Output that showed anything
// ends with a line feed.
int lompMain(int argc, const char* const argv[]);

// The usage text or the version, when the command line is only "--help"/
// "-h" or "--version"/"-V" (printed; its exit code returned); nullopt for
// any other command line. Needs no locale and touches no file.
std::optional<int> AnswerAtOnce(int argc, const char* const argv[]);

// After a valid command line: trace attachment, initialisation, the run mode.
struct ProgramOptions;
int runProgram(const ProgramOptions& options);

// Single message mode: the command line's recipients and message. 0 or 4.
int runSingleMode();

}  // namespace lomp
