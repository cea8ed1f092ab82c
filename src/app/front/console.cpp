#include "app/front/console.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <istream>
#include <ostream>
#include <streambuf>

#include "app/front/program_options.h"

namespace lomp {
namespace {

// The standard streams are C's, written through stdio: a delivery's report
// needs no C++ stream, and a program that never makes one starts without
// setting up the C++ locale (the standard C++ streams would make them all
// at start-up). The modes that want a std::ostream get one over the same
// stdio stream, made when first asked for, so the two never reorder text.
class StdioOutput final : public std::streambuf {
 public:
  explicit StdioOutput(FILE* file) : file_(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return static_cast<std::streamsize>(
        std::fwrite(text, 1, static_cast<std::size_t>(count), file_));
  }
  int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

 private:
  FILE* file_;
};

// Standard input, read straight from its descriptor: a read on a terminal
// returns at the end of a line, so a person answering the batch prompt is
// read line by line.
class DescriptorInput final : public std::streambuf {
 public:
  explicit DescriptorInput(int descriptor) : descriptor_(descriptor) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    ssize_t got = 0;
    do {
      got = ::read(descriptor_, buffer_, sizeof buffer_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(*gptr());
  }

 private:
  int descriptor_;
  char buffer_[4096];
};

std::ostream& StandardOutput() {
  static StdioOutput buffer(stdout);
  static std::ostream stream(&buffer);
  return stream;
}

std::ostream& StandardError() {
  static StdioOutput buffer(stderr);
  static std::ostream stream(&buffer);
  return stream;
}

// Null: the standard stream, through stdio.
std::ostream* currentStream = nullptr;
std::ostream* currentErrorStream = nullptr;
std::atomic<bool> written{false};

void Write(std::ostream* stream, FILE* file, std::uint32_t mask, const std::string& text,
           bool flush) {
  if ((mask & programOptions().verbosity) == 0) return;
  if (!text.empty()) written = true;
  // A closed or failing console (a reader that went away) leaves the stream
  // failed; deliveries go on regardless.
  if (stream != nullptr) {
    stream->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (flush) stream->flush();
    return;
  }
  std::fwrite(text.data(), 1, text.size(), file);
  if (flush) std::fflush(file);
}

}  // namespace

std::ostream& consoleStream() {
  return currentStream != nullptr ? *currentStream : StandardOutput();
}

void setConsoleStream(std::ostream* stream) {
  currentStream = stream;
}

std::ostream& consoleErrorStream() {
  return currentErrorStream != nullptr ? *currentErrorStream : StandardError();
}

void setConsoleErrorStream(std::ostream* stream) {
  currentErrorStream = stream;
}

void consoleFlush() {
  if (currentStream != nullptr) currentStream->flush();
  if (currentErrorStream != nullptr) currentErrorStream->flush();
  std::fflush(stdout);
  std::fflush(stderr);
}

std::istream& consoleInput() {
  static DescriptorInput buffer(STDIN_FILENO);
  static std::istream stream(&buffer);
  return stream;
}

bool consoleWritten() {
  return written;
}

void consoleWrite(std::uint32_t mask, const std::string& text, bool flush) {
  Write(currentStream, stdout, mask, text, flush);
}

void consoleWriteError(std::uint32_t mask, const std::string& text, bool flush) {
  Write(currentErrorStream, stderr, mask, text, flush);
}

void consoleWriteForInput(std::uint32_t mask, std::uint32_t sourceMask, const std::string& text,
                          bool flush) {
  if ((sourceMask & programOptions().inputSource) == 0) return;
  consoleWrite(mask, text, flush);
}

}  // namespace lomp
