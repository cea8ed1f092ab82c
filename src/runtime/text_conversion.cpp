#include "runtime/text_conversion.h"

#include "platform/code_page.h"

namespace lomp {

void ToOem(std::string& text) {
  platform::AnsiToOemInPlace(text);
}

void FromOem(std::string& text) {
  platform::OemToAnsiInPlace(text);
}

void ToUpper(std::string& text) {
  platform::AnsiToUpperInPlace(text);
}

std::string AnsiToConsole(const std::string& ansiText) {
  return platform::ProcessConsole().FromAnsi(ansiText);
}

std::string ConsoleToAnsi(const std::string& consoleText) {
  return platform::ProcessConsole().ToAnsi(consoleText);
}

}  // namespace lomp
