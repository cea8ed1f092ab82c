#include "app/front/message_file.h"

#include "app/front/program_options.h"
#include "platform/code_page.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

// The console's character set is decided once per process, and so is this.
bool ConsoleIsUtf8() {
  static const bool utf8 = [] {
    std::string charset = platform::ProcessConsole().Charset();
    for (char& c : charset) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return charset == "UTF-8" || charset == "UTF8";
  }();
  return utf8;
}

}  // namespace

InputStart ReadStartOfInput(std::istream& input) {
  const int first = input.peek();
  if (first == 0xEF) {
    input.get();
    if (input.peek() == 0xBB) {
      input.get();
      if (input.peek() == 0xBF) {
        input.get();
        return InputStart::Text;
      }
      input.unget();
    }
    input.unget();
  } else if (first == 0xFF || first == 0xFE) {
    input.get();
    const int second = input.peek();
    if ((first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF)) {
      return InputStart::Utf16;
    }
    input.unget();
  }
  return InputStart::Text;
}

bool IsValidUtf8(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      ++at;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (at + length > text.size()) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    at += length;
  }
  return true;
}

std::string FileTextToAnsi(const std::string& text) {
  if (ConsoleIsUtf8() && !IsValidUtf8(text)) {
    // Not UTF-8: text of the system's OEM code page, as older tools wrote it.
    std::string ansi = text;
    FromOem(ansi);
    return ansi;
  }
  return ConsoleToAnsi(text);
}

void MessageFileReader::SkipRestOfLine() {
  for (int c = input_.get(); c != EOF && c != '\n'; c = input_.get()) {
  }
}

std::string MessageFileReader::readRecipientField() {
  lineDone_ = false;
  if (!input_.good()) return "";
  while (isWhiteSpace(input_.peek())) input_.get();
  const int first = input_.get();
  if (first == EOF) return "";

  std::string field;
  if (first == '"') {
    int c = input_.get();
    for (; c != EOF && c != '"' && field.size() < kMaxQuotedFieldLength; c = input_.get()) {
      field.push_back(static_cast<char>(c));
    }
    if (c != EOF && c != '"') {
      // Too long: what was read stands; the rest of the text and its line go.
      while (c != EOF && c != '"') c = input_.get();
      SkipRestOfLine();
      lineDone_ = true;
    }
  } else {
    input_.unget();
    while (field.size() < kMaxFieldLength) {
      const int c = input_.peek();
      if (c == EOF || isWhiteSpace(c)) break;
      field.push_back(static_cast<char>(input_.get()));
    }
    const int next = input_.peek();
    if (next != EOF && !isWhiteSpace(next)) {
      // Too long: what was read stands, the rest of the line is dropped.
      SkipRestOfLine();
      lineDone_ = true;
    }
  }
  return FileTextToAnsi(field);
}

std::string MessageFileReader::readMessageField() {
  if (lineDone_) {
    lineDone_ = false;
    return "";
  }
  std::string field;
  for (;;) {
    const int c = input_.get();
    if (c == EOF || c == '\n') break;
    if (field.size() == kMaxFieldLength) {
      SkipRestOfLine();
      break;
    }
    field.push_back(static_cast<char>(c));
  }
  return trimWhiteSpace(FileTextToAnsi(field));
}

}  // namespace lomp
