// The receive mode: lomp --listen. Registers the names it receives for
// (this computer's NetBIOS name and aliases, and the --name ones, each with
// suffix 0x03 on every LANA), takes calls to them and group datagrams for
// them and the workgroup, writes a record of each message, and runs until
// RequestStop(); then it releases its names and returns 0.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/listen/listen_options.h"
#include "platform/sync.h"

namespace lomp {

inline constexpr int kListenStopped = 0;
inline constexpr int kListenUsage = 1;
inline constexpr int kListenCannotStart = 2;

class ListenMode {
 public:
  ListenMode(std::ostream& out, std::ostream& diagnostics) : out_(out), diagnostics_(diagnostics) {}

  // Runs the receive mode for `arguments` (the whole command line, ANSI)
  // until RequestStop(). Returns kListenStopped, or kListenUsage and
  // kListenCannotStart with the reason on the diagnostics stream.
  int Run(const std::vector<std::string>& arguments);

  // Ends Run(): may be called from any thread, also before Run() starts.
  void RequestStop() { stop_.Set(); }

 private:
  // Tells a service manager the mode is ready (giving up capabilities
  // first), then waits for RequestStop().
  int Serve(const ListenOptions& options, const std::string& status);

  std::ostream& out_;
  std::ostream& diagnostics_;
  platform::Event stop_;
};

}  // namespace lomp
