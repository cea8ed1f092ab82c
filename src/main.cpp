#include <csignal>
#include <optional>

#include "app/front/driver.h"
#include "app/front/interruption.h"
#include "platform/code_page.h"
#include "platform/mailslot.h"
#include "platform/nbt/nbt_provider.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "platform/netbios.h"
#include "runtime/trace_log.h"

namespace {

// The real transports: NetBIOS over TCP/IP and mailslots over UDP 138, set
// up from the host's NetBIOS configuration (Samba's smb.conf). Each is made
// on first use, so a run that delivers nothing (--help, --version, a bad
// command line) reads no file and opens no socket; they live until the
// process ends.
lomp::platform::nbt::NbtProvider& NetbiosProvider() {
  static lomp::platform::nbt::NbtProvider netbios([] {
    lomp::platform::nbt::NbtSettings settings = lomp::platform::nbt::StandardNbtSettings();
    // What the provider refuses shows in the trace of /vd.
    settings.trace = [](const std::string& line) {
      lomp::LogTrace("..\\shared\\krNetbios", __LINE__, "NbtProvider", line);
    };
    return settings;
  }());
  return netbios;
}

lomp::platform::nbt::UdpMailslotService& MailslotService() {
  static lomp::platform::nbt::UdpMailslotService mailslots([] {
    lomp::platform::nbt::UdpMailslotSettings settings =
        lomp::platform::nbt::StandardMailslotSettings();
    // The receive mode takes group messages sent to each of its names.
    settings.ownsName = [](const lomp::wire::Name16& name) {
      return NetbiosProvider().HoldsName(name);
    };
    // The interfaces as the NetBIOS provider listed them: once a run.
    settings.lanas = [] { return NetbiosProvider().LanaAddresses(); };
    return settings;
  }());
  return mailslots;
}

}  // namespace

int main(int argc, char* argv[]) {
  // --help and --version need nothing of the system, not even the locale.
  if (const std::optional<int> code = lomp::AnswerAtOnce(argc, argv)) return *code;
  // Before any thread starts: SIGINT, SIGTERM and SIGHUP end the run once
  // the deliveries under way have ended and the report says so.
  lomp::WatchForInterruption();
  // The console's character set comes from the locale.
  lomp::platform::AdoptConsoleLocale();
  // A reader that closed the pipe (| head, | grep -q) must not end the run
  // before every message went out: writes then fail quietly instead.
  std::signal(SIGPIPE, SIG_IGN);

  lomp::platform::InstallNetbiosProviderMaker(
      +[]() -> lomp::platform::NetbiosProvider* { return &NetbiosProvider(); });
  lomp::platform::InstallMailslotServiceMaker(
      +[]() -> lomp::platform::MailslotService* { return &MailslotService(); });

  const int code = lomp::lompMain(argc, argv);
  lomp::StopWatchingForInterruption();
  return code;
}
