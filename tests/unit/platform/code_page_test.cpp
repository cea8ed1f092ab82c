#include "platform/code_page.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <locale.h>

#include <stdexcept>
#include <string>

#include "runtime/text_conversion.h"

namespace lomp {
namespace {

std::string Oem(std::string text) {
  ToOem(text);
  return text;
}

std::string Ansi(std::string text) {
  FromOem(text);
  return text;
}

std::string Upper(std::string text) {
  ToUpper(text);
  return text;
}

// Byte values below come from the published CP850 and Windows-1252 tables.

TEST(CodePage, AnsiToOemUsesCp850) {
  EXPECT_EQ(Oem("Gr\xFC\xDF"
                "e"),
            "\x47\x72\x81\xE1\x65");
  EXPECT_EQ(Oem("\xE9\xE8\xC9\xF1\xA3"), "\x82\x8A\x90\xA4\x9C");  // é è É ñ £
  EXPECT_EQ(Oem("plain ASCII 123"), "plain ASCII 123");
  EXPECT_EQ(Oem(""), "");
}

TEST(CodePage, OemToAnsiIsTheInverse) {
  EXPECT_EQ(Ansi("\x47\x72\x81\xE1\x65"),
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(Ansi("\x82\x8A\x90\xA4\x9C"), "\xE9\xE8\xC9\xF1\xA3");
}

TEST(CodePage, RoundTripKeepsEveryCharacterBothPagesHave) {
  int roundTrips = 0;
  for (int value = 0; value < 256; ++value) {
    const std::string ansi(1, static_cast<char>(value));
    const std::string oem = Oem(ansi);
    ASSERT_EQ(oem.size(), 1u);
    if (oem != "?" || ansi == "?") {
      EXPECT_EQ(Ansi(oem), ansi) << "ANSI byte " << value;
      ++roundTrips;
    }
  }
  // CP850 lacks a few Windows-1252 characters (the euro sign, curly quotes...),
  // but the whole Latin-1 range is in both.
  EXPECT_GE(roundTrips, 200);
}

TEST(CodePage, CharactersWithoutCounterpartBecomeQuestionMarks) {
  EXPECT_EQ(Oem("\x80"), "?");        // euro sign: not in CP850
  EXPECT_EQ(Ansi("\xB0\xDB"), "??");  // box drawing: not in Windows-1252
  EXPECT_EQ(Oem("\x81"), "?");        // unassigned in Windows-1252
}

TEST(CodePage, ToUpperFollowsWindows1252Letters) {
  EXPECT_EQ(Upper("bob-42"), "BOB-42");
  EXPECT_EQ(Upper("gr\xFC\xDF"
                  "e"),
            "GR\xDC\xDF"
            "E");  // ß has no capital: stays
  EXPECT_EQ(Upper("\xE9\xE0\xFE\xFF\x9A\x9C\x9E"), "\xC9\xC0\xDE\x9F\x8A\x8C\x8E");
  EXPECT_EQ(Upper("\xF7\xB5"), "\xF7\xB5");  // division sign and micro sign stay
}

TEST(CodePage, UpperCaseHappensBeforeOemConversion) {
  // é upper-cased in ANSI is É, which is 0x90 in CP850; upper-casing the OEM
  // byte 0x82 instead would give garbage.
  EXPECT_EQ(Oem(Upper("jos\xE9")), "JOS\x90");
}

TEST(ConsoleCodec, Utf8ToAnsiAndBack) {
  const platform::ConsoleCodec codec("UTF-8");
  EXPECT_EQ(codec.ToAnsi("Gr\xC3\xBC\xC3\x9F"
                         "e"),
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(codec.FromAnsi("Gr\xFC\xDF"
                           "e"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(codec.ToAnsi("\xE2\x82\xAC"), "\x80");  // the euro sign is in Windows-1252
  EXPECT_EQ(codec.ToAnsi(""), "");
}

TEST(ConsoleCodec, BadInputBecomesOneQuestionMarkPerBadByte) {
  const platform::ConsoleCodec codec("UTF-8");
  EXPECT_EQ(codec.ToAnsi("a\xFF"
                         "b"),
            "a?b");
  EXPECT_EQ(codec.ToAnsi("a\xC3"), "a?");        // ends inside a sequence
  EXPECT_EQ(codec.ToAnsi("\xCE\xA9 x"), "? x");  // Greek omega: not in Windows-1252
  EXPECT_EQ(codec.ToAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(codec.FromAnsi("\x81"), "?");  // unassigned ANSI byte
}

TEST(ConsoleCodec, LongTextCrossesChunkBoundaries) {
  const platform::ConsoleCodec codec("UTF-8");
  std::string utf8;
  std::string ansi;
  for (int i = 0; i < 5000; ++i) {
    utf8 += "\xC3\xA9x";
    ansi += "\xE9x";
  }
  EXPECT_EQ(codec.ToAnsi(utf8), ansi);
  EXPECT_EQ(codec.FromAnsi(ansi), utf8);
}

TEST(ConsoleCodec, SingleByteConsoleSet) {
  const platform::ConsoleCodec codec("ISO-8859-15");
  EXPECT_EQ(codec.ToAnsi("\xA4"), "\x80");                 // euro sign sits at 0xA4 there
  EXPECT_EQ(codec.FromAnsi("\x80\xE9\x85"), "\xA4\xE9?");  // no ellipsis in 8859-15
}

// The tables and the UTF-8 conversion built into the program give what the
// C library's iconv gives, byte for byte ("ISO-10646/UTF8/" is glibc's other
// name for UTF-8, which goes to iconv).
TEST(ConsoleCodec, BuiltInConversionsAreIconvs) {
  const platform::ConsoleCodec builtIn("UTF-8");
  const platform::ConsoleCodec iconv("ISO-10646/UTF8/");
  for (int value = 0; value < 256; ++value) {
    const std::string ansi(1, static_cast<char>(value));
    EXPECT_EQ(builtIn.FromAnsi(ansi), iconv.FromAnsi(ansi)) << value;
    EXPECT_EQ(builtIn.ToAnsi(builtIn.FromAnsi(ansi)), iconv.ToAnsi(iconv.FromAnsi(ansi))) << value;
  }
  const platform::ConsoleCodec cp850{std::string(platform::kOemCharset)};
  std::string oem;
  for (int value = 0; value < 256; ++value) oem.push_back(static_cast<char>(value));
  EXPECT_EQ(Ansi(oem), cp850.ToAnsi(oem));
  // Every short run of bytes that could start, continue, cut or break a
  // sequence.
  const unsigned char bytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xA9,
                                 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xDF, 0xE0, 0xE2, 0xED,
                                 0xEF, 0xF0, 0xF4, 0xF5, 0xF7, 0xF8, 0xFC, 0xFE, 0xFF};
  constexpr std::size_t kCount = sizeof bytes;
  for (std::size_t a = 0; a < kCount; ++a)
    for (std::size_t b = 0; b <= kCount; ++b)
      for (std::size_t c = 0; c <= kCount; ++c)
        for (const std::size_t d : {kCount, a, c}) {
          std::string text(1, static_cast<char>(bytes[a]));
          for (const std::size_t next : {b, c, d}) {
            if (next < kCount) text.push_back(static_cast<char>(bytes[next]));
          }
          ASSERT_EQ(builtIn.ToAnsi(text), iconv.ToAnsi(text)) << ::testing::PrintToString(text);
        }
  // Every lead with up to six continuations, whole or cut.
  for (int lead = 0x80; lead < 0x100; ++lead)
    for (std::size_t continuations = 0; continuations <= 6; ++continuations)
      for (const char* after : {"", "A"}) {
        const std::string text =
            static_cast<char>(lead) + std::string(continuations, '\x80') + after;
        ASSERT_EQ(builtIn.ToAnsi(text), iconv.ToAnsi(text)) << ::testing::PrintToString(text);
      }
}

TEST(ConsoleCodec, UnknownCharsetIsRefused) {
  EXPECT_THROW(platform::ConsoleCodec("NO-SUCH-CHARSET-42"), std::runtime_error);
}

TEST(ConsoleLocale, OnlyLocalesOfEightBitSetsAreLoaded) {
  for (const char* name : {static_cast<const char*>(nullptr), "", "C", "POSIX", "C.UTF-8", "C.utf8",
                           "en_US.UTF-8", "de_DE.utf8@euro", "tr_TR.UTF_8"}) {
    EXPECT_FALSE(platform::LocaleNeedsLoading(name)) << (name == nullptr ? "(none)" : name);
  }
  // Without a set a locale's own default decides (en_US is ISO-8859-1);
  // a path or an alias may name anything.
  for (const char* name : {"en_US", "de_DE.ISO-8859-1", "ru_RU.KOI8-R", "fr_FR@euro",
                           "/usr/lib/locale/x.UTF-8", "C.UTF-16", "english", "C.UTF-8x"}) {
    EXPECT_TRUE(platform::LocaleNeedsLoading(name)) << name;
  }
}

// What leaving a UTF-8 locale unloaded rests on: its byte classes and case
// mappings are the C locale's, byte for byte.
TEST(ConsoleLocale, Utf8LocalesTreatBytesAsTheCLocaleDoes) {
  locale_t c = newlocale(LC_CTYPE_MASK, "C", nullptr);
  ASSERT_NE(c, nullptr);
  int compared = 0;
  for (const char* name : {"C.UTF-8", "en_US.UTF-8", "de_DE.UTF-8"}) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, name, nullptr);
    if (utf8 == nullptr) continue;  // not installed here
    ++compared;
    for (int byte = 0; byte < 256; ++byte) {
      EXPECT_EQ(toupper_l(byte, utf8), toupper_l(byte, c)) << name << " " << byte;
      EXPECT_EQ(tolower_l(byte, utf8), tolower_l(byte, c)) << name << " " << byte;
      EXPECT_EQ(isalpha_l(byte, utf8) != 0, isalpha_l(byte, c) != 0) << name << " " << byte;
      EXPECT_EQ(isspace_l(byte, utf8) != 0, isspace_l(byte, c) != 0) << name << " " << byte;
    }
    freelocale(utf8);
  }
  freelocale(c);
  EXPECT_GT(compared, 0) << "glibc always has C.UTF-8";
}

}  // namespace
}  // namespace lomp
