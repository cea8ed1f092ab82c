// The front end as scripts and people at a terminal meet it, against smbd in
// the test bed: what arrives in smbd's inbox, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "inbox.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp {
namespace {

using namespace std::chrono_literals;
using lomp::testing::Arrived;
using lomp::testing::ArrivedTimes;
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::InboxMessages;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;
namespace fs = std::filesystem;

fs::path WriteFile(const std::string& name, const std::string& bytes) {
  const fs::path path = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

class FrontEnd : public lomp::testing::InboxSuite {};

TEST_F(FrontEnd, MessageThatStartsWithASlashArrivesWhole) {
  const LompRun run = Lomp({"PEER", "/var is 95% full"});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived("/var is 95% full"));
  // A switch lomp knows is still a switch.
  const LompRun silent = Lomp({"PEER", "/vs"});
  EXPECT_EQ(silent.output, "");
  EXPECT_EQ(silent.exitCode, 0);
}

// The reader of the report goes away at once; every message still goes out
// and the exit code tells the deliveries.
TEST_F(FrontEnd, ClosedPipeDoesNotStopDeliveries) {
  const std::string command = "env LC_ALL=C.UTF-8 " + std::string(LOMP_BINARY) + " PEER," +
                              Env("LOMP_PEER_ADDR") + ",PEER piped | head -c1 >/dev/null; " +
                              "echo \"${PIPESTATUS[0]}\"";
  ChildProcess shell({"bash", "-c", command});
  shell.CloseInput();
  EXPECT_EQ(shell.ReadLine(30s), "0");
  EXPECT_EQ(shell.Wait(10s), 0);
  EXPECT_TRUE(ArrivedTimes("piped", 3));
}

TEST_F(FrontEnd, ByteOrderMarkAndCodePagesOfMessageFiles) {
  const fs::path marked = WriteFile("lomp-bom", "\xEF\xBB\xBFPEER after the mark\n");
  const LompRun bom = Lomp({"/f:" + marked.string()});
  EXPECT_EQ(bom.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_TRUE(Arrived("after the mark"));

  // A file in the OEM code page: Gr, ü (0x81), ß (0xE1), e; smbd stores UTF-8.
  const fs::path oem = WriteFile("lomp-cp850",
                                 "PEER Gr\x81\xE1"
                                 "e\n");
  EXPECT_EQ(Lomp({"/f:" + oem.string()}).exitCode, 0);
  EXPECT_TRUE(
      Arrived("Gr\xC3\xBC\xC3\x9F"
              "e"));

  // UTF-16 is refused with a word, and nothing goes out.
  const fs::path wide = WriteFile("lomp-utf16", std::string("\xFF\xFEP\0E\0E\0R\0 \0x\0\n\0", 16));
  const LompRun refused = Lomp({"/f:" + wide.string()});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.output, "\nInitializing...\n");
  EXPECT_NE(refused.errors.find("UTF-16"), std::string::npos) << refused.errors;
  EXPECT_EQ(refused.errors.find('\0'), std::string::npos);
  for (const fs::path& path : {marked, oem, wide}) fs::remove(path);
}

TEST_F(FrontEnd, SignatureOfTheUsersChoice) {
  EXPECT_EQ(Lomp({"/s:Nagios", "PEER", "disk full"}).exitCode, 0);
  ASSERT_TRUE(Arrived("disk full"));
  // smbd names the file after the sender: msg-SENDER-...
  const std::string file = InboxMessages().front().fileName;
  EXPECT_EQ(file.rfind("msg-Nagios-", 0), 0u) << file;
}

// Asking for help or the version needs no network and ends at once.
TEST_F(FrontEnd, HelpAndVersionWithoutANetwork) {
  for (const char* only : {"--help", "-h", "--version", "-V"}) {
    const LompRun run = Lomp({only}, "", Env("LOMP_NS_ISOLATED"));
    EXPECT_EQ(run.exitCode, 0) << only;
    EXPECT_LT(run.took, 2s) << only;
    EXPECT_EQ(run.output.rfind("lomp ", 0), 0u) << only;
  }
}

// At a terminal the prompt is on the screen before anything is typed.
TEST_F(FrontEnd, PromptShowsBeforeTheFirstEntryIsTyped) {
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execlp("env", "env", "LC_ALL=C.UTF-8", LOMP_BINARY, "/f", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  auto readUntil = [&](const std::string& wanted, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (screen.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd ready{terminal, POLLIN, 0};
      if (poll(&ready, 1, 100) != 1) continue;
      char buffer[512];
      const ssize_t n = read(terminal, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, static_cast<std::size_t>(n));
    }
    return screen.find(wanted) != std::string::npos;
  };
  EXPECT_TRUE(readUntil("Initializing...\r\n>", 5s)) << screen;
  const std::string typed = "PEER typed at a terminal\n";
  ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  EXPECT_TRUE(readUntil("Sent.\r\n>", 10s)) << screen;
  ASSERT_EQ(write(terminal, "\x04", 1), 1);  // end of input
  readUntil("never", 1s);
  int status = 0;
  for (int i = 0; i < 50 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, WNOHANG);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_TRUE(Arrived("typed at a terminal"));
}

}  // namespace
}  // namespace lomp
