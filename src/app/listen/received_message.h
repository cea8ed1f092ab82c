// What the receiver makes of a message that arrived, and where it goes.
//
// Sources (a sender's session, a group datagram) make a ReceivedMessage;
// destinations (the record on standard output, a program run for each
// message, ...) take it. Neither knows the other.
#pragma once

#include <string>

namespace lomp {

enum class MessageKind { Personal, Group };

struct ReceivedMessage {
  std::string from;  // ANSI, as the sender wrote it
  std::string to;    // ANSI: the name it was for (a user, this computer, a workgroup)
  std::string text;  // ANSI; line breaks are line feeds
  MessageKind kind = MessageKind::Personal;
  std::string address;  // the sender's IPv4 address; empty when unknown
  std::string time;     // local time it arrived, "2026-12-09 14:03:12"
  bool cut = false;     // longer than the receiver keeps: the rest was dropped
};

// Where received messages go. Take is called from several threads at once.
class MessageDestination {
 public:
  virtual ~MessageDestination() = default;
  // Keeps `message`; true once it is safe (written, or handed on), false
  // when it could not be kept. A personal message's sender is told it was
  // delivered only after true.
  virtual bool Take(const ReceivedMessage& message) = 0;
};

}  // namespace lomp
