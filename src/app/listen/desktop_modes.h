// The two small programs around the receiver service, as modes of lomp:
//
//   lomp --agent [--socket PATH]
//     A user's desktop agent: connects to the service (as the user it runs
//     as), and shows each notice it is handed as a desktop notification;
//     where there is no notification server, it writes the notice on its
//     standard output. It waits for the service when it is not there and
//     connects again when it goes away. One agent runs per user. Ends with
//     SIGINT or SIGTERM.
//
//   lomp --from-samba FILE FROM [TO] [--socket PATH]
//     Samba's message command: reads the message smbd left in FILE (UTF-8),
//     hands it to the service as a message from FROM to TO (by default this
//     computer's name), and removes the file once the service has kept it.
//     A file that cannot be handed over stays where it is.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace lomp {

inline constexpr int kDesktopModeDone = 0;
inline constexpr int kDesktopModeFailed = 1;
inline constexpr int kDesktopModeUsage = 2;

// True when the command line asks for one of these modes.
bool IsAgentCommand(const std::vector<std::string>& arguments);
bool IsFromSambaCommand(const std::vector<std::string>& arguments);

class AgentMode {
 public:
  AgentMode(std::ostream& out, std::ostream& diagnostics) : out_(out), diagnostics_(diagnostics) {}
  // Runs until RequestStop(); kDesktopModeDone (also at once, when another
  // agent of the same user runs), kDesktopModeUsage, or kDesktopModeFailed
  // when the agent's lock cannot be taken.
  int Run(const std::vector<std::string>& arguments);
  // Ends Run() within half a second; from any thread.
  void RequestStop() { stop_ = true; }

 private:
  std::ostream& out_;
  std::ostream& diagnostics_;
  std::atomic<bool> stop_{false};
};

// Runs lomp --from-samba: kDesktopModeDone when the service kept the
// message, kDesktopModeFailed (the reason on `diagnostics`) when not.
int RunFromSamba(const std::vector<std::string>& arguments, std::ostream& diagnostics);

}  // namespace lomp
