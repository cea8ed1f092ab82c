// Samba's lmhosts file: a static table of NetBIOS names.
//
//   ADDRESS NAME[#XX] [anything]
//
// One entry per line; '#' starts a comment line; a name with "#XX" (two hex
// digits) is that name with suffix 0xXX only, a name without it stands for
// the name with any suffix. Names compare without case.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct LmhostsEntry {
  in_addr address{};
  std::string name;                    // upper case, at most 15 bytes
  std::optional<std::uint8_t> suffix;  // nullopt: any suffix
};

// The entry on one line, or nullopt for comments, blank and malformed lines.
std::optional<LmhostsEntry> ParseLmhostsLine(std::string_view line);

// The address of the first entry of `text` that matches `name`.
std::optional<in_addr> FindInLmhosts(std::string_view text, const wire::Name16& name);

}  // namespace lomp::platform::nbt
