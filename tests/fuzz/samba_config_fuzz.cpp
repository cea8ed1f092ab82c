// Samba configuration text from any file the host has: every include reads
// the same text again, so nesting and loops are reached too.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/samba_config.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::platform;
  const std::string text(reinterpret_cast<const char*>(data), size);
  int reads = 0;
  const SambaConfig config = ParseSambaConfig(text, [&](const std::string&) {
    ++reads;
    return std::optional<std::string>(text);
  });
  LOMP_CHECK(reads <= 32);  // however includes nest and repeat
  LOMP_CHECK(config.workgroup.size() <= 15 && config.netbiosName.size() <= 15);
  LOMP_CHECK(!config.resolveOrder.empty());
  for (const auto& list : {config.winsServers, config.interfaces}) {
    for (const std::string& item : list) {
      LOMP_CHECK(!item.empty() && item.find_first_of(" \t\r\n,") == std::string::npos);
    }
  }
  return 0;
}
