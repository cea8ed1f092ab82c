#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/code_page_tables.h"

namespace lomp::platform {
namespace {

constexpr char32_t kNoCharacter = 0xFFFD;
constexpr unsigned char kReplacement = '?';

// Every byte of a code page whose upper half is `high`.
constexpr std::array<char32_t, 256> SingleByteSet(const std::array<char32_t, 128>& high) {
  std::array<char32_t, 256> table{};
  for (unsigned value = 0; value < 128; ++value) table[value] = value;
  std::copy(high.begin(), high.end(), table.begin() + 128);
  return table;
}

bool IsUtf8(std::string charset) {
  std::transform(charset.begin(), charset.end(), charset.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return charset == "UTF-8" || charset == "UTF8";
}

// The UTF-8 sequence at `at` in `text`: its length and code point; 0 when
// the bytes there start no valid sequence; -1 when the text ends inside one
// whose bytes so far are a lead and continuations. Overlong forms,
// surrogates and code points beyond U+10FFFF are not valid, as iconv has it.
int Utf8SequenceAt(std::string_view text, std::size_t at, char32_t& character) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    character = lead;
    return 1;
  }
  int length = 0;
  unsigned char low = 0x80;  // the second byte's range
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xFD) {
    // F5..FD lead sequences beyond U+10FFFF (the five- and six-byte forms
    // of old): never valid when whole, though a text may end inside one.
    length = lead <= 0xF7 ? 4 : lead <= 0xFB ? 5 : 6;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (lead > 0xF4) low = 0xFF;
  } else {
    return 0;
  }
  char32_t value = lead & (0x7F >> std::min(length, 6));
  for (int index = 1; index < length; ++index) {
    // A text that ends inside a sequence is cut short whatever its form:
    // the form is judged only on a whole sequence.
    if (at + static_cast<std::size_t>(index) >= text.size()) return -1;
    const auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(index)]);
    if (next < 0x80 || next > 0xBF) return 0;
    value = value << 6 | (next & 0x3F);
  }
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  character = value;
  return length;
}

void AppendUtf8(std::string& out, char32_t character) {
  if (character < 0x80) {
    out.push_back(static_cast<char>(character));
  } else if (character < 0x800) {
    out.push_back(static_cast<char>(0xC0 | character >> 6));
    out.push_back(static_cast<char>(0x80 | (character & 0x3F)));
  } else {
    // The code pages reach no further than the Basic Multilingual Plane.
    out.push_back(static_cast<char>(0xE0 | character >> 12));
    out.push_back(static_cast<char>(0x80 | (character >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (character & 0x3F)));
  }
}

// A code page read backwards: its characters in code point order, each
// with its byte. Bytes with no character sort last and are never found.
using ReverseSet = std::array<std::pair<char32_t, unsigned char>, 256>;

constexpr ReverseSet ReverseOf(const std::array<char32_t, 256>& set) {
  ReverseSet reverse{};
  for (unsigned value = 0; value < 256; ++value) {
    reverse[value] = {set[value], static_cast<unsigned char>(value)};
  }
  std::sort(reverse.begin(), reverse.end());
  return reverse;
}

constexpr unsigned char Lookup(const ReverseSet& reverse, char32_t character) {
  if (character == kNoCharacter) return kReplacement;
  const auto found =
      std::lower_bound(reverse.begin(), reverse.end(), character,
                       [](const auto& entry, char32_t c) { return entry.first < c; });
  return found == reverse.end() || found->first != character ? kReplacement : found->second;
}

// Windows-1252 letter classes; the pairs outside the Latin-1 block are
// š/Š, œ/Œ, ž/Ž and ÿ/Ÿ.
constexpr unsigned char UpperOf(unsigned char value) {
  if (value >= 'a' && value <= 'z') return static_cast<unsigned char>(value - 0x20);
  if (value >= 0xE0 && value <= 0xFE && value != 0xF7) {
    return static_cast<unsigned char>(value - 0x20);
  }
  switch (value) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return value;
  }
}

// All of it is worked out by the compiler: read-only data, nothing to build
// or allocate when the program runs.
struct CodePageTables {
  std::array<char32_t, 256> ansiToUnicode{};
  ReverseSet unicodeToAnsi{};
  std::array<unsigned char, 256> ansiToOem{};
  std::array<unsigned char, 256> oemToAnsi{};
  std::array<unsigned char, 256> ansiUpper{};
};

