// The console's own standard streams: C's stdio underneath, with the
// std::ostream the listening modes write to over the same buffer, and
// standard input read from its descriptor.
#include "app/front/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "app/front/program_options.h"

namespace lomp {
namespace {

// Points descriptor `target` at `replacement` until destroyed.
class Redirect {
 public:
  Redirect(int target, int replacement) : target_(target), saved_(dup(target)) {
    dup2(replacement, target);
  }
  ~Redirect() {
    dup2(saved_, target_);
    close(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int target_;
  int saved_;
};

TEST(Console, ReportAndStreamShareOneBufferInOrder) {
  const ProgramOptions saved = programOptions();
  programOptions().verbosity = kVerbosityNormal;
  char path[] = "/tmp/lomp-console-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  std::fflush(stdout);
  {
    const Redirect redirect(STDOUT_FILENO, file);
    // Unflushed on purpose: a second buffer anywhere would reorder them.
    consoleWrite(kMaskReport, "one ", false);
    consoleStream() << "two ";
    consoleWrite(kMaskDebug, "hidden ", false);
    consoleWrite(kMaskReport, "three", false);
    consoleStream() << '!';
    consoleFlush();
  }
  close(file);
  std::ifstream in(path);
  const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(written, "one two three!");
  unlink(path);
  programOptions() = saved;
}

// A line that comes in pieces, as from a person typing, and a last line with
// no line feed.
TEST(Console, InputReadsLinesThatArriveInPieces) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const Redirect redirect(STDIN_FILENO, pipeEnds[0]);
  close(pipeEnds[0]);
  std::thread writer([end = pipeEnds[1]] {
    for (const char* piece : {"PEER fir", "st line\nPEER ", "second\nlast"}) {
      ASSERT_GT(write(end, piece, std::char_traits<char>::length(piece)), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(end);
  });
  std::istream& input = consoleInput();
  std::string line;
  ASSERT_TRUE(std::getline(input, line));
  EXPECT_EQ(line, "PEER first line");
  ASSERT_TRUE(std::getline(input, line));
  EXPECT_EQ(line, "PEER second");
  ASSERT_TRUE(std::getline(input, line));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(std::getline(input, line));
  writer.join();
}

}  // namespace
}  // namespace lomp
