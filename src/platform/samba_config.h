// The host's NetBIOS configuration: what a NetBIOS node needs from Samba's
// smb.conf, read the way Samba reads it.
//
// Only [global] counts (parameters before any section are global too).
// A line ending in a backslash goes on with the next line; lines starting
// with '#' or ';' are comments; parameter names are compared without case
// and without white space ("netbios name" = "NetBIOSName"); the last setting
// wins; `include = FILE` reads FILE in its place. A file that is missing or
// unreadable contributes nothing, so no file at all means Samba's defaults.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lomp::platform {

enum class ResolveMethod { Lmhosts, Wins, Host, Bcast };

struct SambaConfig {
  std::string workgroup = "WORKGROUP";
  std::string netbiosName;                  // empty: the host name
  std::vector<std::string> netbiosAliases;  // further names of this host, upper case
  // As written: IPv4 addresses or host names, each maybe after a "tag:".
  std::vector<std::string> winsServers;
  std::vector<ResolveMethod> resolveOrder = {ResolveMethod::Lmhosts, ResolveMethod::Wins,
                                             ResolveMethod::Host, ResolveMethod::Bcast};
  // Interface names (shell patterns allowed), addresses or address/mask
  // entries; empty: every interface.
  std::vector<std::string> interfaces;
  bool bindInterfacesOnly = false;
  // The user that smbd runs the message command as.
  std::string guestAccount = "nobody";
  // Files that were there but not read, and why ("PATH is not a regular
  // file; not read"), for the trace.
  std::vector<std::string> notes;
};

// Gives the text of an included file, or nullopt when it cannot be read.
using ConfigReader = std::function<std::optional<std::string>(const std::string& path)>;

// Parses configuration text; `read` supplies included files. Includes nest
// at most 8 levels deep, at most 32 files are read in all, and a file being
// read is never included again inside itself.
SambaConfig ParseSambaConfig(std::string_view text, const ConfigReader& read);

// The text of a configuration file (smb.conf, lmhosts), nullopt when it
// cannot be read. Only a regular file is read, so no read can block (a FIFO
// or a device is refused, and `refusal` says so when given); a huge one is
// cut at 1 MiB.
std::optional<std::string> ReadConfigFile(const std::string& path, std::string* refusal = nullptr);

// Reads the file at `path` and what it includes from the file system.
SambaConfig LoadSambaConfig(const std::string& path);

// The host's configuration, /etc/samba/smb.conf, read once per process.
const SambaConfig& HostSambaConfig();

// Samba's list separators: white space and commas.
std::vector<std::string> SplitConfigList(std::string_view value);

// The text of a method, as `name resolve order` spells it.
const char* ResolveMethodName(ResolveMethod method);

}  // namespace lomp::platform
