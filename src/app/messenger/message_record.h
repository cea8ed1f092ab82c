// One message for one recipient, as the delivery loop hands it on.
#pragma once

#include <cstdint>
#include <string>

#include "app/settings/settings.h"

namespace lomp {

struct MessageRecord {
  RecipientKind kind = RecipientKind::Personal;
  std::string recipient;        // the name to reach (ANSI)
  std::string sender;           // the sender's name
  std::string recipientName;    // the recipient's name written into the message
  std::string text;             // the message text
  std::uint64_t timestamp = 0;  // local file time
};

}  // namespace lomp
