// Runs the lomp program the way a user in a UTF-8 terminal would (in network
// namespace `ns` when one is given), and hands back what it printed, its exit
// code and how long it took.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace lomp::testing {

struct LompRun {
  std::string output;  // standard output: the report
  std::string errors;  // standard error: diagnostics and /vd trace records
  int exitCode = -1;
  std::chrono::steady_clock::duration took{};
};

// Runs lomp with `arguments` (in network namespace `ns` when given, and
// under the program `wrapper` when given: {"prlimit", "--as=..."}).
inline LompRun Lomp(std::vector<std::string> arguments, const std::string& input = "",
                    const std::string& ns = "", const std::vector<std::string>& wrapper = {}) {
  static int runs = 0;
  const std::string errorFile =
      std::filesystem::temp_directory_path() /
      ("lomp-stderr-" + std::to_string(getpid()) + "-" + std::to_string(++runs));
  arguments.insert(arguments.begin(), LOMP_BINARY);
  arguments.insert(arguments.begin(), wrapper.begin(), wrapper.end());
  // Standard error into a file of its own, through a shell.
  arguments.insert(arguments.begin(), {"sh", "-c", "exec \"$@\" 2>\"$LOMP_STDERR\"", "sh"});
  // The arguments are typed in a UTF-8 terminal.
  arguments.insert(arguments.begin(), {"env", "LC_ALL=C.UTF-8", "LOMP_STDERR=" + errorFile});
  if (!ns.empty()) arguments = InNamespace(ns, arguments);
  const auto start = std::chrono::steady_clock::now();
  ChildProcess lomp(arguments);
  lomp.WriteInput(input);
  lomp.CloseInput();
  LompRun run;
  run.output = lomp.ReadAll(std::chrono::seconds(60));
  run.exitCode = lomp.Wait(std::chrono::seconds(10));
  run.took = std::chrono::steady_clock::now() - start;
  std::ifstream errors(errorFile, std::ios::binary);
  run.errors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  std::filesystem::remove(errorFile);
  return run;
}

// How often `part` stands in `text` (overlapping ones included).
inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

inline std::string Report(const std::string& name, const std::string& outcome) {
  return "\nTrying to send message to " + name + "...  " + outcome;
}

}  // namespace lomp::testing
