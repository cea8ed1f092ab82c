// lmhosts tables: every entry a line gives must be found again by its name.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/nbt/lmhosts.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::platform::nbt;
  const std::string_view table(reinterpret_cast<const char*>(data), size);
  std::string_view rest = table;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const auto entry = ParseLmhostsLine(line);
    if (!entry) continue;
    LOMP_CHECK(!entry->name.empty() && entry->name.size() <= 15);
    for (const char c : entry->name) {
      LOMP_CHECK(std::toupper(static_cast<unsigned char>(c)) == static_cast<unsigned char>(c));
    }
    if (entry->name.find_first_of(std::string_view("\0 ", 2)) != std::string::npos) continue;
    lomp::wire::Name16 name;
    name.fill(' ');
    std::memcpy(name.data(), entry->name.data(), entry->name.size());
    name[15] = entry->suffix.value_or(0x03);
    LOMP_CHECK(FindInLmhosts(table, name).has_value());
  }
  return 0;
}
