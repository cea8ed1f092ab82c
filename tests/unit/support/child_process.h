// A helper program run beside a test: its standard input and output are
// pipes, it can be read line by line with a time limit, and it is killed
// when the object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lomp::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& command);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of output without its newline; nullopt at the end of the
  // output or when none came within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Everything the program writes until it closes its output, or until
  // `timeout` has passed.
  std::string ReadAll(std::chrono::milliseconds timeout);
  void WriteInput(const std::string& text);
  void CloseInput();
  void Kill(int signal);
  // The exit code, as a shell gives it (128 + N for an end by signal N), or
  // -1 when the program did not end within `timeout`.
  int Wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  bool reaped_ = false;
};

// Runs `body` in a forked child of the test and gives the child's exit
// code: what `body` returned, or -1 when the child ended otherwise.
int InChild(const std::function<int()>& body);

// Runs `command` in network namespace `ns` (through ip netns exec).
std::vector<std::string> InNamespace(const std::string& ns, std::vector<std::string> command);

}  // namespace lomp::testing
