#include "app/messenger/messenger.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "app/settings/settings.h"
#include "mailslot/mailslot_port.h"
#include "netbios/name_port.h"
#include "netbios/netbios_network.h"
#include "platform/netbios.h"
#include "platform/sync.h"
#include "runtime/errors.h"
#include "runtime/trace_log.h"

namespace lomp {
namespace {

constexpr const char* kSource = ".\\lomp_messenger";
constexpr std::uint16_t kSessionTimeoutMs = 5000;
// How often a run whose sender names are all taken looks for a free one.
constexpr std::int32_t kNameWaitMs = 50;

struct MessagingService {
  KrNetbiosNetwork netbiosNetwork;
  std::vector<std::unique_ptr<CNetbiosName>> netbiosPorts;
  std::vector<std::unique_ptr<CMailslot>> mailslotPorts;
};

MessagingService& Service() {
  static MessagingService service;
  return service;
}

}  // namespace

int lomp_initialize() {
  LogTrace(kSource, __LINE__, "lomp_initialize", "Entering...");
  MessagingService& service = Service();
  const ProgramOptions& options = programOptions();

  if (options.usersGiven) {
    // Said once, here, rather than as a failure of every recipient.
    if (const std::string why = platform::NetbiosNamesUnavailable(); !why.empty()) {
      LogTrace(kSource, __LINE__, "lomp_initialize", "No sender name can be registered: " + why);
      throw KrUnknownNetworkErr("Failed. No sender name can be registered: " + why + ".");
    }
    service.netbiosNetwork.EnumerateInterfaces();
    LogTrace(kSource, __LINE__, "lomp_initialize",
             FormatText("Lana enumerated, length=%d",
                        static_cast<int>(service.netbiosNetwork.interfaces.size())));
    for (std::size_t index = 0; index < service.netbiosNetwork.interfaces.size(); ++index) {
      KrNetbiosInterface& lana = service.netbiosNetwork.Interface(index);
      lana.Reset();
      auto port = std::make_unique<CNetbiosName>(options.signature, OwnNameSuffixes(), lana);
      port->connectTimeoutMs = static_cast<std::uint16_t>(options.timeoutMs);
      port->sessionTimeoutMs = kSessionTimeoutMs;
      port->SetSenderName(options.signature);
      CNetbiosName& opened = *port;
      service.netbiosPorts.push_back(std::move(port));
      // A port whose name could not be registered stays: its calls fail and
      // the dispatcher moves on to the next port.
      OpenSenderName(opened, options.timeoutMs);
    }
    const bool noneFree =
        !service.netbiosPorts.empty() &&
        std::all_of(service.netbiosPorts.begin(), service.netbiosPorts.end(),
                    [](const auto& port) { return !port->isOpen && port->everyNameTaken; });
    if (noneFree) {
      throw KrUnknownNetworkErr("Failed. Every sender name " +
                                service.netbiosPorts.front()->netbiosName +
                                "<04> to <2F> is in use by other runs of lomp, and none came "
                                "free within the time-out.");
    }
  }

  if (options.domainsGiven) {
    auto port = std::make_unique<CMailslot>("MESSNGR");
    port->SetSenderName(options.signature);
    service.mailslotPorts.push_back(std::move(port));
  }
  LogTrace(kSource, __LINE__, "lomp_initialize", "Leaving...");
  return 0;
}

bool OpenSenderName(CNetbiosName& port, std::int32_t timeoutMs) {
  for (std::int32_t waitedMs = 0; !port.Open(); waitedMs += kNameWaitMs) {
    if (!port.everyNameTaken || waitedMs >= timeoutMs) return false;
    platform::Sleep(std::chrono::milliseconds(kNameWaitMs));
  }
  return true;
}

std::vector<CPort*> NetbiosPortList() {
  std::vector<CPort*> ports;
  for (const auto& port : Service().netbiosPorts) ports.push_back(port.get());
  return ports;
}

std::vector<CMailslot*> MailslotPortList() {
  std::vector<CMailslot*> ports;
  for (const auto& port : Service().mailslotPorts) ports.push_back(port.get());
  return ports;
}

const std::vector<std::uint8_t>& OwnNameSuffixes() {
  static const std::vector<std::uint8_t> suffixes = [] {
    std::vector<std::uint8_t> values;
    for (int suffix = 0x04; suffix <= 0x2F; ++suffix)
      values.push_back(static_cast<std::uint8_t>(suffix));
    return values;
  }();
  return suffixes;
}

}  // namespace lomp
