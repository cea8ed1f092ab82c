// The program's two single-byte code pages and the console's character set.
//
// Inside the program text is Windows-1252 (the "ANSI" code page); on the wire
// NetBIOS names and message text are CP850 (the "OEM" code page). Both are
// single-byte, so every conversion between them keeps the length. The
// console speaks the locale's character set, which may be multi-byte (UTF-8).
//
// The tables are built once, on first use, from the code pages' tables
// built into the program; a character that has no counterpart becomes '?'.
// A UTF-8 console is converted by the program too; iconv serves any other
// console set. All functions here are thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace lomp::platform {

inline constexpr std::string_view kAnsiCharset = "CP1252";
inline constexpr std::string_view kOemCharset = "CP850";

// In-place, length-keeping conversions between the ANSI and OEM code pages.
void AnsiToOemInPlace(std::string& text);
void OemToAnsiInPlace(std::string& text);

// Upper-cases ANSI text in place by Windows-1252 character classes: ASCII
// letters, the accented letters of 0xE0..0xFE (not 0xF7) and š, œ, ž, ÿ.
// Letters without a single-byte capital (ß, µ) stay as they are.
void AnsiToUpperInPlace(std::string& text);

// Unicode code point of an ANSI byte, or U+FFFD where Windows-1252 has none.
char32_t AnsiToUnicode(unsigned char ansi);

// Converts between ANSI text and one console character set. Bytes that are
// not valid in the console's set, and characters that the other side cannot
// show, each become one '?'. The console set must be ASCII-compatible.
class ConsoleCodec {
 public:
  // Raises std::runtime_error when `charset` is not UTF-8 and iconv does
  // not know it.
  explicit ConsoleCodec(std::string charset);
  ~ConsoleCodec();
  ConsoleCodec(const ConsoleCodec&) = delete;
  ConsoleCodec& operator=(const ConsoleCodec&) = delete;

  std::string ToAnsi(std::string_view consoleText) const;
  std::string FromAnsi(std::string_view ansiText) const;
  const std::string& Charset() const { return charset_; }

 private:
  std::string charset_;
  mutable std::mutex mutex_;  // iconv descriptors keep state: one user at a time
  void* decoder_ = nullptr;   // iconv_t, console set to UTF-32LE; none for UTF-8
  void* encoder_ = nullptr;   // iconv_t, UTF-32LE to console set; none for UTF-8
};

// The character set of this process's console: the locale's codeset
// (after AdoptConsoleLocale()), taken as UTF-8 when the locale is C/POSIX
// or names a set that iconv does not know. Decided on first use.
const ConsoleCodec& ProcessConsole();

// Takes the character classes of the environment's locale (LC_ALL, else
// LC_CTYPE, else LANG), as setlocale(LC_CTYPE, "") does, but loads the
// locale's files only where they change something. In the C and POSIX
// locales there is nothing to load; in a locale whose set is UTF-8 every
// byte above 0x7F is part of a sequence, never a letter of its own, so
// classifying and upper-casing bytes go exactly as in the C locale, and the
// console is UTF-8 either way. Call before any thread starts.
void AdoptConsoleLocale();

// Whether the locale `name` (a value of LC_ALL, LC_CTYPE or LANG; null or
// empty for none) must be loaded for the above.
bool LocaleNeedsLoading(const char* name);

}  // namespace lomp::platform
