#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

namespace lomp::testing {

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, int timeoutMs) {
  ProgramResult result;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return result;

  std::vector<std::string> argumentStore{program};
  argumentStore.insert(argumentStore.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argumentStore) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStore;
  for (char** entry = environ; *entry != nullptr; ++entry) environmentStore.emplace_back(*entry);
  environmentStore.insert(environmentStore.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (auto& entry : environmentStore) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(output[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(child, SIGKILL);
      break;
    }
    pollfd descriptor{output[0], POLLIN, 0};
    if (poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t count = read(output[0], buffer, sizeof buffer);
    if (count <= 0) break;
    result.output.append(buffer, static_cast<size_t>(count));
  }
  close(output[0]);

  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace lomp::testing
