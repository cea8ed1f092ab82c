#include "app/front/console.h"

#include <atomic>
#include <iostream>

#include "app/front/program_options.h"

namespace lomp {
namespace {

std::ostream* currentStream = &std::cout;
std::ostream* currentErrorStream = &std::cerr;
std::atomic<bool> written{false};

void Write(std::ostream& stream, std::uint32_t mask, const std::string& text, bool flush) {
  if ((mask & programOptions().verbosity) == 0) return;
  if (!text.empty()) written = true;
  // A closed or failing console (a reader that went away) leaves the stream
  // failed; deliveries go on regardless.
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (flush) stream.flush();
}

}  // namespace

std::ostream& consoleStream() {
  return *currentStream;
}

void setConsoleStream(std::ostream* stream) {
  currentStream = stream ? stream : &std::cout;
}

std::ostream& consoleErrorStream() {
  return *currentErrorStream;
}

void setConsoleErrorStream(std::ostream* stream) {
  currentErrorStream = stream ? stream : &std::cerr;
}

bool consoleWritten() {
  return written;
}

void consoleWrite(std::uint32_t mask, const std::string& text, bool flush) {
  Write(*currentStream, mask, text, flush);
}

void consoleWriteError(std::uint32_t mask, const std::string& text, bool flush) {
  Write(*currentErrorStream, mask, text, flush);
}

void consoleWriteForInput(std::uint32_t mask, std::uint32_t sourceMask, const std::string& text,
                          bool flush) {
  if ((sourceMask & programOptions().inputSource) == 0) return;
  consoleWrite(mask, text, flush);
}

}  // namespace lomp
