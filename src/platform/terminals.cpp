#include "platform/terminals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstring>
#include <mutex>

namespace lomp::platform {
namespace {

// The utmpx functions keep their place in static state.
std::mutex recordsMutex;

}  // namespace

std::vector<TerminalLogin> TerminalLogins(const std::string& records) {
  const std::lock_guard lock(recordsMutex);
  std::vector<TerminalLogin> logins;
  if (!records.empty() && utmpxname(records.c_str()) != 0) return logins;
  setutxent();
  while (const utmpx* entry = getutxent()) {
    if (entry->ut_type != USER_PROCESS) continue;
    const std::string user(entry->ut_user, strnlen(entry->ut_user, sizeof entry->ut_user));
    const std::string line(entry->ut_line, strnlen(entry->ut_line, sizeof entry->ut_line));
    // A line from the records names a device below /dev; one that would
    // lead elsewhere is not a terminal anyone logged in on.
    if (user.empty() || line.empty() || line.find("..") != std::string::npos ||
        line.front() == '/') {
      continue;
    }
    logins.push_back({user, "/dev/" + line});
  }
  endutxent();
  if (!records.empty()) utmpxname(_PATH_UTMPX);
  return logins;
}

bool WriteToTerminal(const std::string& device, const std::string& text) {
  if (device.rfind("/dev/", 0) != 0 || device.find("..") != std::string::npos) return false;
  const int terminal =
      open(device.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (terminal < 0) return false;
  struct stat status {};
  // mesg n takes the group's write permission away: then nothing is written.
  const bool accepts = fstat(terminal, &status) == 0 && S_ISCHR(status.st_mode) &&
                       isatty(terminal) == 1 && (status.st_mode & S_IWGRP) != 0;
  bool written = accepts;
  if (accepts) {
    std::string lines;
    lines.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
      if (c == '\n') lines += '\r';
      lines += c;
    }
    written = write(terminal, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  }
  close(terminal);
  return written;
}

}  // namespace lomp::platform
