// Runs a program to completion and hands back what it wrote to standard
// output and its exit code. For tests of the lomp binary as a user sees it.
#pragma once

#include <string>
#include <vector>

namespace lomp::testing {

struct ProgramResult {
  std::string output;
  int exitCode = -1;  // -1 when the program did not exit normally
};

// Runs `program` with `arguments` (argv[1..]) and the given extra environment
// entries ("NAME=value"), standard input closed. Kills it after `timeoutMs`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {},
                         int timeoutMs = 10000);

}  // namespace lomp::testing
