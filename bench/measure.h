// Timing child processes for the benchmark programs: wall time, peak
// resident memory and exit code of one run, and the median of many.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace lomp::bench {

using Clock = std::chrono::steady_clock;

struct Sample {
  double milliseconds = 0;
  long peakKilobytes = 0;
  int exitCode = -1;
};

// Runs `command` with `input` on its standard input and its output thrown
// away; measures wall time (from posix_spawn to the end of wait4, nothing
// between) and the child's peak resident memory.
inline Sample Measure(const std::vector<std::string>& command, const std::string& input) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) std::exit(3);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  const auto start = Clock::now();
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[0]);
  if (spawned != 0) std::exit(3);
  if (!input.empty()) {
    [[maybe_unused]] const auto written = write(pipeFds[1], input.data(), input.size());
  }
  close(pipeFds[1]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Sample sample;
  sample.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  sample.peakKilobytes = usage.ru_maxrss;
  sample.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return sample;
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace lomp::bench
