#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sync.h"

namespace lomp::platform {
namespace {

using Clock = std::chrono::steady_clock;

// getent's status for a name the database does not hold.
constexpr int kGetentNotFound = 2;
// The answer we read: the first line is all we need, and a resolver that
// talks on and on is cut off there.
constexpr std::size_t kMostOutput = 4096;
constexpr auto kAbandonCheck = std::chrono::milliseconds(20);

// The first address of getent's "ADDRESS  STREAM  NAME" lines.
std::optional<in_addr> FirstAddress(const std::string& output) {
  const std::size_t end = output.find_first_of(" \t\n");
  const std::string first = output.substr(0, end);
  in_addr address{};
  if (inet_pton(AF_INET, first.c_str(), &address) != 1) return std::nullopt;
  return address;
}

HostLookup FailedWith(const char* what, int error) {
  HostLookup lookup;
  lookup.why = std::string(what) + ": " + std::strerror(error);
  return lookup;
}

// Waits for `pid` until `until`, killing it then; its exit status, or -1
// when it was killed or ended by a signal.
int Reap(pid_t pid, Clock::time_point until) {
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (ended < 0 && errno != EINTR) return -1;
    if (Clock::now() >= until) break;
    usleep(1000);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

}  // namespace

bool IsHostName(const std::string& name) {
  in_addr literal{};
  if (inet_pton(AF_INET, name.c_str(), &literal) == 1) return false;
  return name.find('.') != std::string::npos || name.size() > 15;
}

HostLookup LookUpHost(const std::string& name, std::chrono::milliseconds limit,
                      const std::atomic<bool>* abandon, const char* program) {
  const Clock::time_point until = Clock::now() + limit;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return FailedWith("pipe", errno);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
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
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  // "--": a name that starts with a dash is a name, not an option.
  std::string arguments[] = {"getent", "ahostsv4", "--", name};
  char* argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(),
                  arguments[3].data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    return FailedWith(program, spawned);
  }

  // Its answer, read until it closes its output or the time is up.
  std::string answer;
  bool ended = false;
  while (!ended && answer.size() < kMostOutput) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0 || (abandon != nullptr && *abandon)) break;
    pollfd readable{output[0], POLLIN, 0};
    const int slice = static_cast<int>(std::min(left, kAbandonCheck).count());
    const int ready = PollNotingLongWait(&readable, 1, std::max(slice, 1));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char chunk[512];
    const ssize_t n = read(output[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
    } else {
      answer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  close(output[0]);
  // A child that closed its output ends at once; one that did not is
  // killed now, so nothing of the lookup is left behind.
  const int status = Reap(pid, ended ? until : Clock::now());

  HostLookup lookup;
  if (!ended && answer.size() < kMostOutput) {
    lookup.outcome = HostLookup::Outcome::TimedOut;
  } else if (const std::optional<in_addr> address = FirstAddress(answer)) {
    lookup.outcome = HostLookup::Outcome::Found;
    lookup.address = *address;
  } else if (status == kGetentNotFound || status == 0) {
    lookup.outcome = HostLookup::Outcome::Unknown;
  } else {
    lookup.why = status < 0 ? std::string("getent ended by a signal")
                            : "getent ended with status " + std::to_string(status);
  }
  return lookup;
}

}  // namespace lomp::platform
