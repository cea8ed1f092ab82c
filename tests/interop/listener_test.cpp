// lomp --listen on the spare hosts of the test bed, reached by independent
// senders (Samba's smbclient, nmblookup) and by lomp itself; and refusing to
// take a name that Samba's nmbd holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp::testing {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// lomp --listen in network namespace `ns`, its records read as they come.
class Listener {
 public:
  Listener(const std::string& ns, std::vector<std::string> options)
      : errorFile_(std::filesystem::temp_directory_path() /
                   ("lomp-listen-" + std::to_string(getpid()) + "-" + std::to_string(++runs_))) {
    std::vector<std::string> command = {
        "env", "LC_ALL=C.UTF-8", "sh",      "-c", "exec \"$@\" 2>\"" + errorFile_.string() + "\"",
        "sh",  LOMP_BINARY,      "--listen"};
    command.insert(command.end(), options.begin(), options.end());
    process_.emplace(InNamespace(ns, command));
  }
  ~Listener() { std::filesystem::remove(errorFile_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // True once it says it receives; false when it ended or said nothing in time.
  bool Ready() {
    for (auto waited = 0ms; waited < 10s; waited += 50ms) {
      if (Errors().find("receiving messages for") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // The next record: its lines up to the empty line that ends it.
  std::string NextRecord(std::chrono::milliseconds timeout = 5s) {
    std::string record;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      const std::optional<std::string> line = process_->ReadLine(std::max(left, 1ms));
      if (!line) break;
      if (line->empty() && !record.empty()) return record;
      record += *line + "\n";
    }
    return record;
  }

  std::optional<std::string> NextLine(std::chrono::milliseconds timeout = 5s) {
    return process_->ReadLine(timeout);
  }

  // Ends it with `signal`; its exit code.
  int Stop(int signal = SIGTERM) {
    process_->Kill(signal);
    return process_->Wait(10s);
  }
  int Wait() { return process_->Wait(10s); }
  std::string Errors() const { return ReadFile(errorFile_); }

 private:
  static inline int runs_ = 0;
  std::filesystem::path errorFile_;
  std::optional<ChildProcess> process_;
};

// smbclient -M: Samba's own Messenger client, from the client host.
int SmbclientMessage(const std::string& name, const std::string& address, const std::string& text) {
  ChildProcess client(InNamespace(Env("LOMP_NS_CLIENT"),
                                  {"smbclient", "-M", name, "-I", address, "-U", "tester", "-N"}));
  client.WriteInput(text);
  client.CloseInput();
  client.ReadAll(20s);
  return client.Wait(20s);
}

std::string NmbLookup(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"nmblookup"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess lookup(InNamespace(Env("LOMP_NS_CLIENT"), command));
  const std::string output = lookup.ReadAll(20s);
  lookup.Wait(5s);
  return output;
}

class Listening : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { AssertInsideTestbed(); }
};

TEST_F(Listening, SambaSendersReachItByteForByte) {
  Listener listener(Env("LOMP_NS_SPARE"), {"--name", "alice"});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();

  ASSERT_EQ(SmbclientMessage("SPARE", Env("LOMP_SPARE_ADDR"), "hello from samba"), 0);
  const std::string single = listener.NextRecord();
  EXPECT_EQ(single.substr(0, single.find(" on ")), "Message from tester to SPARE") << single;
  EXPECT_EQ(single.substr(single.find('\n') + 1), "hello from samba\n");

  // Near the most smbclient sends (1600 bytes with each line break sent as
  // CR LF): many blocks.
  std::string text;
  int lines = 0;
  for (; text.size() + lines < 1560; ++lines) {
    text += "line " + std::to_string(lines) + " of a long message, ending here\n";
  }
  ASSERT_EQ(SmbclientMessage("ALICE", Env("LOMP_SPARE_ADDR"), text), 0);
  const std::string multi = listener.NextRecord();
  EXPECT_EQ(multi.substr(0, multi.find('\n')).substr(0, 28), "Message from tester to ALICE");
  EXPECT_EQ(multi.substr(multi.find('\n') + 1), text);

  EXPECT_EQ(listener.Stop(SIGTERM), 0);
}

TEST_F(Listening, NetbiosToolsFindItsNames) {
  Listener listener(Env("LOMP_NS_SPARE"), {"--name", "alice", "--name", "bob"});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  const std::string address = Env("LOMP_SPARE_ADDR");
  EXPECT_NE(NmbLookup({"-B", Env("LOMP_BROADCAST"), "ALICE#03"}).find(address + " ALICE<03>"),
            std::string::npos);
  EXPECT_NE(NmbLookup({"-U", address, "--recursion", "BOB#03"}).find(address + " BOB<03>"),
            std::string::npos);
  EXPECT_EQ(NmbLookup({"-B", Env("LOMP_BROADCAST"), "CAROL#03"}).find(address), std::string::npos);
  const std::string status = NmbLookup({"-A", address});
  for (const char* name : {"SPARE", "ALICE", "BOB"}) {
    EXPECT_NE(status.find(std::string(name) + std::string(16 - std::strlen(name), ' ') + "<03>"),
              std::string::npos)
        << status;
  }
  EXPECT_EQ(listener.Stop(SIGINT), 0);
}

TEST_F(Listening, LompMessagesArriveAtTwoListeners) {
  Listener first(Env("LOMP_NS_SPARE"), {"--name", "alice"});
  Listener second(Env("LOMP_NS_SPARE2"), {"--name", "bob", "--json"});
  ASSERT_TRUE(first.Ready()) << first.Errors();
  ASSERT_TRUE(second.Ready()) << second.Errors();
  const std::string client = Env("LOMP_NS_CLIENT");

  const LompRun personal = Lomp({"alice,bob," + Env("LOMP_SPARE2_ADDR"), "to each"}, "", client);
  EXPECT_EQ(personal.exitCode, 0) << personal.output;
  EXPECT_NE(first.NextRecord().find("to alice on"), std::string::npos);
  const auto bob = second.NextLine();
  ASSERT_TRUE(bob);
  EXPECT_NE(bob->find("\"to\":\"bob\",\"text\":\"to each\""), std::string::npos) << *bob;
  EXPECT_NE(bob->find("\"kind\":\"personal\""), std::string::npos) << *bob;
  const auto byAddress = second.NextLine();
  ASSERT_TRUE(byAddress);
  EXPECT_NE(byAddress->find("\"text\":\"to each\""), std::string::npos) << *byAddress;

  // Group messages: to the workgroup by name and as '*', and /p fragments,
  // which arrive as separate messages in order.
  EXPECT_EQ(Lomp({"/d:LOMPTEST", "to the group"}, "", client).exitCode, 0);
  EXPECT_EQ(Lomp({"*", "to everyone"}, "", client).exitCode, 0);
  std::string long_text;
  for (int word = 0; long_text.size() < 300; ++word) long_text += "w" + std::to_string(word) + " ";
  const LompRun fragments = Lomp({"/p", "/d:LOMPTEST", long_text}, "", client);
  EXPECT_EQ(fragments.exitCode, 0) << fragments.output;

  std::string firstTexts;
  for (std::string record = first.NextRecord(2s); !record.empty(); record = first.NextRecord(2s)) {
    firstTexts += record.substr(record.find('\n') + 1);
  }
  std::string secondTexts;
  for (auto line = second.NextLine(2s); line; line = second.NextLine(2s)) {
    EXPECT_NE(line->find("\"kind\":\"group\""), std::string::npos) << *line;
    const auto text = line->find("\"text\":\"") + 8;
    secondTexts += line->substr(text, line->find('"', text) - text) + "|";
  }
  EXPECT_EQ(firstTexts.substr(0, 25), "to the group\nto everyone\n") << firstTexts;
  // The fragments, in order, make the whole text again.
  const std::string afterTwo = secondTexts.substr(secondTexts.find("to everyone|") + 12);
  std::string joined;
  for (std::size_t at = 0, bar; (bar = afterTwo.find('|', at)) != std::string::npos; at = bar + 1) {
    joined += afterTwo.substr(at, bar - at);
  }
  EXPECT_EQ(secondTexts.substr(0, 25), "to the group|to everyone|") << secondTexts;
  EXPECT_EQ(joined, long_text);
  EXPECT_EQ(first.Stop(), 0);
  EXPECT_EQ(second.Stop(), 0);
}

TEST_F(Listening, ANameNmbdHoldsIsRefusedNamingItsOwner) {
  // The client host has no Samba of its own; PEER's nmbd holds PEER<03>.
  Listener listener(Env("LOMP_NS_CLIENT"), {"--name", "peer"});
  EXPECT_EQ(listener.Wait(), 2);
  EXPECT_NE(listener.Errors().find("cannot receive for PEER: " + Env("LOMP_PEER_ADDR") +
                                   " holds the name on the network"),
            std::string::npos)
      << listener.Errors();
}

TEST_F(Listening, APortSambaHoldsIsNamed) {
  Listener listener(Env("LOMP_NS_PEER"), {});
  EXPECT_EQ(listener.Wait(), 2);
  EXPECT_NE(listener.Errors().find("is in use by another program (another NetBIOS server?)"),
            std::string::npos)
      << listener.Errors();
}

TEST_F(Listening, StoppingReleasesTheNamesOnTheWire) {
  const std::filesystem::path capture = std::filesystem::temp_directory_path() /
                                        ("lomp-release-" + std::to_string(getpid()) + ".pcap");
  ChildProcess tshark(InNamespace(Env("LOMP_NS_SPARE2"), {"tshark", "-q", "-i", "eth-t", "-f",
                                                          "udp port 137", "-w", capture.string()}));
  // tshark says nothing on standard output; give it time to start capturing.
  std::this_thread::sleep_for(2s);
  {
    Listener listener(Env("LOMP_NS_SPARE"), {"--name", "alice"});
    ASSERT_TRUE(listener.Ready()) << listener.Errors();
    EXPECT_EQ(listener.Stop(SIGTERM), 0);
  }
  std::this_thread::sleep_for(1s);
  tshark.Kill(SIGINT);
  tshark.Wait(10s);
  ChildProcess read({"tshark", "-r", capture.string(), "-Y", "nbns.flags.opcode == 6", "-T",
                     "fields", "-e", "nbns.name"});
  const std::string released = read.ReadAll(20s);
  read.Wait(5s);
  std::filesystem::remove(capture);
  EXPECT_NE(released.find("ALICE<03>"), std::string::npos) << released;
  EXPECT_NE(released.find("SPARE<03>"), std::string::npos) << released;
}

TEST_F(Listening, AProgramRunsForEachMessageWithoutAShell) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("lomp-exec-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path script = folder / "show";
  const std::filesystem::path seen = folder / "seen";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nseen='" << seen.string() << "'\n"
        << R"(
printf '%s|%s|%s|%s|' "$LOMP_FROM" "$LOMP_TO" "$LOMP_KIND" "$LOMP_ADDRESS" >>"$seen"
cat >>"$seen"
echo >>"$seen"
)";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  Listener listener(Env("LOMP_NS_SPARE"), {"--name", "alice", "--exec", script.string()});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  // Text that a shell would run.
  const std::string text = "$(touch " + (folder / "pwned").string() + ") `id` ; done";
  ASSERT_EQ(SmbclientMessage("ALICE", Env("LOMP_SPARE_ADDR"), text), 0);
  EXPECT_FALSE(listener.NextRecord().empty());
  std::string got;
  for (auto waited = 0ms; waited < 5s && got.find('\n') == std::string::npos; waited += 50ms) {
    std::this_thread::sleep_for(50ms);
    got = ReadFile(seen);
  }
  EXPECT_EQ(got, "tester|ALICE|personal|" + Env("LOMP_CLIENT_ADDR") + "|" + text + "\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "pwned"));
  EXPECT_EQ(listener.Stop(), 0);
  std::filesystem::remove_all(folder);
}

TEST_F(Listening, AHangingProgramHoldsUpNoMessage) {
  const std::filesystem::path script =
      std::filesystem::temp_directory_path() / ("lomp-hang-" + std::to_string(getpid()));
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nexec sleep 600\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  Listener listener(Env("LOMP_NS_SPARE"), {"--exec", script.string()});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  for (int message = 0; message < 3; ++message) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(
        SmbclientMessage("SPARE", Env("LOMP_SPARE_ADDR"), "number " + std::to_string(message)), 0);
    EXPECT_NE(listener.NextRecord(2s).find("number " + std::to_string(message)), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  // Stopping waits for the program at most its time limit.
  EXPECT_EQ(listener.Stop(), 0);
  std::filesystem::remove(script);
}

}  // namespace
}  // namespace lomp::testing
