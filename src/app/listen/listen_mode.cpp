#include "app/listen/listen_mode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "app/listen/listen_options.h"
#include "app/listen/program_destination.h"
#include "app/listen/receiver.h"
#include "app/listen/record_writer.h"
#include "app/listen/service_destinations.h"
#include "mailslot/mailslot_port.h"
#include "netbios/name_port.h"
#include "netbios/ncb_commands.h"
#include "netbios/netbios_network.h"
#include "platform/code_page.h"
#include "platform/identity.h"
#include "platform/local_socket.h"
#include "platform/login_watch.h"
#include "platform/mailslot.h"
#include "platform/netbios.h"
#include "platform/samba_config.h"
#include "platform/system_service.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

constexpr std::uint8_t kMessengerSuffix = 0x03;
constexpr std::uint8_t kSessionsPerLana = 254;
constexpr std::uint8_t kNamesPerLana = 64;
// How long the ports of a user who logged out outlive their last session:
// longer than the receiver lets any session last.
constexpr auto kRetiredPortLife = std::chrono::minutes(5);

// This computer's names and the ones given with --name, in OEM, each once.
std::vector<std::string> ReceivingNames(const ListenOptions& options) {
  std::vector<std::string> names;
  const auto add = [&](const std::string& ansi) {
    const std::string name = ReceivingNameForm(ansi);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  };
  if (const auto computer = platform::HostComputerName()) {
    add(platform::ProcessConsole().ToAnsi(*computer));
  }
  for (const std::string& alias : platform::HostSambaConfig().netbiosAliases) {
    add(platform::ProcessConsole().ToAnsi(alias));
  }
  for (const std::string& name : options.names) add(name);
  return names;
}

