// The lomp program as a user runs it, in the client namespace of the test
// bed, delivering to Samba's smbd, to a mailslot of nbt_tool, and to names
// nobody holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
using lomp::testing::ChildProcess;
using lomp::testing::Env;
using lomp::testing::Inbox;
using lomp::testing::InNamespace;
using lomp::testing::Lomp;
using lomp::testing::LompRun;
using lomp::testing::Report;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class LompEndToEnd : public lomp::testing::InboxSuite {};

TEST_F(LompEndToEnd, PersonalMessageReachesSmbd) {
  const LompRun run = Lomp({"PEER", "hello"});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived("hello"));
}

// Fifty runs at once with one sender name, as a monitoring burst sends
// them: more runs than the name has suffixes (44), so some wait for one to
// be freed; every message arrives.
TEST_F(LompEndToEnd, ABurstOfRunsWithOneSenderNameAllArrive) {
  constexpr int kRuns = 50;
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (int run = 0; run < kRuns; ++run) {
    runs.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
        LOMP_BINARY, "/s:NAGIOS", Env("LOMP_PEER_NAME"), "burst " + std::to_string(run)}));
  }
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE(run);
    const std::string output = runs[run]->ReadAll(30s);
    EXPECT_EQ(runs[run]->Wait(5s), 0) << output;
    EXPECT_EQ(output, "\nInitializing..." + Report(Env("LOMP_PEER_NAME"), "Sent.") + "\n");
  }
  for (int run = 0; run < kRuns; ++run) EXPECT_TRUE(Arrived("burst " + std::to_string(run)));
}

