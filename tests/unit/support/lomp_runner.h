// Runs the lomp program the way a user in a UTF-8 terminal would (in network
// namespace `ns` when one is given), and hands back what it printed, its exit
// code and how long it took.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace lomp::testing {

struct LompRun {
  std::string output;
  int exitCode = -1;
  std::chrono::steady_clock::duration took{};
};

inline LompRun Lomp(std::vector<std::string> arguments, const std::string& input = "",
                    const std::string& ns = "") {
  arguments.insert(arguments.begin(), LOMP_BINARY);
  // The arguments are typed in a UTF-8 terminal.
  arguments.insert(arguments.begin(), {"env", "LC_ALL=C.UTF-8"});
  if (!ns.empty()) arguments = InNamespace(ns, arguments);
  const auto start = std::chrono::steady_clock::now();
  ChildProcess lomp(arguments);
  lomp.WriteInput(input);
  lomp.CloseInput();
  LompRun run;
  run.output = lomp.ReadAll(std::chrono::seconds(60));
  run.exitCode = lomp.Wait(std::chrono::seconds(10));
  run.took = std::chrono::steady_clock::now() - start;
  return run;
}

inline std::string Report(const std::string& name, const std::string& outcome) {
  return "\nTrying to send message to " + name + "...  " + outcome;
}

}  // namespace lomp::testing