std::string Listed(const std::vector<std::string>& oemNames) {
  std::string text;
  for (std::string name : oemNames) {
    FromOem(name);
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

// Registers `name` (OEM) on every interface and makes a port for each, not
// yet started. Nothing, with `why`, when an interface refuses the name (the
// ones that took it release it again).
std::vector<std::unique_ptr<CNetbiosName>> OpenPorts(
    const std::string& name, const std::vector<std::unique_ptr<KrNetbiosInterface>>& interfaces,
    ConnectionListener& receiver, std::string& why) {
  std::string shown = name;
  FromOem(shown);
  std::vector<std::unique_ptr<CNetbiosName>> ports;
  for (const auto& netbiosInterface : interfaces) {
    auto port = std::make_unique<CNetbiosName>(shown, std::vector<std::uint8_t>{kMessengerSuffix},
                                               *netbiosInterface);
    if (!port->Open()) {
      std::uint8_t field[platform::NCBNAMSZ];
      NBFormatName(field, port->netbiosName, kMessengerSuffix);
      const std::string owner = platform::NetbiosNameOwner(netbiosInterface->lana, field);
      why = "cannot receive for " + shown + ": " +
            (!owner.empty()         ? owner
             : port->everyNameTaken ? "another program on this host holds the name"
                                    : "the name cannot be registered");
      for (auto& opened : ports) opened->Close();
      return {};
    }
    port->sessionTimeoutMs = 30000;
    port->listener = &receiver;
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace

int ListenMode::Run(const std::vector<std::string>& arguments) {
  const auto say = [&](const std::string& line) {
    diagnostics_ << "lomp: " << AnsiToConsole(line) << "\n";
    diagnostics_.flush();
  };
  ListenOptions options;
  std::string error;
  if (!ParseListenOptions(arguments, options, error)) {
    say(error);
    diagnostics_ << ListenUsage();
    return kListenUsage;
  }
  if (options.help) {
    out_ << ListenUsage();
    out_.flush();
    return kListenStopped;
  }
  const std::vector<std::string> names = ReceivingNames(options);

  // The ports another NetBIOS server (Samba's nmbd and smbd) may hold;
  // with --samba they are Samba's, and messages come from its message
  // command only.
  platform::LANA_ENUM lanas{};
  if (!options.samba) {
    for (const std::string& problem :
         {platform::NetbiosPrepareToListen(), platform::PrepareMailslotsToListen()}) {
      if (!problem.empty()) {
        say("cannot receive: " + problem);
        return kListenCannotStart;
      }
    }
    if (NBEnum(lanas) != platform::NRC_GOODRET || lanas.length == 0) {
      say("cannot receive: no network interface to receive on");
      return kListenCannotStart;
    }
  }

  // The record comes first: a message is kept once it is recorded, and only
  // then handed on to a program and the desktops.
  RecordWriter record(out_, options.json ? RecordForm::Json : RecordForm::Person);
  JournalRecord journal(out_);
  std::vector<MessageDestination*> destinations = {
      options.service ? static_cast<MessageDestination*>(&journal) : &record};
  std::optional<ProgramDestination> program;
  if (!options.program.empty()) {
    program.emplace(options.program, diagnostics_);
    destinations.push_back(&*program);
  }
  std::optional<DesktopHub> hub;
  std::optional<DesktopDestination> desktops;
  if (!options.socket.empty()) {
    std::string why;
    const int socket = platform::ListenLocal(options.socket, why);
    if (socket < 0) {
      say("cannot serve desktop agents: " + why);
      return kListenCannotStart;
    }
    std::vector<std::string> computerNames;
    if (const auto computer = platform::HostComputerName()) computerNames.push_back(*computer);
    for (const std::string& alias : platform::HostSambaConfig().netbiosAliases) {
      computerNames.push_back(alias);
    }
    // Samba runs its message command as its guest account: that user (and
    // root) may hand messages over.
    std::set<unsigned> submitters;
    if (const auto guest = platform::UserIdOf(platform::HostSambaConfig().guestAccount)) {
      submitters.insert(*guest);
    }
    const bool service = options.service;
    hub.emplace(
        socket,
        [computerNames](const Notice& notice) { return UserRecipient(notice, computerNames); },
        [service, &journal, &record](const Notice& notice) {
          return service ? journal.Keep(notice) : record.TakeNotice(notice);
        },
        submitters, diagnostics_, DesktopHubLimits{},
        // People on a terminal, with no desktop agent, see it there.
        [terminals = options.terminals](const Notice& notice, std::optional<unsigned> user,
                                        const std::set<unsigned>& agents) {
          if (terminals) WriteToTerminals(notice, user, agents);
        });
    desktops.emplace(*hub);
    destinations.push_back(&*desktops);
  }
  if (options.samba) {
    say("receiving the messages Samba hands over at " + options.socket + "; stop with Ctrl-C");
    return Serve(options, "receiving the messages Samba hands over");
  }
  DestinationList destination(destinations);
  Receiver receiver(destination, names, diagnostics_);
  std::vector<std::unique_ptr<KrNetbiosInterface>> interfaces;
  for (std::uint8_t index = 0; index < lanas.length; ++index) {
    NBReset(lanas.lana[index], kSessionsPerLana, kNamesPerLana);
    interfaces.push_back(std::make_unique<KrNetbiosInterface>(lanas.lana[index]));
  }
  std::vector<std::unique_ptr<CNetbiosName>> ports;
  for (const std::string& name : names) {
    std::string why;
    std::vector<std::unique_ptr<CNetbiosName>> opened = OpenPorts(name, interfaces, receiver, why);
    if (opened.empty()) {
      say(why);
      for (auto& port : ports) port->Close();
      return kListenCannotStart;
    }
    for (auto& port : opened) ports.push_back(std::move(port));
  }
  CMailslot mailslot("MESSNGR");
  mailslot.listener = &receiver;
  for (auto& port : ports) port->Start();
  mailslot.Start();

  // The users logged in here, as they come and go: each user's name is
  // received for while the user is logged in.
  std::mutex usersMutex;
  std::map<std::string, std::vector<std::unique_ptr<CNetbiosName>>> userPorts;
  struct Retired {
    std::chrono::steady_clock::time_point since;
    std::unique_ptr<CNetbiosName> port;
  };
  std::vector<Retired> retired;
  platform::LoginWatch logins;
  const auto onLogin = [&](unsigned /*uid*/, const std::string& login, bool present) {
    const std::string name = ReceivingNameForm(platform::ProcessConsole().ToAnsi(login));
    std::string shown = name;
    FromOem(shown);
    const std::lock_guard lock(usersMutex);
    const bool fixed = std::find(names.begin(), names.end(), name) != names.end();
    const auto held = userPorts.find(name);
    if (present && !fixed && held == userPorts.end()) {
      std::string why;
      std::vector<std::unique_ptr<CNetbiosName>> opened =
          OpenPorts(name, interfaces, receiver, why);
      if (opened.empty()) {
        say(why);
        return;
      }
      receiver.AddName(name);
      for (auto& port : opened) port->Start();
      userPorts[name] = std::move(opened);
      say("receiving messages for " + shown + ", who logged in");
    } else if (!present && held != userPorts.end()) {
      // No new session comes, and the name is released; but a session may
      // still be served on these ports, so they live on until no session
      // can be left (every one ends within the receiver's session time).
      const auto now = std::chrono::steady_clock::now();
      for (auto& port : held->second) {
        port->Stop();
        port->Close();
        retired.push_back({now, std::move(port)});
      }
      userPorts.erase(held);
      retired.erase(std::remove_if(retired.begin(), retired.end(),
                                   [&](const Retired& old) {
                                     return now - old.since > kRetiredPortLife &&
                                            old.port->ConnectionCount() == 0;
                                   }),
                    retired.end());
      receiver.RemoveName(name);
      say("no longer receiving for " + shown + ", who logged out");
    }
  };
  if (options.logins) {
    std::string why;
    if (!logins.Start(onLogin, why)) say("warning: " + why + "; receiving for the names given");
  }
  say("receiving messages for " + Listed(names) + "; stop with Ctrl-C");
  Serve(options, "receiving messages for " + Listed(names));

  // No connection comes after the ports have stopped; then the sessions end.
  logins.Stop();
  mailslot.Stop();
  for (auto& port : ports) port->Stop();
  for (auto& [name, held] : userPorts) {
    for (auto& port : held) port->Stop();
  }
  receiver.Stop();
  return kListenStopped;
}

int ListenMode::Serve(const ListenOptions& options, const std::string& status) {
  if (options.service) {
    // Every port is open: nothing needs a capability any more.
    std::string why;
    if (!platform::DropCapabilities(why)) {
      diagnostics_ << "lomp: warning: " << why << "\n";
      diagnostics_.flush();
    }
    platform::NotifyServiceReady(status);
  }
  platform::WaitForSingle(stop_);
  if (options.service) platform::NotifyServiceStopping();
  // No agent finds a socket that nobody serves any more.
  if (!options.socket.empty()) std::remove(options.socket.c_str());
  return kListenStopped;
}

}  // namespace lomp
