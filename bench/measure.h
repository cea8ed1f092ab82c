// Timing child processes for the benchmark programs: wall time, peak
// resident memory and exit code of one run, and the median of many.
#pragma once

#include <fcntl.h>
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
// away; measures wall time and the child's peak resident memory.
inline Sample Measure(const std::vector<std::string>& command, const std::string& input) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) std::exit(3);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[0], STDIN_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[0]);
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
