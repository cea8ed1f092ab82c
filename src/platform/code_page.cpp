#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace lomp::platform {
namespace {

constexpr char32_t kNoCharacter = 0xFFFD;
constexpr unsigned char kReplacement = '?';

// Decodes every byte of a single-byte character set with iconv.
std::array<char32_t, 256> DecodeSingleByteSet(std::string_view charset) {
  iconv_t descriptor = iconv_open("UTF-32LE", std::string(charset).c_str());
  if (descriptor ==
      reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr): iconv's error value
    throw std::runtime_error("iconv does not know " + std::string(charset));
  }
  std::array<char32_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    char in = static_cast<char>(value);
    unsigned char out[8] = {};
    char* inPointer = &in;
    char* outPointer = reinterpret_cast<char*>(out);
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    const size_t result = iconv(descriptor, &inPointer, &inLeft, &outPointer, &outLeft);
    if (result == static_cast<size_t>(-1) || sizeof out - outLeft != 4) {
      table[value] = kNoCharacter;
    } else {
      table[value] = static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
    }
  }
  iconv_close(descriptor);
  return table;
}

struct CodePageTables {
  std::array<char32_t, 256> ansiToUnicode{};
  std::unordered_map<char32_t, unsigned char> unicodeToAnsi;
  std::array<unsigned char, 256> ansiToOem{};
  std::array<unsigned char, 256> oemToAnsi{};
  std::array<unsigned char, 256> ansiUpper{};

  CodePageTables() {
    ansiToUnicode = DecodeSingleByteSet(kAnsiCharset);
    const auto oemToUnicode = DecodeSingleByteSet(kOemCharset);
    std::unordered_map<char32_t, unsigned char> unicodeToOem;
    for (unsigned value = 0; value < 256; ++value) {
      if (ansiToUnicode[value] != kNoCharacter) {
        unicodeToAnsi.emplace(ansiToUnicode[value], static_cast<unsigned char>(value));
      }
      if (oemToUnicode[value] != kNoCharacter) {
        unicodeToOem.emplace(oemToUnicode[value], static_cast<unsigned char>(value));
      }
    }
    for (unsigned value = 0; value < 256; ++value) {
      ansiToOem[value] = Lookup(unicodeToOem, ansiToUnicode[value]);
      oemToAnsi[value] = Lookup(unicodeToAnsi, oemToUnicode[value]);
      ansiUpper[value] = UpperOf(static_cast<unsigned char>(value));
    }
  }

  static unsigned char Lookup(const std::unordered_map<char32_t, unsigned char>& map,
                              char32_t character) {
    const auto found = map.find(character);
    return found == map.end() ? kReplacement : found->second;
  }

  // Windows-1252 letter classes; the pairs outside the Latin-1 block are
  // š/Š, œ/Œ, ž/Ž and ÿ/Ÿ.
  static unsigned char UpperOf(unsigned char value) {
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
};

const CodePageTables& Tables() {
  static const CodePageTables tables;
  return tables;
}

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
  MapInPlace(text, Tables().ansiToOem);
}

void OemToAnsiInPlace(std::string& text) {
  MapInPlace(text, Tables().oemToAnsi);
}

void AnsiToUpperInPlace(std::string& text) {
  MapInPlace(text, Tables().ansiUpper);
}

char32_t AnsiToUnicode(unsigned char ansi) {
  return Tables().ansiToUnicode[ansi];
}

ConsoleCodec::ConsoleCodec(std::string charset) : charset_(std::move(charset)) {
  decoder_ = OpenOrThrow("UTF-32LE", charset_.c_str());
  try {
    encoder_ = OpenOrThrow(charset_.c_str(), "UTF-32LE");
  } catch (...) {
    iconv_close(static_cast<iconv_t>(decoder_));
    throw;
  }
}

ConsoleCodec::~ConsoleCodec() {
  iconv_close(static_cast<iconv_t>(decoder_));
  iconv_close(static_cast<iconv_t>(encoder_));
}

std::string ConsoleCodec::ToAnsi(std::string_view consoleText) const {
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
      ansi.push_back(static_cast<char>(CodePageTables::Lookup(Tables().unicodeToAnsi, character)));
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
