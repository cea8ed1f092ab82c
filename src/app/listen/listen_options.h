// The command line of the receive mode:
//   lomp --listen [--name NAME]... [--json] [--exec PROGRAM] [--service]
//                 [--socket PATH] [--samba] [--logins] [--no-terminals]
// (each option also as --option=VALUE).
#pragma once

#include <string>
#include <vector>

namespace lomp {

struct ListenOptions {
  std::vector<std::string> names;  // ANSI, upper case, as given with --name
  bool json = false;
  std::string program;  // --exec; empty: none
  bool help = false;    // --help or -h: the usage, nothing else
  // --service: run as the system service (records in the journal, readiness
  // told, capabilities given up once the ports are open, desktop agents
  // served at `socket`).
  bool service = false;
  std::string socket;  // --socket: where desktop agents connect; empty: none
  // --samba: Samba holds the NetBIOS ports; only the messages its message
  // command hands over (lomp --from-samba) are received.
  bool samba = false;
  // --logins (and --service): the users logged in here are received for,
  // each while logged in.
  bool logins = false;
  // --no-terminals: messages for people without a desktop agent are not
  // written on their terminals.
  bool terminals = true;
};

// True when the command line asks for the receive mode (its first argument
// is --listen).
bool IsListenCommand(const std::vector<std::string>& arguments);

// Parses the arguments after the program name. False with `error` in words
// ("--name needs a name") when they are not a receive mode's command line.
bool ParseListenOptions(const std::vector<std::string>& arguments, ListenOptions& options,
                        std::string& error);

// A name received for as names are compared: upper case, OEM, at most 15
// bytes.
std::string ReceivingNameForm(std::string ansi);

// Where the system service serves desktop agents unless told otherwise.
constexpr const char* kDefaultAgentSocket = "/run/lomp-listen/agent.sock";

// What the usage text says of the receive mode.
std::string ListenUsage();

}  // namespace lomp
