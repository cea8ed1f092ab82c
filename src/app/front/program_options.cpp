#include "app/front/program_options.h"

#include <algorithm>

#include "runtime/text_conversion.h"

#ifndef LOMP_VERSION
#define LOMP_VERSION "0"
#endif

namespace lomp {
namespace {

constexpr std::size_t kSignatureMax = 32;  // a signature of the user's own choice

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The C library's atoi, but saturating instead of overflowing: leading white
// space and a sign are allowed, reading stops at the first non-digit.
long long ReadDecimal(const std::string& text) {
  constexpr long long kSaturation = 1'000'000'000'000LL;
  std::size_t index = 0;
  while (index < text.size() && isWhiteSpace(text[index])) ++index;
  bool negative = false;
  if (index < text.size() && (text[index] == '+' || text[index] == '-')) {
    negative = text[index] == '-';
    ++index;
  }
  long long value = 0;
  for (; index < text.size() && text[index] >= '0' && text[index] <= '9'; ++index) {
    value = std::min(kSaturation, value * 10 + (text[index] - '0'));
  }
  return negative ? -value : value;
}

// The canonical switch of one raw pair, or nullptr when the pair is dropped.
// `recipientSeen` tells whether a recipient or "f" came earlier; `last`
// whether this is the last argument.
const char* CanonicalSwitch(const OptionPair& pair, bool last, bool& recipientSeen) {
  const std::string& name = pair.switchName;
  if (name == "f") return recipientSeen = true, "f";
  if (name == "t") return "t";
  if (name == "j") return "j";
  if (StartsWith(name, "su")) return "su";
  if (StartsWith(name, "sc")) return "sc";
  if (name == "s") return "s";
  if (name == "p") return "p";
  if (name == "l") return "l";
  if (StartsWith(name, "vs")) return "vs";
  if (StartsWith(name, "vn")) return "vn";
  if (StartsWith(name, "vd")) return "vd";
  if (name == "u") return recipientSeen = true, "u";
  if (name == "d") return recipientSeen = true, "d";
  if (name.empty()) {
    // A bare argument is the message only when it comes last and something
    // named recipients (or a message file) before it.
    const bool isMessage = last && recipientSeen;
    recipientSeen = true;
    if (isMessage) return "m";
    return recipientKindOf(pair) == RecipientKind::Group ? "d" : "u";
  }
  return nullptr;
}

// Whether the last argument begins with "/" but names no switch lomp knows
// ("/x", "/", "/var/log full"), while a recipient or "/f" came before it.
bool LastArgumentIsASlashMessage(const OptionList& raw, const std::string& lastArgument) {
  if (raw.empty() || !StartsWith(lastArgument, "/")) return false;
  bool recipientSeen = false;
  for (std::size_t index = 0; index + 1 < raw.size(); ++index) {
    CanonicalSwitch(raw[index], false, recipientSeen);
  }
  if (!recipientSeen) return false;
  const OptionPair& last = raw.back();
  bool unused = false;
  // "/" alone or "/:text" has no switch name: it is no switch either.
  return last.switchName.empty() || CanonicalSwitch(last, true, unused) == nullptr;
}

}  // namespace

OptionPair splitArgument(const std::string& argument) {
  OptionPair pair;
  if (argument.empty()) return pair;
  if (argument[0] == '/') {
    const auto colon = argument.find(':', 1);
    pair.switchName = trimWhiteSpace(
        argument.substr(1, colon == std::string::npos ? std::string::npos : colon - 1));
    if (colon != std::string::npos) pair.value = argument.substr(colon + 1);
  } else {
    pair.value = argument;
  }
  return pair;
}

OptionList normaliseOptions(const OptionList& raw) {
  OptionList normalised;
  bool recipientSeen = false;
  for (std::size_t index = 0; index < raw.size(); ++index) {
    const bool last = index + 1 == raw.size();
    if (const char* name = CanonicalSwitch(raw[index], last, recipientSeen)) {
      normalised.push_back({name, raw[index].value});
    }
  }
  return normalised;
}

void applyOptions(const OptionList& normalised, ProgramOptions& options) {
  bool recipientSwitchSeen = false;
  bool fileSwitchSeen = false;
  for (const OptionPair& pair : normalised) {
    const std::string& name = pair.switchName;
    if (name == "u" || name == "d") {
      recipientSwitchSeen = true;
      const RecipientKind kind = *recipientKindOf(pair);
      (kind == RecipientKind::Group ? options.domainsGiven : options.usersGiven) = true;
      appendRecipients(kind, pair.value, options.recipients);
      options.inputSource = kInputCommandLine;
    } else if (name == "f") {
      fileSwitchSeen = true;
      options.messageFile = pair.value;
      options.batchMode = options.domainsGiven = options.usersGiven = true;
      // "/f:-" is standard input, as "/f" is.
      options.inputSource =
          pair.value.empty() || pair.value == "-" ? kInputConsole : kInputMessageFile;
    } else if (name == "t") {
      const long long timeout = ReadDecimal(pair.value);
      if (timeout != 0) {
        options.timeoutMs =
            static_cast<std::int32_t>(std::clamp<long long>(timeout, kMinTimeoutMs, kMaxTimeoutMs));
      }
    } else if (name == "j") {
      // As /t: no number (or 0) keeps the default, the rest is held in range.
      const long long jobs = ReadDecimal(pair.value);
      if (jobs != 0)
        options.jobs = static_cast<std::int32_t>(std::clamp<long long>(jobs, 1, kMaxJobs));
    } else if (name == "vs") {
      options.verbosity = kVerbositySilent;
    } else if (name == "vn") {
      options.verbosity = kVerbosityNormal;
    } else if (name == "vd") {
      options.verbosity = kVerbosityDebug;
    } else if (name == "m") {
      options.messageText = pair.value;
    } else if (name == "p") {
      options.fragmentBroadcasts = true;
    } else if (name == "l") {
      options.broadcastLimit = kEnlargedBroadcastLimit;
    } else if (name == "su") {
      options.signature = userNameUpper();
      options.signatureGiven = true;
    } else if (name == "sc") {
      options.signature = computerNameUpper();
      options.signatureGiven = true;
    } else if (name == "s") {
      options.signature = pair.value.substr(0, kSignatureMax);
      options.signatureGiven = true;
    }
  }

  if (recipientSwitchSeen && fileSwitchSeen) {
    options.commandLineValid = false;  // recipients or a message file, never both
  } else if (recipientSwitchSeen) {
    options.commandLineValid = !options.recipients.empty();
  } else {
    options.commandLineValid = fileSwitchSeen;
  }
}

bool parseCommandLine(const std::vector<std::string>& arguments, ProgramOptions& options) {
  OptionList raw;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    raw.push_back(splitArgument(arguments[index]));
  }
  OptionList normalised = normaliseOptions(raw);
  if (arguments.size() > 1 && LastArgumentIsASlashMessage(raw, arguments.back())) {
    // "/var is 95% full": monitoring texts begin with paths. The last
    // argument after recipients is the message, slash and all, unless it is
    // a switch lomp knows.
    normalised.push_back({"m", arguments.back()});
  }
  applyOptions(normalised, options);
  return options.commandLineValid;
}

