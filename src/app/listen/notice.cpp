#include "app/listen/notice.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/code_page.h"

namespace lomp {
namespace {

constexpr std::size_t kNoticeFields = 7;

bool IsControl(char32_t code) {
  return code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0);
}

void AppendHarmless(std::string& out, char32_t code, bool keepLines) {
  if (IsControl(code) && !(keepLines && (code == '\n' || code == '\t'))) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(code));
    out += hex;
  } else {
    AppendUtf8(out, code);
  }
}

// Decodes one UTF-8 sequence at `at`; U+FFFD and one byte for an invalid
// one (overlong forms, surrogates and values past U+10FFFF included).
char32_t NextCode(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    ++at;
    return 0xFFFD;
  }
  if (text.size() - at < length) {
    ++at;
    return 0xFFFD;
  }
  for (std::size_t index = 1; index < length; ++index) {
    const auto next = static_cast<unsigned char>(text[at + index]);
    if ((next & 0xC0) != 0x80) {
      ++at;
      return 0xFFFD;
    }
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++at;
    return 0xFFFD;
  }
  at += length;
  return code;
}

std::string AnsiToHarmlessUtf8(const std::string& ansi, bool keepLines) {
  std::string out;
  out.reserve(ansi.size());
  for (const char c : ansi) {
    AppendHarmless(out, platform::AnsiToUnicode(static_cast<unsigned char>(c)), keepLines);
  }
  return out;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::uint32_t NoticeFrameLength(std::string_view bytes) {
  return (std::uint32_t{static_cast<unsigned char>(bytes[0])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(bytes[1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(bytes[2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(bytes[3])};
}

std::string HarmlessUtf8(std::string_view text, bool keepLines) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    AppendHarmless(out, NextCode(text, at), keepLines);
  }
  return out;
}

Notice NoticeOf(const ReceivedMessage& message) {
  Notice notice;
  notice.kind = message.kind;
  notice.from = AnsiToHarmlessUtf8(message.from, false);
  notice.to = AnsiToHarmlessUtf8(message.to, false);
  notice.time = AnsiToHarmlessUtf8(message.time, false);
  notice.address = AnsiToHarmlessUtf8(message.address, false);
  notice.text = AnsiToHarmlessUtf8(message.text, true);
  notice.cut = message.cut;
  return notice;
}

std::string EncodeNotice(const Notice& notice) {
  std::string payload;
  const std::array<std::string_view, kNoticeFields> fields = {
      notice.kind == MessageKind::Personal ? "personal" : "group",
      notice.from,
      notice.to,
      notice.time,
      notice.address,
      notice.cut ? "1" : "0",
      notice.text};
  for (const std::string_view field : fields) {
    // A NUL inside a field would shift every field after it; harmless
    // fields hold none, but the frame must not depend on that.
    for (const char c : field) payload.push_back(c == '\0' ? '?' : c);
    payload.push_back('\0');
  }
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::string frame = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 8), static_cast<char>(length)};
  return frame + payload;
}

std::optional<Notice> DecodeNotice(std::string_view payload) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start < payload.size()) {
    const std::size_t end = payload.find('\0', start);
    if (end == std::string_view::npos || fields.size() == kNoticeFields) return std::nullopt;
    fields.push_back(payload.substr(start, end - start));
    start = end + 1;
  }
  if (fields.size() != kNoticeFields) return std::nullopt;
  Notice notice;
  if (fields[0] == "personal") {
    notice.kind = MessageKind::Personal;
  } else if (fields[0] == "group") {
    notice.kind = MessageKind::Group;
  } else {
    return std::nullopt;
  }
  notice.from = HarmlessUtf8(fields[1], false);
  notice.to = HarmlessUtf8(fields[2], false);
  notice.time = HarmlessUtf8(fields[3], false);
  notice.address = HarmlessUtf8(fields[4], false);
  notice.cut = fields[5] == "1";
  notice.text = HarmlessUtf8(fields[6], true);
  return notice;
}

std::string NoticeSummary(const Notice& notice) {
  return "Message from " + notice.from + " to " + notice.to;
}

std::string NoticeBody(const Notice& notice) {
  std::string body = notice.text;
  while (!body.empty() && body.back() == '\n') body.pop_back();
  if (notice.cut) body += "\n(The message was longer; the rest was not kept.)";
  return body;
}

std::string NoticeRecord(const Notice& notice) {
  return NoticeSummary(notice) + " on " + notice.time + "\n" + NoticeBody(notice) + "\n\n";
}

}  // namespace lomp
