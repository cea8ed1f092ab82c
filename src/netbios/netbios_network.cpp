#include "netbios/netbios_network.h"

#include <algorithm>

#include "netbios/ncb_commands.h"

namespace lomp {
namespace {

constexpr std::uint8_t kMaxSessions = 250;
constexpr std::uint8_t kMaxNames = 250;

}  // namespace

std::uint8_t KrNetbiosInterface::Reset() {
  const std::uint8_t code = NBReset(lana, kMaxSessions, kMaxNames);
  isReset = 1;
  return code;
}

void KrNetbiosNetwork::EnumerateInterfaces() {
  KrNetwork::EnumerateInterfaces();
  platform::LANA_ENUM buffer;
  if (NBEnum(buffer) != platform::NRC_GOODRET) return;
  for (int index = 0; index < buffer.length && index <= platform::MAX_LANA; ++index) {
    interfaces.push_back(std::make_unique<KrNetbiosInterface>(buffer.lana[index]));
  }
}

void KrNetbiosNetwork::UpdateInterfaces() {
  platform::LANA_ENUM buffer;
  for (auto& interface : interfaces) interface->staleMark = 1;

  if (NBEnum(buffer) == platform::NRC_GOODRET) {
    for (int index = 0; index < buffer.length && index <= platform::MAX_LANA; ++index) {
      const std::uint8_t lana = buffer.lana[index];
      const auto known = std::find_if(interfaces.begin(), interfaces.end(), [&](const auto& item) {
        return static_cast<const KrNetbiosInterface&>(*item).lana == lana;
      });
      if (known != interfaces.end()) {
        (*known)->staleMark = 0;
      } else {
        interfaces.push_back(std::make_unique<KrNetbiosInterface>(lana));
        changed = true;
      }
    }
  }

  for (std::size_t index = interfaces.size(); index-- > 0;) {
    if (interfaces[index]->staleMark == 1) {
      interfaces.erase(interfaces.begin() + static_cast<std::ptrdiff_t>(index));
      changed = true;
    }
  }
}

}  // namespace lomp
