#include "app/console.h"

#include <iostream>

#include "app/program_options.h"

namespace lomp {
namespace {

std::ostream* currentStream = &std::cout;

}  // namespace

std::ostream& consoleStream() { return *currentStream; }

void setConsoleStream(std::ostream* stream) { currentStream = stream ? stream : &std::cout; }

void consoleWrite(std::uint32_t mask, std::string text, bool flush) {
  if ((mask & programOptions().verbosity) == 0) return;
  currentStream->write(text.data(), static_cast<std::streamsize>(text.size()));
  if (flush) currentStream->flush();
}

void consoleWriteForInput(std::uint32_t mask, std::uint32_t sourceMask, std::string text,
                          bool flush) {
  if ((sourceMask & programOptions().inputSource) == 0) return;
  consoleWrite(mask, std::move(text), flush);
}

}  // namespace lomp
