// The receiving side of the SMB messaging commands: what a Messenger does
// with the requests that arrive on one NetBIOS session.
//
// A sender may negotiate first (the core dialect is offered), then sends a
// whole message in one 0xD0, or opens one with 0xD5, adds text with 0xD7
// and closes it with 0xD6. Every request gets a reply; a malformed request,
// one out of order or one for a name that is not ours gets an error reply in
// the DOS form (class, code), which every sender understands, and changes
// nothing. Bytes are checked before they are read; nothing here trusts a
// count from the wire.
//
// One object serves one session and is used by one thread at a time. It
// knows no sockets: bytes in, bytes out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "smb/pdu_buffer.h"

namespace lomp {

inline constexpr std::uint8_t kSmbNegotiate = 0x72;

// DOS error classes and codes of the replies.
inline constexpr std::uint8_t kErrorClassServer = 0x02;  // ERRSRV
inline constexpr std::uint16_t kErrorGeneral = 1;        // ERRerror: malformed or out of order
inline constexpr std::uint16_t kErrorNotReceiving = 82;  // ERRmsgoff: not a name we receive for
inline constexpr std::uint16_t kErrorNoRoom = 83;        // ERRnoroom: the message cannot be kept
inline constexpr std::uint16_t kErrorUnknownCommand = 0xFFFF;  // ERRsmbcmd

// A message that a session delivered whole. Texts are ANSI; in the text the
// line breaks of every sender (0x14, CR LF, CR) are line feeds.
struct SessionMessage {
  std::string from;
  std::string to;
  std::string text;
  bool cut = false;  // the sender sent more than the text limit; the rest is dropped
};

class MessengerServerSession {
 public:
  // `isOurName` says whether a destination (ANSI, as the sender wrote it) is
  // a name this Messenger receives for. `maxTextBytes` bounds a message's
  // text; `groupId` is what the reply to 0xD5 gives the sender.
  MessengerServerSession(std::function<bool(const std::string&)> isOurName,
                         std::size_t maxTextBytes, std::uint16_t groupId);

  struct Step {
    PduBuffer reply;                        // always something to send back
    std::optional<SessionMessage> message;  // a message ended with this request
  };

  // Handles one request (the bytes of one session message). When `message`
  // is set, the caller keeps it first and sends `reply` only once it is
  // safe, or sends Refusal(request, kErrorNoRoom) instead.
  Step Handle(const PduBuffer& request);

  // An error reply to `request` with ERRSRV and `code`.
  static PduBuffer Refusal(const PduBuffer& request, std::uint16_t code);

  // Whether a multi-block message has been opened and not yet closed.
  bool InMessage() const { return open_.has_value(); }

 private:
  std::function<bool(const std::string&)> isOurName_;
  std::size_t maxTextBytes_;
  std::uint16_t groupId_;
  std::optional<SessionMessage> open_;  // the multi-block message being built
};

// The text of a message as a person reads it: OEM bytes from the wire made
// ANSI, and each sender's line break (0x14, CR LF, a lone CR) a line feed.
std::string ReadableText(std::string oem);

}  // namespace lomp
