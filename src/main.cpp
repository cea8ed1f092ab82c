#include <clocale>
#include <csignal>

#include "app/front/driver.h"
#include "app/front/interruption.h"
#include "platform/mailslot.h"
#include "platform/nbt/nbt_provider.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "platform/netbios.h"
#include "runtime/trace_log.h"

int main(int argc, char* argv[]) {
  // Before any thread starts: SIGINT, SIGTERM and SIGHUP end the run once
  // the deliveries under way have ended and the report says so.
  lomp::WatchForInterruption();
  // The console's character set comes from the locale.
  std::setlocale(LC_CTYPE, "");
  // A reader that closed the pipe (| head, | grep -q) must not end the run
  // before every message went out: writes then fail quietly instead.
  std::signal(SIGPIPE, SIG_IGN);

  // The real transports: NetBIOS over TCP/IP and mailslots over UDP 138,
  // set up from the host's NetBIOS configuration (Samba's smb.conf). They
  // live until the process ends.
  static lomp::platform::nbt::NbtProvider netbios([] {
    lomp::platform::nbt::NbtSettings settings = lomp::platform::nbt::StandardNbtSettings();
    // What the provider refuses shows in the trace of /vd.
    settings.trace = [](const std::string& line) {
      lomp::LogTrace("..\\shared\\krNetbios", __LINE__, "NbtProvider", line);
    };
    return settings;
  }());
  static lomp::platform::nbt::UdpMailslotService mailslots([] {
    lomp::platform::nbt::UdpMailslotSettings settings =
        lomp::platform::nbt::StandardMailslotSettings();
    // The receive mode takes group messages sent to each of its names.
    settings.ownsName = [](const lomp::wire::Name16& name) { return netbios.HoldsName(name); };
    return settings;
  }());
  lomp::platform::InstallNetbiosProvider(&netbios);
  lomp::platform::InstallMailslotService(&mailslots);

  const int code = lomp::lompMain(argc, argv);
  lomp::StopWatchingForInterruption();
  return code;
}
