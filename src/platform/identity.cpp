#include "platform/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "platform/samba_config.h"

namespace lomp::platform {

std::optional<std::string> HostComputerName() {
  // Samba's `netbios name` is this host's name on the NetBIOS network.
  if (const std::string& configured = HostSambaConfig().netbiosName; !configured.empty()) {
    return configured;
  }
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  std::string name(buffer);
  if (const auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  if (name.empty()) return std::nullopt;
  return name;
}

std::optional<std::string> EffectiveUserName() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

std::optional<unsigned> UserIdOf(const std::string& name) {
  if (name.empty()) return std::nullopt;
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return found->pw_uid;
}

}  // namespace lomp::platform
