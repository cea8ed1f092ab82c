#include "platform/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>
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

namespace {

// One look-up in the user database through `lookup(entry, buffer, size,
// found)`, getpwuid_r's or getpwnam_r's shape: the buffer grows while the
// entry does not fit in it, up to a size no sane entry needs.
template <typename Lookup>
std::optional<UserEntry> LookUpUser(Lookup lookup) {
  constexpr std::size_t kLargest = std::size_t{1} << 20;
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kLargest) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return UserEntry{found->pw_uid, found->pw_name != nullptr ? found->pw_name : "",
                     found->pw_dir != nullptr ? found->pw_dir : ""};
  }
}

}  // namespace

std::optional<UserEntry> UserById(unsigned uid) {
  return LookUpUser([uid](passwd* entry, char* buffer, std::size_t size, passwd** found) {
    return getpwuid_r(uid, entry, buffer, size, found);
  });
}

std::optional<UserEntry> UserByName(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return LookUpUser([&name](passwd* entry, char* buffer, std::size_t size, passwd** found) {
    return getpwnam_r(name.c_str(), entry, buffer, size, found);
  });
}

std::optional<std::string> EffectiveUserName() {
  auto user = UserById(geteuid());
  if (!user || user->login.empty()) return std::nullopt;
  return std::move(user->login);
}

std::optional<unsigned> UserIdOf(const std::string& name) {
  const auto user = UserByName(name);
  if (!user) return std::nullopt;
  return user->uid;
}

}  // namespace lomp::platform
