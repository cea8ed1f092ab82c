// Running another program for a moment: without a shell, with some text on
// its standard input and some variables added to its environment, its
// standard output going where our standard error goes, and a time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace lomp::platform {

struct ProgramEnd {
  enum class Kind {
    Exited,     // `status` is its exit status
    Signalled,  // `status` is the signal that ended it
    TimedOut,   // killed at the time limit
    NotRun,     // it could not be started: `why`
  };
  Kind kind = Kind::NotRun;
  int status = 0;
  std::string why;
};

// Runs `program` (a path, or a name looked up in PATH) with no arguments,
// `input` on its standard input (then closed) and `variables` added to the
// environment. Blocks until it ends, or kills it (SIGKILL) once `limit` has
// passed, or at once when `abandon` (if given) becomes true (the end is
// then TimedOut). Thread-safe.
ProgramEnd RunProgram(const std::string& program, const std::string& input,
                      const std::vector<std::pair<std::string, std::string>>& variables,
                      std::chrono::milliseconds limit, const std::atomic<bool>* abandon = nullptr);

}  // namespace lomp::platform
