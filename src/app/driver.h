// The program driver: parse, optionally attach the trace log, initialise the
// messaging service, run one mode, and return the process exit code.
#pragma once

namespace lomp {

// Process exit codes.
inline constexpr int kExitDelivered = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitInitFailed = 2;
inline constexpr int kExitMessageFileError = 3;
inline constexpr int kExitNotDelivered = 4;

// The whole program. `argv` holds the arguments in the console's character
// set; argv[0] is not looked at. Expects setlocale(LC_CTYPE, "") to have run.
int lompMain(int argc, const char* const argv[]);

// Single message mode: the command line's recipients and message. 0 or 4.
int runSingleMode();

}  // namespace lomp
