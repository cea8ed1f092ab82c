#include "app/listen/record_writer.h"

#include <cstdio>

#include "platform/code_page.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

std::string Escaped(unsigned char byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", unsigned{byte});
  return hex;
}

// A JSON string of ANSI text: UTF-8, with quotes, backslashes and every
// control character escaped.
std::string JsonString(const std::string& ansi) {
  std::string out = "\"";
  for (const char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    const char32_t code = platform::AnsiToUnicode(byte);
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code == '\n') {
      out += "\\n";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(code));
      out += escape;
    } else {
      AppendUtf8(out, code);
    }
  }
  return out + "\"";
}

// A JSON string of UTF-8 text: quotes, backslashes and control characters
// escaped.
std::string JsonUtf8String(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", unsigned{byte});
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* KindName(MessageKind kind) {
  return kind == MessageKind::Personal ? "personal" : "group";
}

}  // namespace

std::string HarmlessText(const std::string& ansi, bool keepLines) {
  std::string out;
  out.reserve(ansi.size());
  for (const char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    const char32_t code = platform::AnsiToUnicode(byte);
    const bool control = code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0);
    if (control && !(keepLines && (c == '\n' || c == '\t'))) {
      out += Escaped(byte);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string PersonRecord(const ReceivedMessage& message) {
  std::string record = "Message from " + HarmlessText(message.from, false) + " to " +
                       HarmlessText(message.to, false) + " on " + message.time + "\n";
  std::string text = HarmlessText(message.text, true);
  if (!text.empty() && text.back() != '\n') text += '\n';
  record += text;
  if (message.cut) record += "(The message was longer; the rest was not kept.)\n";
  return AnsiToConsole(record + "\n");
}

std::string JsonRecord(const ReceivedMessage& message) {
  return "{\"from\":" + JsonString(message.from) + ",\"to\":" + JsonString(message.to) +
         ",\"text\":" + JsonString(message.text) + ",\"time\":" + JsonString(message.time) +
         ",\"kind\":\"" + KindName(message.kind) + "\",\"address\":" + JsonString(message.address) +
         ",\"cut\":" + (message.cut ? "true" : "false") + "}\n";
}

std::string JsonRecord(const Notice& notice) {
  return "{\"from\":" + JsonUtf8String(notice.from) + ",\"to\":" + JsonUtf8String(notice.to) +
         ",\"text\":" + JsonUtf8String(notice.text) + ",\"time\":" + JsonUtf8String(notice.time) +
         ",\"kind\":\"" + KindName(notice.kind) +
         "\",\"address\":" + JsonUtf8String(notice.address) +
         ",\"cut\":" + (notice.cut ? "true" : "false") + "}\n";
}

RecordWriter::RecordWriter(std::ostream& out, RecordForm form) : out_(out), form_(form) {}

bool RecordWriter::Take(const ReceivedMessage& message) {
  return Write(form_ == RecordForm::Json ? JsonRecord(message) : PersonRecord(message));
}

bool RecordWriter::TakeNotice(const Notice& notice) {
  return Write(form_ == RecordForm::Json ? JsonRecord(notice) : NoticeRecord(notice));
}

bool RecordWriter::Write(const std::string& record) {
  const std::lock_guard lock(mutex_);
  out_ << record;
  out_.flush();
  return static_cast<bool>(out_);
}

}  // namespace lomp
