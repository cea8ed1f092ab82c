#include "app/listen/service_destinations.h"

#include <algorithm>
#include <cctype>

#include "platform/identity.h"
#include "platform/terminals.h"

namespace lomp {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::vector<platform::JournalField> JournalFieldsOf(const Notice& notice) {
  return {
      {"MESSAGE", "Message from " + notice.from + " to " + notice.to + ": " + NoticeBody(notice)},
      {"PRIORITY", "5"},
      {"SYSLOG_IDENTIFIER", "lomp"},
      {"LOMP_FROM", notice.from},
      {"LOMP_TO", notice.to},
      {"LOMP_KIND", notice.kind == MessageKind::Personal ? "personal" : "group"},
      {"LOMP_ADDRESS", notice.address},
      {"LOMP_TIME", notice.time},
      {"LOMP_CUT", notice.cut ? "1" : "0"},
      {"LOMP_TEXT", notice.text},
  };
}

bool JournalRecord::Keep(const Notice& notice) {
  if (platform::WriteJournal(JournalFieldsOf(notice))) return true;
  const std::lock_guard lock(mutex_);
  fallback_ << NoticeRecord(notice);
  fallback_.flush();
  return static_cast<bool>(fallback_);
}

void WriteToTerminals(const Notice& notice, std::optional<unsigned> user,
                      const std::set<unsigned>& withAgents, const std::string& records) {
  std::set<std::string> written;
  // Built by appending: GCC's optimiser takes "\n" + string for an overlap.
  std::string text(1, '\n');
  text += NoticeRecord(notice);
  for (const platform::TerminalLogin& login : platform::TerminalLogins(records)) {
    const std::optional<unsigned> uid = platform::UserIdOf(login.user);
    if (!uid || (user && *uid != *user) || withAgents.count(*uid) != 0) continue;
    if (written.insert(login.terminal).second) platform::WriteToTerminal(login.terminal, text);
  }
}

std::optional<unsigned> UserRecipient(const Notice& notice,
                                      const std::vector<std::string>& computerNames) {
  if (notice.kind != MessageKind::Personal) return std::nullopt;
  const std::string login = Lower(notice.to);
  for (const std::string& name : computerNames) {
    if (Lower(name) == login) return std::nullopt;
  }
  return platform::UserIdOf(login);
}

}  // namespace lomp
