// One message for one recipient, as the delivery loop hands it on.
#pragma once

#include <cstdint>
#include <functional>
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
  // Asked just before the first byte of the message goes to the recipient
  // (and before every later attempt): false withdraws the delivery, which
  // then sends nothing and ends with DeliveryWithdrawn. Empty: always send.
  std::function<bool()> mayStart;
};

// How a delivery ends that its caller withdrew before anything was sent.
// Not a network error: no port or fallback is tried after it.
struct DeliveryWithdrawn {};

// Throws DeliveryWithdrawn when `record`'s caller no longer wants it sent.
inline void StartSending(const MessageRecord& record) {
  if (record.mayStart && !record.mayStart()) throw DeliveryWithdrawn{};
}

}  // namespace lomp