constexpr CodePageTables MakeTables() {
  CodePageTables tables;
  tables.ansiToUnicode = SingleByteSet(kCp1252High);
  tables.unicodeToAnsi = ReverseOf(tables.ansiToUnicode);
  const auto oemToUnicode = SingleByteSet(kCp850High);
  const ReverseSet unicodeToOem = ReverseOf(oemToUnicode);
  for (unsigned value = 0; value < 256; ++value) {
    tables.ansiToOem[value] = Lookup(unicodeToOem, tables.ansiToUnicode[value]);
    tables.oemToAnsi[value] = Lookup(tables.unicodeToAnsi, oemToUnicode[value]);
    tables.ansiUpper[value] = UpperOf(static_cast<unsigned char>(value));
  }
  return tables;
}

constexpr CodePageTables kTables = MakeTables();

void MapInPlace(std::string& text, const std::array<unsigned char, 256>& table) {
  for (char& c : text) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
}

iconv_t OpenOrThrow(const char* to, const char* from) {
  iconv_t descriptor = iconv_open(to, from);
  if (descriptor ==
      reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr): iconv's error value
    throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " + to);
  }
  return descriptor;
}

std::string CodesetOfLocale() {
  const char* codeset = nl_langinfo(CODESET);
  std::string name = codeset == nullptr ? "" : codeset;
  // glibc's name for plain ASCII in the C/POSIX locale.
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII") return "UTF-8";
  return name;
}

}  // namespace

void AnsiToOemInPlace(std::string& text) {
  MapInPlace(text, kTables.ansiToOem);
}

void OemToAnsiInPlace(std::string& text) {
  MapInPlace(text, kTables.oemToAnsi);
}

void AnsiToUpperInPlace(std::string& text) {
  MapInPlace(text, kTables.ansiUpper);
}

char32_t AnsiToUnicode(unsigned char ansi) {
  return kTables.ansiToUnicode[ansi];
}

ConsoleCodec::ConsoleCodec(std::string charset) : charset_(std::move(charset)) {
  // UTF-8, the console of nearly every system, is converted here; any other
  // set by iconv.
  if (IsUtf8(charset_)) return;
  decoder_ = OpenOrThrow("UTF-32LE", charset_.c_str());
  try {
    encoder_ = OpenOrThrow(charset_.c_str(), "UTF-32LE");
  } catch (...) {
    iconv_close(static_cast<iconv_t>(decoder_));
    throw;
  }
}

ConsoleCodec::~ConsoleCodec() {
  if (decoder_ == nullptr) return;
  iconv_close(static_cast<iconv_t>(decoder_));
  iconv_close(static_cast<iconv_t>(encoder_));
}

std::string ConsoleCodec::ToAnsi(std::string_view consoleText) const {
  if (decoder_ == nullptr) {
    std::string ansi;
    ansi.reserve(consoleText.size());
    std::size_t at = 0;
    while (at < consoleText.size()) {
      char32_t character = 0;
      const int length = Utf8SequenceAt(consoleText, at, character);
      if (length < 0) {
        // The text ends inside a sequence.
        ansi.push_back(static_cast<char>(kReplacement));
        break;
      }
      if (length == 0) {
        // A byte that starts no valid sequence: one '?', and on.
        ansi.push_back(static_cast<char>(kReplacement));
        ++at;
        continue;
      }
      ansi.push_back(static_cast<char>(Lookup(kTables.unicodeToAnsi, character)));
      at += static_cast<std::size_t>(length);
    }
    return ansi;
  }
  const std::lock_guard lock(mutex_);
  auto* decoder = static_cast<iconv_t>(decoder_);
  iconv(decoder, nullptr, nullptr, nullptr, nullptr);

  std::string ansi;
  ansi.reserve(consoleText.size());
  char* in = const_cast<char*>(consoleText.data());
  size_t inLeft = consoleText.size();
  unsigned char chunk[256];
  while (inLeft > 0) {
    char* out = reinterpret_cast<char*>(chunk);
    size_t outLeft = sizeof chunk;
    const size_t result = iconv(decoder, &in, &inLeft, &out, &outLeft);
    const int error = result == static_cast<size_t>(-1) ? errno : 0;
    const size_t produced = sizeof chunk - outLeft;
    for (size_t i = 0; i + 4 <= produced; i += 4) {
      const char32_t character = static_cast<char32_t>(chunk[i] | chunk[i + 1] << 8 |
                                                       chunk[i + 2] << 16 | chunk[i + 3] << 24);
      ansi.push_back(static_cast<char>(Lookup(kTables.unicodeToAnsi, character)));
    }
    if (error == EILSEQ) {
      // A byte that starts no valid sequence: show it as one '?' and go on.
      ansi.push_back(static_cast<char>(kReplacement));
      ++in;
      --inLeft;
      iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    } else if (error != 0 && error != E2BIG) {
      // The text ends inside a sequence (EINVAL), or iconv failed otherwise.
      ansi.push_back(static_cast<char>(kReplacement));
      break;
    }
  }
  return ansi;
}

