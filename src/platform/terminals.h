// The terminals people are logged in on, from the login records (utmp), and
// a line written to one as write(1) does: only when its owner lets others
// write to it (mesg y), never blocking, never taking it as a controlling
// terminal.
#pragma once

#include <string>
#include <vector>

namespace lomp::platform {

struct TerminalLogin {
  std::string user;      // the login name
  std::string terminal;  // its device, "/dev/pts/3"
};

// Everyone logged in on a terminal now, from the login records at `records`
// (utmp's own file by default).
std::vector<TerminalLogin> TerminalLogins(const std::string& records = "");

// Writes `text` to the terminal at `device` (a path below /dev/, no "..")
// when its owner accepts messages (group write permission, as mesg y
// sets it). Line feeds become CR LF. False when it was not written (mesg n,
// no such terminal, a terminal that does not take it at once).
bool WriteToTerminal(const std::string& device, const std::string& text);

}  // namespace lomp::platform
