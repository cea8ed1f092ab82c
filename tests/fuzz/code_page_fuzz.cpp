// The text conversions on any bytes: console (UTF-8) to ANSI and back, ANSI
// to OEM and back, upper-casing. Single-byte conversions keep the length;
// text that survives a round trip is unchanged by a second one.
#include <cstdint>
#include <string>

#include "platform/code_page.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::platform;
  static const ConsoleCodec utf8("UTF-8");
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Console text: each character, or each invalid byte, is one ANSI byte.
  const std::string ansi = utf8.ToAnsi(bytes);
  LOMP_CHECK(ansi.size() <= bytes.size());
  const std::string shown = utf8.FromAnsi(ansi);
  LOMP_CHECK(utf8.ToAnsi(shown) == ansi || ansi.find('\x81') != std::string::npos ||
             ansi.find('\x8D') != std::string::npos || ansi.find('\x8F') != std::string::npos ||
             ansi.find('\x90') != std::string::npos || ansi.find('\x9D') != std::string::npos);

  // ANSI and OEM: the same length both ways; a second round trip changes nothing.
  std::string oem = bytes;
  AnsiToOemInPlace(oem);
  LOMP_CHECK(oem.size() == bytes.size());
  std::string back = oem;
  OemToAnsiInPlace(back);
  LOMP_CHECK(back.size() == bytes.size());
  std::string again = back;
  AnsiToOemInPlace(again);
  LOMP_CHECK(again == oem);

  // Upper case keeps the length and is idempotent.
  std::string upper = bytes;
  AnsiToUpperInPlace(upper);
  LOMP_CHECK(upper.size() == bytes.size());
  std::string twice = upper;
  AnsiToUpperInPlace(twice);
  LOMP_CHECK(twice == upper);
  return 0;
}