std::string ConsoleCodec::FromAnsi(std::string_view ansiText) const {
  if (encoder_ == nullptr) {
    std::string console;
    console.reserve(ansiText.size());
    for (const char c : ansiText) {
      const char32_t character = AnsiToUnicode(static_cast<unsigned char>(c));
      AppendUtf8(console, character == kNoCharacter ? kReplacement : character);
    }
    return console;
  }
  const std::lock_guard lock(mutex_);
  auto* encoder = static_cast<iconv_t>(encoder_);
  iconv(encoder, nullptr, nullptr, nullptr, nullptr);

  std::string console;
  console.reserve(ansiText.size());
  std::vector<unsigned char> wide;
  wide.reserve(ansiText.size() * 4);
  for (char c : ansiText) {
    char32_t character = AnsiToUnicode(static_cast<unsigned char>(c));
    if (character == kNoCharacter) character = kReplacement;
    for (int shift = 0; shift < 32; shift += 8) {
      wide.push_back(static_cast<unsigned char>(character >> shift));
    }
  }
  char* in = reinterpret_cast<char*>(wide.data());
  size_t inLeft = wide.size();
  char chunk[256];
  while (inLeft > 0) {
    char* out = chunk;
    size_t outLeft = sizeof chunk;
    const size_t result = iconv(encoder, &in, &inLeft, &out, &outLeft);
    const int error = result == static_cast<size_t>(-1) ? errno : 0;
    console.append(chunk, sizeof chunk - outLeft);
    if (error == EILSEQ || error == EINVAL) {
      // A character the console cannot show.
      console.push_back(static_cast<char>(kReplacement));
      const size_t skip = std::min<size_t>(4, inLeft);
      in += skip;
      inLeft -= skip;
      iconv(encoder, nullptr, nullptr, nullptr, nullptr);
    } else if (error != 0 && error != E2BIG) {
      break;
    }
  }
  // Flush any shift state of a stateful console set.
  char* out = chunk;
  size_t outLeft = sizeof chunk;
  iconv(encoder, nullptr, nullptr, &out, &outLeft);
  console.append(chunk, sizeof chunk - outLeft);
  return console;
}

bool LocaleNeedsLoading(const char* name) {
  const std::string_view locale = name == nullptr ? "" : name;
  if (locale.empty() || locale == "C" || locale == "POSIX") return false;
  // language[_territory][.codeset][@modifier]; a path or an alias is loaded.
  const std::size_t dot = locale.find('.');
  if (dot == std::string_view::npos || locale.find('/') != std::string_view::npos) return true;
  const std::string_view codeset = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
  std::string normal;
  for (const char c : codeset) {
    if (c != '-' && c != '_')
      normal += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return normal != "utf8";
}

void AdoptConsoleLocale() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe): before any thread
    if (name != nullptr && *name != '\0') break;
  }
  if (LocaleNeedsLoading(name)) std::setlocale(LC_CTYPE, "");  // NOLINT(concurrency-mt-unsafe)
}

const ConsoleCodec& ProcessConsole() {
  static const ConsoleCodec* const codec = [] {
    try {
      return new ConsoleCodec(CodesetOfLocale());
    } catch (const std::runtime_error&) {
      return new ConsoleCodec("UTF-8");
    }
  }();
  return *codec;
}

}  // namespace lomp::platform