// A user without a runtime folder (as under cron) whose /tmp claim folder
// another user made first: with a home of his own his messages go as ever;
// without one the run says once, at initialisation, what is wrong, instead
// of "Unknown error" for every recipient.
TEST_F(LompEndToEnd, AClaimFolderSquattedInTmpIsNamedOnceOrAvoided) {
  constexpr int kUser = 65532;  // a user of no other test
  const fs::path squatted = "/tmp/lomp-" + std::to_string(kUser);
  const fs::path place = fs::temp_directory_path() / ("lomp-squat-" + std::to_string(getpid()));
  fs::remove_all(squatted);
  fs::remove_all(place);
  fs::create_directories(squatted);
  ASSERT_EQ(chown(squatted.c_str(), kUser + 1, kUser + 1), 0);
  // The binary where the user can run it, and a home of his own.
  fs::create_directories(place / "home");
  fs::permissions(place, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::copy_file(LOMP_BINARY, place / "lomp");
  ASSERT_EQ(chown((place / "home").c_str(), kUser, kUser), 0);
  const std::vector<std::string> asUser = {"setpriv", "--reuid=" + std::to_string(kUser),
                                           "--regid=" + std::to_string(kUser), "--clear-groups",
                                           (place / "lomp").string()};

  std::vector<std::string> homeless = {"env", "-u", "HOME"};
  homeless.insert(homeless.end(), asUser.begin(), asUser.end());
  homeless.insert(homeless.end(), {"PEER", "BOB", "homeless"});
  ChildProcess refused(homeless);
  EXPECT_EQ(refused.ReadAll(30s),
            "\nInitializing...Failed. No sender name can be registered: " + squatted.string() +
                " belongs to another user (uid " + std::to_string(kUser + 1) + ").\n");
  EXPECT_EQ(refused.Wait(5s), 2);

  std::vector<std::string> housed = {"env", "HOME=" + (place / "home").string()};
  housed.insert(housed.end(), asUser.begin(), asUser.end());
  housed.insert(housed.end(), {"PEER", "housed"});
  ChildProcess sent(housed);
  EXPECT_EQ(sent.ReadAll(30s), "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(sent.Wait(5s), 0);
  EXPECT_TRUE(Arrived("housed"));
  fs::remove_all(squatted);
  fs::remove_all(place);
}

TEST_F(LompEndToEnd, LongMessagesArriveWholeAndInOrder) {
  std::string text300;
  for (int i = 0; text300.size() < 300; ++i) text300 += std::to_string(i) + " ";
  text300.resize(300);
  std::string text1600;
  for (int i = 0; text1600.size() < 1600; ++i) text1600 += "block" + std::to_string(i) + ",";
  text1600.resize(1600);
  EXPECT_EQ(Lomp({"PEER", text300}).exitCode, 0);
  EXPECT_TRUE(Arrived(text300));
  EXPECT_EQ(Lomp({"PEER", text1600 + "cut off"}).exitCode, 0);
  EXPECT_TRUE(Arrived(text1600));
}

TEST_F(LompEndToEnd, AccentedTextArrivesAsTyped) {
  // Typed in UTF-8, sent in CP850, written by smbd in UTF-8 again.
  const LompRun run = Lomp({"peer",
                            "Gr\xC3\xBC\xC3\x9F"
                            "e"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(
      Arrived("Gr\xC3\xBC\xC3\x9F"
              "e"));
}

TEST_F(LompEndToEnd, NobodyIsNotFoundWithinTheTimeOut) {
  const LompRun run = Lomp({"/t:500", "NOBODY", "hi"});
  EXPECT_EQ(run.output,
            "\nInitializing..." + Report("NOBODY", "Failed. Recipient not found") + "\n");
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_LT(run.took, 3s);

  const LompRun both = Lomp({"/t:500", "NOBODY,PEER", "hi"});
  EXPECT_EQ(both.output, "\nInitializing..." + Report("NOBODY", "Failed. Recipient not found") +
                             Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(both.exitCode, 4);
}

// Names nobody answers for, one after the other, each cut at /t:500 while
// its CALL is still running: every command is cancelled for good before the
// next one reuses its memory (under ASan without quarantine in CI).
TEST_F(LompEndToEnd, ManyUnresolvableNamesInARow) {
  const LompRun two = Lomp({"/t:500", "NOBODY1,NOBODY2", "hi"});
  EXPECT_EQ(two.output, "\nInitializing..." + Report("NOBODY1", "Failed. Recipient not found") +
                            Report("NOBODY2", "Failed. Recipient not found") + "\n");
  EXPECT_EQ(two.exitCode, 4);

  const fs::path file = fs::temp_directory_path() / ("lomp-nobodies-" + std::to_string(getpid()));
  std::string expected = "\nInitializing...";
  {
    std::ofstream out(file);
    for (int i = 0; i < 10; ++i) {
      const std::string name = "GONE" + std::to_string(i);
      out << name << " " << std::string(static_cast<std::size_t>(1 + i * 37), 'x') << "\n";
      expected += Report(name, "Failed. Recipient not found");
    }
  }
  const LompRun run = Lomp({"/t:500", "/f:" + file.string()});
  fs::remove(file);
  EXPECT_EQ(run.output, expected + "\n");
  EXPECT_EQ(run.exitCode, 4);
}

TEST_F(LompEndToEnd, RefusingReceiverIsATransmissionError) {
  // A second smbd, on the spare host, without a message command.
  const fs::path dir = fs::temp_directory_path() / ("lomp-nomsg-" + std::to_string(getpid()));
  for (const char* sub : {"lock", "state", "cache", "pid", "private", "log", "ncalrpc"}) {
    fs::create_directories(dir / sub);
  }
  {
    std::ofstream conf(dir / "smb.conf");
    conf << "[global]\n  netbios name = NOMSG\n  workgroup = LOMPTEST\n  interfaces = eth-s\n"
         << "  bind interfaces only = yes\n  server min protocol = NT1\n  smb ports = 139\n"
         << "  disable netbios = no\n";
    for (const char* sub : {"lock", "state", "cache", "pid"}) {
      conf << "  " << sub << " directory = " << (dir / sub).string() << "\n";
    }
    conf << "  private dir = " << (dir / "private").string() << "\n"
         << "  ncalrpc dir = " << (dir / "ncalrpc").string() << "\n"
         << "  log file = " << (dir / "log" / "smbd.log").string() << "\n"
         << "  load printers = no\n  printcap name = /dev/null\n  disable spoolss = yes\n";
  }
  // smbd signals its whole process group when it ends: it gets its own.
  ChildProcess smbd({"setsid", "ip", "netns", "exec", Env("LOMP_NS_SPARE"), "smbd", "--foreground",
                     "--no-process-group", "-s", (dir / "smb.conf").string()});
  LompRun run;
  for (int i = 0; i < 100; ++i) {  // until it listens
    run = Lomp({Env("LOMP_SPARE_ADDR"), "hello"});
    if (run.output.find("Recipient not found") == std::string::npos) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(run.output, "\nInitializing..." +
                            Report(Env("LOMP_SPARE_ADDR"), "Failed. Data transmission error") +
                            "\n");
  EXPECT_EQ(run.exitCode, 4);
  smbd.Kill(SIGTERM);
  smbd.Wait(10s);
  fs::remove_all(dir);
}

TEST_F(LompEndToEnd, GroupMessagesReachAMailslot) {
  ChildProcess receiver(InNamespace(
      Env("LOMP_NS_SPARE"), {NBT_TOOL, "mailslot", "MESSNGR", Env("LOMP_WORKGROUP"), "LOMPSPARE"}));
  ASSERT_EQ(receiver.ReadLine(5s), "ready");
  const LompRun named = Lomp({"/d:lomptest", "hi"});
  EXPECT_EQ(named.output, "\nInitializing..." + Report("lomptest", "Sent.") + "\n");
  EXPECT_EQ(named.exitCode, 0);
  const auto hex = [](const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", c);
      text += digits;
    }
    return text;
  };
  const auto sender = receiver.ReadLine(5s);
  ASSERT_TRUE(sender);
  // Sender (the client's computer name), recipient, text.
  EXPECT_TRUE(sender->ends_with(hex(std::string("\0lomptest\0hi\0", 13)))) << *sender;

  const LompRun current = Lomp({"*", "to all"});  // the client's own workgroup, LOMPTEST
  EXPECT_EQ(current.exitCode, 0) << current.output;
  const auto star = receiver.ReadLine(5s);
  ASSERT_TRUE(star);
  EXPECT_TRUE(star->ends_with(hex(std::string("\0*\0to all\0", 10)))) << *star;
}

TEST_F(LompEndToEnd, BatchFileDeliversAndReportsEveryEntry) {
  const fs::path file = fs::temp_directory_path() / ("lomp-batch-" + std::to_string(getpid()));
  {
    std::ofstream out(file, std::ios::binary);
    out << "PEER first line\r\n\n   \n/d:LOMPTEST to the group\n\"PEER\" quoted\nPEER";
  }
  LompRun run = Lomp({"/f:" + file.string(), "default text"});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") +
                            Report("LOMPTEST", "Sent.") + Report("PEER", "Sent.") +
                            Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived("first line"));
  EXPECT_TRUE(Arrived("quoted"));
  EXPECT_TRUE(Arrived("default text"));

  {
    std::ofstream out(file, std::ios::binary);
    out << "PEER one\n/t:500 skipped\nNOBODY two\n";
  }
  run = Lomp({"/t:500", "/f:" + file.string()});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") +
                            Report("NOBODY", "Failed. Recipient not found") + "\n");
  EXPECT_EQ(run.exitCode, 4);
  fs::remove(file);
}

// Standard input that is not a terminal is read without prompts, as "/f"
// and as "/f:-".
TEST_F(LompEndToEnd, PipedBatchShowsNoPrompts) {
  for (const char* file : {"/f", "/f:-"}) {
    const std::string text = std::string("piped through ") + file;
    const LompRun run = Lomp({file}, "PEER " + text + "\n\n");
    EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Arrived(text));
  }
}

TEST_F(LompEndToEnd, UnreadableMessageFiles) {
  for (const std::string& path : {std::string("/nonexistent/list.txt"), std::string("/tmp")}) {
    const LompRun run = Lomp({"/f:" + path});
    EXPECT_EQ(run.output, "\nInitializing...\n") << path;
    EXPECT_EQ(run.errors.rfind("\nError reading message file: " + path + ": ", 0), 0u)
        << run.errors;
    EXPECT_EQ(run.exitCode, 3);
  }
  const fs::path empty = fs::temp_directory_path() / ("lomp-empty-" + std::to_string(getpid()));
  std::ofstream(empty).close();
  const LompRun run = Lomp({"/f:" + empty.string()});
  EXPECT_EQ(run.output, "\nInitializing...\n");
  EXPECT_EQ(run.exitCode, 4);
  fs::remove(empty);
}

TEST_F(LompEndToEnd, VerbosityLevels) {
  const LompRun silent = Lomp({"/vs", "PEER", "quiet"});
  EXPECT_EQ(silent.output, "");
  EXPECT_EQ(silent.errors, "");
  EXPECT_EQ(silent.exitCode, 0);

  // The trace goes to standard error; the report stays whole on standard output.
  const LompRun debug = Lomp({"/vd", "PEER", "loud"});
  EXPECT_EQ(debug.exitCode, 0);
  EXPECT_TRUE(
      std::regex_search(debug.errors, std::regex("^\n\\d+:\\d+:\\d+:\\d+\t\tmain\tEntering...")))
      << debug.errors;
  for (const char* expected :
       {"\tlomp_initialize\tLana enumerated, length=1", "CNetbiosName\tOpen\tReg result: 0",
        "\tNBExecCmd\tStarting Netbios command..., tc=0",
        "SendPersonalMsg_Multiblock\tLeaving..."}) {
    EXPECT_NE(debug.errors.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(debug.output,
            "\nInitializing...\nEntering single message mode." + Report("PEER", "Sent.") + "\n");

  // Deliveries that overlap name the thread of each record, from the first;
  // one at a time they do not.
  const std::regex threaded("^\n\\d+:\\d+:\\d+:\\d+\t\tmain\t0x[0-9a-f]+\tEntering...");
  const LompRun overlapping = Lomp({"/vd", "PEER,ALIAS01", "loud"});
  EXPECT_EQ(overlapping.exitCode, 0);
  EXPECT_TRUE(std::regex_search(overlapping.errors, threaded)) << overlapping.errors;
  const LompRun oneByOne = Lomp({"/vd", "/j:1", "PEER,ALIAS01", "loud"});
  EXPECT_EQ(oneByOne.exitCode, 0);
  EXPECT_FALSE(std::regex_search(oneByOne.errors, threaded)) << oneByOne.errors;
  EXPECT_EQ(oneByOne.output, overlapping.output);
}

TEST_F(LompEndToEnd, NoNetworkAtAll) {
  const LompRun personal = Lomp({"PEER", "hi"}, "", Env("LOMP_NS_ISOLATED"));
  EXPECT_EQ(personal.output,
            "\nInitializing..." + Report("PEER", "Failed. No network found") + "\n");
  EXPECT_EQ(personal.exitCode, 4);
  const LompRun group = Lomp({"*", "hi"}, "", Env("LOMP_NS_ISOLATED"));
  EXPECT_EQ(group.output, "\nInitializing..." + Report("*", "Failed. Unknown error") + "\n");
  EXPECT_EQ(group.exitCode, 4);
}

TEST_F(LompEndToEnd, HostileMessageFiles) {
  const fs::path file = fs::temp_directory_path() / ("lomp-hostile-" + std::to_string(getpid()));
  {
    std::ofstream out(file, std::ios::binary);
    static const char kLine[] = "PEER nul\0inside and \xFF\xFE invalid UTF-8\n";
    out << std::string(kLine, sizeof kLine - 1) << "PEER " << std::string(1 << 20, 'M') << "\n"
        << std::string(5000, 'R') << " x\n";
  }
  const LompRun run = Lomp({"/t:500", "/f:" + file.string()});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") + Report("PEER", "Sent.") +
                            Report(std::string(1023, 'R'), "Failed. Recipient not found") + "\n");
  EXPECT_EQ(run.exitCode, 4);
  // Not UTF-8, so CP850: 0xFF is a no-break space (smbd stores UTF-8), 0xFE
  // (a block) has no counterpart in the program's code page.
  EXPECT_TRUE(Arrived(std::string("nul\0inside and \xC2\xA0? invalid UTF-8", 32)));
  EXPECT_TRUE(Arrived(std::string(1022, 'M')));  // the field's 1023 characters, trimmed
  fs::remove(file);

  // Opens, but every read fails.
  const LompRun unreadable = Lomp({"/f:/proc/self/mem"});
  EXPECT_EQ(unreadable.output, "\nInitializing...\n");
  EXPECT_EQ(unreadable.errors.rfind("\nError reading message file: /proc/self/mem: ", 0), 0u)
      << unreadable.errors;
  EXPECT_EQ(unreadable.exitCode, 3);
}

TEST_F(LompEndToEnd, LongestArgumentIsCutNotRefused) {
  // The kernel passes arguments of up to 128 KiB; the text is cut to 1600.
  const LompRun run = Lomp({"PEER", std::string(131000, 'a')});
  EXPECT_EQ(run.output, "\nInitializing..." + Report("PEER", "Sent.") + "\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Arrived(std::string(1600, 'a')));
}

TEST_F(LompEndToEnd, BadInputAtTheFrontDoor) {
  // Invalid UTF-8, a very long name, an empty argument: parsed, never crashed on.
  const LompRun run = Lomp({"/t:500", "\xFF\xFE", std::string(5000, 'n'), "", "hi"});
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_NE(run.output.find(Report("??", "Failed. Recipient not found")), std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace lomp
