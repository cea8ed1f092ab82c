#include "platform/nbt/lmhosts.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace lomp::platform::nbt {
namespace {

constexpr std::size_t kMaxNameLength = 15;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// The next blank-separated field of `line`, moving past it.
std::string_view NextField(std::string_view& line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  std::size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

}  // namespace

std::optional<LmhostsEntry> ParseLmhostsLine(std::string_view line) {
  const std::string_view addressText = NextField(line);
  if (addressText.empty() || addressText.front() == '#') return std::nullopt;
  std::string_view nameText = NextField(line);
  if (nameText.empty()) return std::nullopt;

  LmhostsEntry entry;
  const std::string address(addressText);
  if (inet_pton(AF_INET, address.c_str(), &entry.address) != 1) return std::nullopt;
  if (const auto hash = nameText.find('#'); hash != std::string_view::npos) {
    const std::string_view hex = nameText.substr(hash + 1);
    unsigned suffix = 0;
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), suffix, 16);
    if (hex.size() != 2 || error != std::errc() || end != hex.data() + hex.size()) {
      return std::nullopt;
    }
    entry.suffix = static_cast<std::uint8_t>(suffix);
    nameText = nameText.substr(0, hash);
  }
  if (nameText.empty() || nameText.size() > kMaxNameLength) return std::nullopt;
  for (const char c : nameText) {
    entry.name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return entry;
}

std::optional<in_addr> FindInLmhosts(std::string_view text, const wire::Name16& name) {
  const std::string wanted = wire::NameText(name);
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::optional<LmhostsEntry> entry = ParseLmhostsLine(line);
    if (!entry || entry->name != wanted) continue;
    if (entry->suffix && *entry->suffix != name[15]) continue;
    return entry->address;
  }
  return std::nullopt;
}

}  // namespace lomp::platform::nbt
