// Where text crosses a border: ANSI inside the program, OEM on the wire, the
// console's own character set at the console. The wire conversions work in
// place and keep the length; the console conversions may change it.
#pragma once

#include <string>

namespace lomp {

// ANSI to OEM, in place (NetBIOS names, mailslot servers, message fields).
void ToOem(std::string& text);

// OEM to ANSI, in place.
void FromOem(std::string& text);

// Upper-cases ANSI text in place by the ANSI code page's letter classes.
void ToUpper(std::string& text);

// ANSI text as the console shows it (the recipient name of the report).
std::string AnsiToConsole(const std::string& ansiText);

// Console text (command-line arguments, message files, typed input) as ANSI.
std::string ConsoleToAnsi(const std::string& consoleText);

}  // namespace lomp
