// Where the receiver service puts messages: the system journal, as one
// structured record each, and the desktops of the people they are for.
#pragma once

#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/listen/desktop_hub.h"
#include "app/listen/notice.h"
#include "app/listen/received_message.h"
#include "platform/system_service.h"

namespace lomp {

// The journal record of a notice: MESSAGE ("Message from ALICE to BOB:"
// and the text), PRIORITY 5 (notice), SYSLOG_IDENTIFIER lomp, and LOMP_FROM,
// LOMP_TO, LOMP_KIND, LOMP_ADDRESS, LOMP_TIME, LOMP_CUT and LOMP_TEXT.
std::vector<platform::JournalField> JournalFieldsOf(const Notice& notice);

// The record of each message in the journal; when the journal does not take
// one, a person's record on `fallback` (which a service manager also
// collects) instead. Thread-safe; `fallback` must outlive it.
class JournalRecord final : public MessageDestination {
 public:
  explicit JournalRecord(std::ostream& fallback) : fallback_(fallback) {}
  bool Take(const ReceivedMessage& message) override { return Keep(NoticeOf(message)); }
  // True once the notice is in the journal or on the fallback stream.
  bool Keep(const Notice& notice);

 private:
  std::ostream& fallback_;
  std::mutex mutex_;
};

// Messages handed to the desktop agents; the hub must outlive it.
class DesktopDestination final : public MessageDestination {
 public:
  explicit DesktopDestination(DesktopHub& hub) : hub_(hub) {}
  bool Take(const ReceivedMessage& message) override {
    hub_.Deliver(NoticeOf(message));
    return true;
  }

 private:
  DesktopHub& hub_;
};

// Whose a notice is: the user id of the login its recipient names (a
// personal message to ALICE is for the user alice), or nothing when it is
// for everyone (a group message, or one to a name in `computerNames`, this
// computer's own). Names are compared without case.
std::optional<unsigned> UserRecipient(const Notice& notice,
                                      const std::vector<std::string>& computerNames);

// Writes a notice on the terminals (as write(1) does) of the users it is for
// (`user`, or everyone logged in) who have no desktop agent (`withAgents`),
// each terminal once, those whose owner said mesg n not at all. `records`:
// the login records to read (utmp's own by default).
void WriteToTerminals(const Notice& notice, std::optional<unsigned> user,
                      const std::set<unsigned>& withAgents, const std::string& records = "");

}  // namespace lomp
