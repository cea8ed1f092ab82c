#include "app/listen/listen_mode.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "app/listen/listen_options.h"
#include "app/listen/program_destination.h"
#include "app/listen/receiver.h"
#include "app/listen/record_writer.h"
#include "mailslot/mailslot_port.h"
#include "netbios/name_port.h"
#include "netbios/ncb_commands.h"
#include "netbios/netbios_network.h"
#include "platform/code_page.h"
#include "platform/identity.h"
#include "platform/mailslot.h"
#include "platform/netbios.h"
#include "platform/samba_config.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

constexpr std::uint8_t kMessengerSuffix = 0x03;
constexpr std::uint8_t kSessionsPerLana = 254;
constexpr std::uint8_t kNamesPerLana = 64;

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

  // The ports another NetBIOS server (Samba's nmbd and smbd) may hold.
  for (const std::string& problem :
       {platform::NetbiosPrepareToListen(), platform::PrepareMailslotsToListen()}) {
    if (!problem.empty()) {
      say("cannot receive: " + problem);
      return kListenCannotStart;
    }
  }

  platform::LANA_ENUM lanas{};
  if (NBEnum(lanas) != platform::NRC_GOODRET || lanas.length == 0) {
    say("cannot receive: no network interface to receive on");
    return kListenCannotStart;
  }

  RecordWriter record(out_, options.json ? RecordForm::Json : RecordForm::Person);
  std::optional<ProgramDestination> program;
  std::optional<DestinationPair> both;
  if (!options.program.empty()) {
    program.emplace(options.program, diagnostics_);
    both.emplace(record, *program);
  }
  MessageDestination& destination = both ? static_cast<MessageDestination&>(*both) : record;
  Receiver receiver(destination, names, diagnostics_);
  std::vector<std::unique_ptr<KrNetbiosInterface>> interfaces;
  std::vector<std::unique_ptr<CNetbiosName>> ports;
  for (std::uint8_t index = 0; index < lanas.length; ++index) {
    const std::uint8_t lana = lanas.lana[index];
    NBReset(lana, kSessionsPerLana, kNamesPerLana);
    interfaces.push_back(std::make_unique<KrNetbiosInterface>(lana));
    for (const std::string& name : names) {
      std::string shown = name;
      FromOem(shown);
      auto port = std::make_unique<CNetbiosName>(shown, std::vector<std::uint8_t>{kMessengerSuffix},
                                                 *interfaces.back());
      if (!port->Open()) {
        std::uint8_t field[platform::NCBNAMSZ];
        NBFormatName(field, port->netbiosName, kMessengerSuffix);
        const std::string owner = platform::NetbiosNameOwner(lana, field);
        say("cannot receive for " + shown + ": " +
            (!owner.empty()         ? owner
             : port->everyNameTaken ? "another program on this host holds the name"
                                    : "the name cannot be registered"));
        for (auto& started : ports) started->Stop();
        return kListenCannotStart;
      }
      port->sessionTimeoutMs = 30000;
      port->listener = &receiver;
      ports.push_back(std::move(port));
    }
  }
  CMailslot mailslot("MESSNGR");
  mailslot.listener = &receiver;
  for (auto& port : ports) port->Start();
  mailslot.Start();
  say("receiving messages for " + Listed(names) + "; stop with Ctrl-C");

  platform::WaitForSingle(stop_);

  // No connection comes after the ports have stopped; then the sessions end.
  mailslot.Stop();
  for (auto& port : ports) port->Stop();
  receiver.Stop();
  return kListenStopped;
}

}  // namespace lomp
