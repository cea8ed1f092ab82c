// The only way the front end's text reaches the console. A text is shown
// when its mask shares a bit with the verbosity; nothing is converted and no
// newline is added. The main thread writes, or a delivery thread that
// writes the report under the delivery pipeline's lock while the main thread
// waits for it or reads input; never two at once.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace lomp {

// Report texts: shown in normal and debug verbosity, not in silent.
inline constexpr std::uint32_t kMaskReport = 0x0E;
// Texts shown only in debug verbosity.
inline constexpr std::uint32_t kMaskDebug = 0x08;

// Writes `text` when `mask & verbosity` is non-zero; flushes when asked.
void consoleWrite(std::uint32_t mask, const std::string& text, bool flush);

// As consoleWrite, and only when `sourceMask & inputSource` is non-zero too
// (the batch prompt is shown for console input alone).
void consoleWriteForInput(std::uint32_t mask, std::uint32_t sourceMask, const std::string& text,
                          bool flush);

// As consoleWrite, to standard error: diagnostics (the usage text of an
// invalid command line, a message file that cannot be read) and, in debug
// verbosity, the trace records, so that standard output holds the report
// alone. Silent verbosity shows nothing here either.
void consoleWriteError(std::uint32_t mask, const std::string& text, bool flush);

// Standard output and standard error unless a test redirects them (null
// gives the standard one back). The streams are not owned.
std::ostream& consoleStream();
void setConsoleStream(std::ostream* stream);
std::ostream& consoleErrorStream();
void setConsoleErrorStream(std::ostream* stream);

// Writes out what either stream holds.
void consoleFlush();

// Standard input as a stream.
std::istream& consoleInput();

// True once anything has been shown on either stream (the program then ends
// its output with a line feed).
bool consoleWritten();

}  // namespace lomp
