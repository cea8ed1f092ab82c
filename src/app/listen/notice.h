// A received message as it is shown to people and handed between the
// receiver service, the desktop agents and Samba's message command: every
// field UTF-8 and harmless (control characters other than line feed and tab
// in the text written as \xNN, invalid bytes as U+FFFD).
//
// On the local socket a notice travels as a frame: a 4-byte big-endian
// length, then the fields in this order, each ended by a NUL byte:
// kind ("personal" or "group"), from, to, time, address, cut ("0" or "1"),
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/listen/received_message.h"

namespace lomp {

struct Notice {
  MessageKind kind = MessageKind::Personal;
  std::string from;
  std::string to;
  std::string time;
  std::string address;
  std::string text;
  bool cut = false;
};

// The largest frame payload either side accepts: a 4096-byte text in
// UTF-8 with every byte escaped, and the names.
constexpr std::size_t kMaxNoticeFrame = 4 * 4096 + 1024;

// The notice of a message from the wire (ANSI fields).
Notice NoticeOf(const ReceivedMessage& message);

// Text from elsewhere (a file of Samba's, a frame) made harmless: invalid
// UTF-8 becomes U+FFFD, control characters \xNN (line feeds and tabs kept
// when `keepLines`).
std::string HarmlessUtf8(std::string_view text, bool keepLines);

// One code point as UTF-8, appended to `out`.
void AppendUtf8(std::string& out, char32_t code);

// The payload length that a frame's first four bytes give (`bytes` holds
// at least four).
std::uint32_t NoticeFrameLength(std::string_view bytes);

// The frame of a notice, length included.
std::string EncodeNotice(const Notice& notice);
// A frame's payload (without its length) as a notice, every field made
// harmless again; nothing when it is not one (a field missing or too many,
// an unknown kind).
std::optional<Notice> DecodeNotice(std::string_view payload);

// What a person sees of a notice: "Message from ALICE to BOB", and the text
// as it is (the reader escapes it for its own markup).
std::string NoticeSummary(const Notice& notice);
std::string NoticeBody(const Notice& notice);
// A person's record of a notice: "Message from ALICE to BOB on TIME", the
// text, an empty line.
std::string NoticeRecord(const Notice& notice);

}  // namespace lomp