bool nextListItem(const std::string& list, std::size_t& position, std::string& item) {
  if (position >= list.size()) return false;
  const auto comma = list.find(',', position);
  const std::size_t end = comma == std::string::npos ? list.size() : comma;
  const std::string raw = list.substr(position, end - position);
  position = end + 1;
  item = stripDomainPrefix(trimWhiteSpace(raw));
  return true;
}

bool isWhiteSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimWhiteSpace(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isWhiteSpace(text[begin])) ++begin;
  while (end > begin && isWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::optional<RecipientKind> recipientKindOf(const OptionPair& pair) {
  if (pair.switchName == "u") return RecipientKind::Personal;
  if (pair.switchName == "d") return RecipientKind::Group;
  if (!pair.switchName.empty()) return std::nullopt;
  return pair.value == "*" ? RecipientKind::Group : RecipientKind::Personal;
}

void appendRecipients(RecipientKind kind, const std::string& list, RecipientList& recipients) {
  std::size_t position = 0;
  std::string item;
  while (nextListItem(list, position, item)) recipients.push_back({kind, item});
}

std::string stripDomainPrefix(const std::string& text) {
  const auto backslash = text.find('\\');
  return backslash == std::string::npos ? text : text.substr(backslash + 1);
}

std::string versionText() {
  return LOMP_VERSION;
}

const std::string& usageText() {
  static const std::string text =
      "lomp " LOMP_VERSION
      " - delivers popup messages to the Messenger service over NetBIOS\n"
      "Sends 'net send' message to the specified recipients. Usage:\n"
      "\n"
      "LOMP [optional parameters] {[/u:]users | /d:domains | *} ... message \n"
      "LOMP [optional parameters] /f[:filename] [message]\n"
      "\n"
      "  users  \tcomma separated list of users.\n"
      "  domains\tcomma separated list of domains/workgroups.\n"
      "  *\t\tcurrent domain/workgroup.\n"
      "  message\tmessage text.\n"
      "  filename\tmessage file for batch mode.\n"
      "\n"
      "Optional parameters: \n"
      "  /t:timeout\tsend timeout in milliseconds (500-20000)\n"
      "  /p\t\tenables broadcast messages fragmentation, default is disabled\n"
      "  /l\t\tenables enlarged broadcast messages, default is disabled\n"
      "  /s{c[omputer] | u[ser]}\t\tsignature, default is computer\n"
      "  /v{s[ilent] | n[ormal] | d[ebug]}\tverbosity level, default is normal\n"
      "\n"
      "Message file format:\n"
      "  recipientlist1 [message1]\n"
      "  ...\n"
      "  recipientlistN [messageN]\n";
  return text;
}

}  // namespace lomp
