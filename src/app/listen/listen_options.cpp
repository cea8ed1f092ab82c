#include "app/listen/listen_options.h"

#include "runtime/text_conversion.h"

namespace lomp {
namespace {

// NetBIOS names hold 15 bytes; '*' asks for every name and '.' or '\' would
// make a path of it.
bool UsableName(const std::string& name) {
  return !name.empty() && name.size() <= 15 && name.find_first_of("*\\/.") == std::string::npos &&
         name.find(' ') != 0;
}

}  // namespace

bool IsListenCommand(const std::vector<std::string>& arguments) {
  return arguments.size() >= 2 && arguments[1] == "--listen";
}

bool ParseListenOptions(const std::vector<std::string>& arguments, ListenOptions& options,
                        std::string& error) {
  if (!IsListenCommand(arguments)) {
    error = "the receive mode starts with --listen";
    return false;
  }
  for (std::size_t index = 2; index < arguments.size(); ++index) {
    std::string option = arguments[index];
    std::string value;
    bool hasValue = false;
    if (const auto equals = option.find('=');
        option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
      hasValue = true;
    }
    const bool takesValue = option == "--name" || option == "--exec" || option == "--socket";
    if (takesValue && !hasValue) {
      if (index + 1 >= arguments.size()) {
        error = option + " needs " +
                (option == "--name"   ? "a name"
                 : option == "--exec" ? "a program"
                                      : "a path");
        return false;
      }
      value = arguments[++index];
      hasValue = true;
    }
    if (option == "--name") {
      ToUpper(value);
      if (!UsableName(value)) {
        error = "not a NetBIOS name: \"" + value + "\" (1 to 15 characters, no * . / \\)";
        return false;
      }
      options.names.push_back(value);
    } else if (option == "--exec") {
      if (value.empty()) {
        error = "--exec needs a program";
        return false;
      }
      options.program = value;
    } else if (option == "--socket") {
      if (value.empty()) {
        error = "--socket needs a path";
        return false;
      }
      options.socket = value;
    } else if (option == "--no-terminals" && !hasValue) {
      options.terminals = false;
    } else if (option == "--logins" && !hasValue) {
      options.logins = true;
    } else if (option == "--samba" && !hasValue) {
      options.samba = true;
    } else if (option == "--service" && !hasValue) {
      options.service = true;
    } else if (option == "--json" && !hasValue) {
      options.json = true;
    } else if ((option == "--help" || option == "-h") && !hasValue) {
      options.help = true;
    } else {
      error = "unknown option for --listen: " + arguments[index];
      return false;
    }
  }
  if (options.service && options.socket.empty()) options.socket = kDefaultAgentSocket;
  if (options.service) options.logins = true;
  if (options.samba && options.socket.empty()) {
    error = "--samba needs --socket PATH or --service";
    return false;
  }
  return true;
}

std::string ReceivingNameForm(std::string ansi) {
  ToUpper(ansi);
  ToOem(ansi);
  if (ansi.size() > 15) ansi.resize(15);
  return ansi;
}

std::string ListenUsage() {
  return "Usage: lomp --listen [--name NAME]... [--json] [--exec PROGRAM]\n"
         "                     [--socket PATH] [--service] [--samba] [--logins]\n"
         "                     [--no-terminals]\n"
         "Receives Messenger messages for this computer's names and each NAME, and\n"
         "writes each on standard output (--json: one JSON object per line); runs\n"
         "PROGRAM for each with --exec; hands each to the desktop agents (lomp --agent)\n"
         "that connect at PATH. --service: run as the system service (the journal,\n"
         "agents at /run/lomp-listen/agent.sock). --samba: Samba holds the NetBIOS ports and\n"
         "hands messages over (lomp --from-samba). --logins: receive for the users\n"
         "logged in here too (logind). People with no agent get messages on their\n"
         "terminals unless --no-terminals. Ends with Ctrl-C or SIGTERM.\n"
         "See man lomp.\n";
}

}  // namespace lomp
