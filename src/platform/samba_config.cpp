#include "platform/samba_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace lomp::platform {
namespace {

constexpr int kMaxIncludeDepth = 8;
// Files read by includes in all: two includes per file, eight deep, would
// otherwise read 256 files.
constexpr int kMaxIncludes = 32;
constexpr std::size_t kMaxNameLength = 15;  // NetBIOS names without the suffix byte

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// "Netbios Name" and "netbiosname" are one parameter.
std::string ParameterKey(std::string_view name) {
  std::string key;
  for (const char c : name) {
    if (!IsBlank(c)) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

std::optional<bool> Boolean(std::string_view value) {
  const std::string word = Lower(Trim(value));
  if (word == "yes" || word == "true" || word == "on" || word == "1") return true;
  if (word == "no" || word == "false" || word == "off" || word == "0") return false;
  return std::nullopt;
}

std::string NameSetting(std::string_view value) {
  std::string name = Upper(Trim(value));
  if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
  return name;
}

std::vector<ResolveMethod> ResolveOrder(std::string_view value) {
  std::vector<ResolveMethod> order;
  for (const std::string& word : SplitConfigList(value)) {
    const std::string method = Lower(word);
    if (method == "lmhosts") order.push_back(ResolveMethod::Lmhosts);
    if (method == "wins") order.push_back(ResolveMethod::Wins);
    if (method == "host" || method == "hosts") order.push_back(ResolveMethod::Host);
    if (method == "bcast") order.push_back(ResolveMethod::Bcast);
  }
  return order;
}

class Parser {
 public:
  Parser(SambaConfig& config, const ConfigReader& read) : config_(config), read_(read) {}

  void Parse(std::string_view text, int depth) {
    std::string line;
    while (NextLogicalLine(text, line)) {
      const std::string_view trimmed = Trim(line);
      if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';') continue;
      if (trimmed.front() == '[') {
        const auto close = trimmed.find(']');
        const std::string section = Lower(Trim(trimmed.substr(
            1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
        global_ = section == "global" || section == "globals";
        continue;
      }
      const auto equals = trimmed.find('=');
      if (!global_ || equals == std::string_view::npos) continue;
      Set(ParameterKey(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1)), depth);
    }
  }

 private:
  // Joins lines that end in a backslash with the line after them.
  static bool NextLogicalLine(std::string_view& text, std::string& line) {
    if (text.empty()) return false;
    line.clear();
    while (!text.empty()) {
      const auto end = text.find('\n');
      std::string_view physical = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      while (!physical.empty() && IsBlank(physical.back())) physical.remove_suffix(1);
      if (physical.empty() || physical.back() != '\\') {
        line.append(physical);
        break;
      }
      physical.remove_suffix(1);
      line.append(physical);
    }
    return true;
  }

  void Set(const std::string& key, std::string_view value, int depth) {
    if (key == "workgroup") {
      config_.workgroup = NameSetting(value);
    } else if (key == "netbiosname") {
      config_.netbiosName = NameSetting(value);
    } else if (key == "netbiosaliases") {
      config_.netbiosAliases.clear();
      for (const std::string& alias : SplitConfigList(value)) {
        if (std::string name = NameSetting(alias); !name.empty()) {
          config_.netbiosAliases.push_back(std::move(name));
        }
      }
    } else if (key == "winsserver") {
      config_.winsServers = SplitConfigList(value);
    } else if (key == "nameresolveorder") {
      std::vector<ResolveMethod> order = ResolveOrder(value);
      if (!order.empty()) config_.resolveOrder = std::move(order);
    } else if (key == "interfaces") {
      config_.interfaces = SplitConfigList(value);
    } else if (key == "guestaccount") {
      if (const std::string account(Trim(value)); !account.empty()) config_.guestAccount = account;
    } else if (key == "bindinterfacesonly") {
      if (const auto on = Boolean(value)) config_.bindInterfacesOnly = *on;
    } else if (key == "include") {
      Include(std::string(value), depth);
    }
  }

  void Include(const std::string& path, int depth) {
    if (path.empty() || depth >= kMaxIncludeDepth || includes_ >= kMaxIncludes) return;
    if (std::find(open_.begin(), open_.end(), path) != open_.end()) return;
    ++includes_;
    const std::optional<std::string> text = read_(path);
    if (!text) return;
    open_.push_back(path);
    Parse(*text, depth + 1);
    open_.pop_back();
  }

  SambaConfig& config_;
  const ConfigReader& read_;
  std::vector<std::string> open_;  // the files being included, innermost last
  // As in Samba, the section is the parser's, not a file's: a section an
  // included file opens goes on after the include.
  bool global_ = true;  // parameters before the first section are global
  int includes_ = 0;
};

}  // namespace

std::optional<std::string> ReadConfigFile(const std::string& path, std::string* refusal) {
  // Opening a FIFO must not wait for a writer, nor reading a device for
  // data: only a regular file is read, and that never blocks for long.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    if (refusal != nullptr) *refusal = path + " is not a regular file; not read";
    return std::nullopt;
  }
  // Room for what the file says it holds, read in small pieces: no byte of
  // memory is cleared or touched beyond what the file fills, however large
  // the limit.
  constexpr std::size_t kMaxConfigSize = 1 << 20;
  std::string text;
  text.reserve(std::min(static_cast<std::size_t>(status.st_size), kMaxConfigSize));
  char piece[4096];
  while (text.size() < kMaxConfigSize) {
    const ssize_t n = read(fd, piece, std::min(sizeof piece, kMaxConfigSize - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(piece, static_cast<std::size_t>(n));
  }
  close(fd);
  return text;
}

std::vector<std::string> SplitConfigList(std::string_view value) {
  std::vector<std::string> items;
  std::string item;
  for (const char c : value) {
    if (IsBlank(c) || c == ',') {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

const char* ResolveMethodName(ResolveMethod method) {
  switch (method) {
    case ResolveMethod::Lmhosts: return "lmhosts";
    case ResolveMethod::Wins: return "wins";
    case ResolveMethod::Host: return "host";
    case ResolveMethod::Bcast: return "bcast";
  }
  return "";
}

SambaConfig ParseSambaConfig(std::string_view text, const ConfigReader& read) {
  SambaConfig config;
  Parser(config, read).Parse(text, 0);
  return config;
}

SambaConfig LoadSambaConfig(const std::string& path) {
  std::vector<std::string> notes;
  const auto read = [&](const std::string& file) {
    std::string refusal;
    std::optional<std::string> text = ReadConfigFile(file, &refusal);
    if (!refusal.empty()) notes.push_back(std::move(refusal));
    return text;
  };
  const std::optional<std::string> text = read(path);
  SambaConfig config = text ? ParseSambaConfig(*text, read) : SambaConfig{};
  config.notes = std::move(notes);
  return config;
}

const SambaConfig& HostSambaConfig() {
  static const SambaConfig config = LoadSambaConfig("/etc/samba/smb.conf");
  return config;
}

}  // namespace lomp::platform
