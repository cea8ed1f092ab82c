#include "platform/program_run.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace lomp::platform {

ProgramEnd RunProgram(const std::string& program, const std::string& input,
                      const std::vector<std::pair<std::string, std::string>>& variables,
                      std::chrono::milliseconds limit, const std::atomic<bool>* abandon) {
  ProgramEnd end;
  // The environment: ours, less the variables given, then the given ones.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const bool replaced = std::any_of(variables.begin(), variables.end(), [&](const auto& pair) {
      return text.rfind(pair.first + "=", 0) == 0;
    });
    if (!replaced) environment.push_back(text);
  }
  for (const auto& [name, value] : variables) {
    std::string entry = name;
    entry += '=';
    entry += value;
    environment.push_back(std::move(entry));
  }
  std::vector<char*> environmentPointers;
  environmentPointers.reserve(environment.size() + 1);
  for (std::string& entry : environment) environmentPointers.push_back(entry.data());
  environmentPointers.push_back(nullptr);
  std::string name = program;
  char* arguments[] = {name.data(), nullptr};

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    end.why = std::string("pipe: ") + std::strerror(errno);
    return end;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // It starts with the signals its own way, not with ours blocked.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGURG}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, name.c_str(), &actions, &attributes, arguments,
                                   environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipeFds[0]);
  if (spawned != 0) {
    close(pipeFds[1]);
    end.why = std::strerror(spawned);
    return end;
  }
  // A program that does not read its input must not hold us: write what
  // the pipe takes at once (a message is far smaller than a pipe holds).
  // One that ends without reading must not end us with SIGPIPE: the signal
  // is blocked on this thread for the write, and taken if it came.
  fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  const ssize_t written = write(pipeFds[1], input.data(), input.size());
  if (written < 0 && errno == EPIPE) {
    const timespec now{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  close(pipeFds[1]);

  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      if (WIFSIGNALED(status)) {
        end.kind = ProgramEnd::Kind::Signalled;
        end.status = WTERMSIG(status);
      } else {
        end.kind = ProgramEnd::Kind::Exited;
        end.status = WEXITSTATUS(status);
      }
      return end;
    }
    if (ended < 0 && errno != EINTR) {
      end.why = std::string("waitpid: ") + std::strerror(errno);
      return end;
    }
    if (std::chrono::steady_clock::now() >= until || (abandon != nullptr && *abandon)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      end.kind = ProgramEnd::Kind::TimedOut;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace lomp::platform
