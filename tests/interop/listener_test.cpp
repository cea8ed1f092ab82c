// lomp --listen on the spare hosts of the test bed, reached by independent
// senders (Samba's smbclient, nmblookup) and by lomp itself; and refusing to
// take a name that Samba's nmbd holds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "listener_process.h"
#include "platform/nbt/socket_io.h"
#include "support/child_process.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"
#include "wire/mailslot_wire.h"
#include "wire/nbt_wire.h"

namespace lomp::testing {
namespace {

using namespace std::chrono_literals;

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

TEST_F(Listening, AFarSenderFindsItThroughTheWinsServer) {
  // The spare host names the WINS server beyond the router.
  const std::filesystem::path config = "/etc/netns/" + Env("LOMP_NS_SPARE") + "/samba/smb.conf";
  const std::string kept = ReadFile(config);
  std::ofstream(config) << kept << "  wins server = " << Env("LOMP_WINS_ADDR") << "\n";
  // smbclient's own folders, so that no name it cached in an earlier run
  // (on the machine's /var/cache/samba) answers for the WINS server.
  const std::filesystem::path farFolder =
      std::filesystem::temp_directory_path() / ("lomp-far-" + std::to_string(getpid()));
  std::filesystem::create_directories(farFolder);
  const std::filesystem::path farConfig = farFolder / "smb.conf";
  std::ofstream(farConfig) << "[global]\n  wins server = " << Env("LOMP_WINS_ADDR")
                           << "\n  name resolve order = wins\n"
                           << "  cache directory = " << farFolder.string() << "\n"
                           << "  lock directory = " << farFolder.string() << "\n"
                           << "  state directory = " << farFolder.string() << "\n";
  const auto askWins = [&] {
    ChildProcess lookup(InNamespace(
        Env("LOMP_NS_FAR"), {"nmblookup", "-U", Env("LOMP_WINS_ADDR"), "--recursion", "ALICE#03"}));
    std::string output = lookup.ReadAll(20s);
    lookup.Wait(5s);
    return output;
  };
  {
    Listener listener(Env("LOMP_NS_SPARE"), {"--name", "alice"});
    const bool ready = listener.Ready();
    std::ofstream(config) << kept;
    ASSERT_TRUE(ready) << listener.Errors();
    EXPECT_NE(askWins().find(Env("LOMP_SPARE_ADDR") + " ALICE<03>"), std::string::npos);
    // smbclient on the far subnet, where no broadcast of ours reaches.
    ChildProcess far(InNamespace(Env("LOMP_NS_FAR"), {"smbclient", "-s", farConfig.string(), "-M",
                                                      "ALICE", "-U", "far", "-N"}));
    far.WriteInput("hello from beyond the router");
    far.CloseInput();
    far.ReadAll(20s);
    EXPECT_EQ(far.Wait(20s), 0);
    const std::string record = listener.NextRecord();
    EXPECT_EQ(record.substr(record.find('\n') + 1), "hello from beyond the router\n") << record;
    EXPECT_EQ(listener.Stop(), 0);
  }
  // Released with the server as it stopped.
  EXPECT_NE(askWins().find("failed to find name ALICE#03"), std::string::npos);
  std::filesystem::remove_all(farFolder);
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

// --- senders of our own that misbehave ------------------------------------

// A TCP connection from this host to `address`:139; -1 when refused.
int ConnectTo(const std::string& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(139);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

wire::Name16 Name(const std::string& text, std::uint8_t suffix) {
  wire::Name16 name{};
  name.fill(' ');
  std::copy(text.begin(), text.end(), name.begin());
  name[15] = suffix;
  return name;
}

// What came back within `wait`: the bytes, empty when nothing or closed.
wire::Bytes Answer(int fd, std::chrono::milliseconds wait) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(wait.count())) != 1) return {};
  wire::Bytes bytes(2048);
  const ssize_t count = recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
  bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  return bytes;
}

void SendAll(int fd, const wire::Bytes& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// A session to SPARE<03>; -1 when it was refused.
int Session(const std::string& address) {
  const int fd = ConnectTo(address);
  if (fd < 0) return -1;
  SendAll(fd, wire::BuildSessionRequest(Name("SPARE", 0x03), Name("HOSTILE", 0x00)));
  const wire::Bytes answer = Answer(fd, 2s);
  if (answer.empty() || answer[0] != wire::kPositiveResponse) {
    close(fd);
    return -1;
  }
  return fd;
}

wire::Bytes Frame(const wire::Bytes& smb) {
  const auto header = wire::SessionMessageHeader(static_cast<std::uint32_t>(smb.size()));
  wire::Bytes frame(header.begin(), header.end());
  frame.insert(frame.end(), smb.begin(), smb.end());
  return frame;
}

wire::Bytes Smb(std::uint8_t command, const wire::Bytes& words, const wire::Bytes& data) {
  wire::Bytes smb{0xFF, 'S', 'M', 'B', command};
  smb.resize(32, 0);
  smb.push_back(static_cast<std::uint8_t>(words.size() / 2));
  smb.insert(smb.end(), words.begin(), words.end());
  smb.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
  smb.push_back(static_cast<std::uint8_t>(data.size() >> 8));
  smb.insert(smb.end(), data.begin(), data.end());
  return smb;
}

wire::Bytes SingleBlock(const std::string& text) {
  const std::string head = std::string(
                               "\x04"
                               "EVE") +
                           '\0' +
                           "\x04"
                           "SPARE" +
                           '\0' + "\x01";
  wire::Bytes data(head.begin(), head.end());
  data.push_back(static_cast<std::uint8_t>(text.size() & 0xFF));
  data.push_back(static_cast<std::uint8_t>(text.size() >> 8));
  for (const char c : text) data.push_back(static_cast<std::uint8_t>(c));
  return Smb(0xD0, {}, data);
}

// The error class of the SMB reply in a frame (0 for success); -1 for none.
int ReplyClass(const wire::Bytes& frame) {
  return frame.size() >= 4 + 33 && frame[0] == 0x00 ? frame[4 + 5] : -1;
}

TEST_F(Listening, HostileSendersHoldUpNoGoodMessage) {
  Listener listener(Env("LOMP_NS_SPARE"), {"--json"});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  const std::string spare = Env("LOMP_SPARE_ADDR");
  std::vector<int> held;

  // Garbage, texts before a start, a second start, a start without an end,
  // and a frame far larger than any request: each gets an error reply or
  // ends its own session, and nothing is recorded.
  std::vector<std::pair<const char*, wire::Bytes>> misdeeds = {
      {"garbage", Frame(wire::Bytes(200, 0x5A))},
      {"text before a start", Frame(Smb(0xD7, {0, 0}, {0x01, 0x01, 0x00, 'x'}))},
      {"end before a start", Frame(Smb(0xD6, {0, 0}, {}))},
      {"start", Frame(Smb(0xD5, {}, {0x04, 'E', 0x00, 0x04, 'S', 'P', 'A', 'R', 'E', 0x00}))},
      {"second start",
       Frame(Smb(0xD5, {}, {0x04, 'E', 0x00, 0x04, 'S', 'P', 'A', 'R', 'E', 0x00}))},
  };
  const int misbehaving = Session(spare);
  ASSERT_GE(misbehaving, 0);
  for (const auto& [what, frame] : misdeeds) {
    SendAll(misbehaving, frame);
    const wire::Bytes reply = Answer(misbehaving, 2s);
    const int errorClass = ReplyClass(reply);
    if (std::string(what) == "start") {
      EXPECT_EQ(errorClass, 0) << what;
    } else {
      EXPECT_EQ(errorClass, 2) << what;  // ERRSRV
    }
  }
  held.push_back(misbehaving);  // the started message never ends
  if (const int huge = Session(spare); huge >= 0) {
    SendAll(huge, Frame(wire::Bytes(100000, 0x41)));
    held.push_back(huge);
  }

  // Messages as fast as one session can send them: past the burst, the
  // sender's rate is capped and the rest refused (ERRSRV/ERRnoroom).
  const int spammer = Session(spare);
  ASSERT_GE(spammer, 0);
  int accepted = 0;
  int refused = 0;
  const auto spamStart = std::chrono::steady_clock::now();
  for (int index = 0; index < 2000; ++index) {
    SendAll(spammer, Frame(SingleBlock("spam " + std::to_string(index))));
    const wire::Bytes reply = Answer(spammer, 2s);
    (ReplyClass(reply) == 0 ? accepted : refused) += 1;
  }
  const double spamSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - spamStart).count();
  EXPECT_LE(accepted, 1000 + static_cast<int>(100 * spamSeconds) + 1);
  EXPECT_GT(refused, 0);
  held.push_back(spammer);

  // 100 connections that never say whom they call, and sessions that never
  // send a request: far more than one address may hold, so most are turned
  // away at once.
  for (int index = 0; index < 100; ++index) {
    if (const int fd = ConnectTo(spare); fd >= 0) held.push_back(fd);
  }
  for (int index = 0; index < 20; ++index) {
    if (const int fd = Session(spare); fd >= 0) held.push_back(fd);
  }
  // A flood of group datagrams.
  const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(138);
  inet_pton(AF_INET, spare.c_str(), &to.sin_addr);
  wire::MailslotDatagram datagram;
  datagram.type = wire::kDirectUnique;
  datagram.source = Name("FLOOD", 0x00);
  datagram.destination = Name("SPARE", 0x03);
  datagram.mailslot = "\\MAILSLOT\\MESSNGR";
  const std::string payload = std::string("FLOOD") + '\0' + "SPARE" + '\0' + "flood" + '\0';
  datagram.data.assign(payload.begin(), payload.end());
  const auto packet = wire::BuildMailslotDatagram(datagram);
  ASSERT_TRUE(packet);
  for (int index = 0; index < 5000; ++index) {
    sendto(udp, packet->data(), packet->size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  close(udp);

  // Meanwhile a good sender elsewhere: its message is recorded within a second.
  const auto start = std::chrono::steady_clock::now();
  ChildProcess good(InNamespace(Env("LOMP_NS_PEER"),
                                {"smbclient", "-M", "SPARE", "-I", spare, "-U", "good", "-N"}));
  good.WriteInput("the good one");
  good.CloseInput();
  bool arrived = false;
  std::size_t floods = 0;
  std::size_t spams = 0;
  for (auto line = listener.NextLine(5s); line; line = listener.NextLine(1500ms)) {
    if (line->find("\"text\":\"the good one\"") != std::string::npos) {
      arrived = true;
      EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
    floods += line->find("\"text\":\"flood\"") != std::string::npos;
    spams += line->find("\"text\":\"spam ") != std::string::npos;
  }
  good.Wait(10s);
  EXPECT_TRUE(arrived);
  EXPECT_EQ(spams, static_cast<std::size_t>(accepted));
  EXPECT_LT(floods, 2000u);  // the flood's address is held to its rate too
  for (const int fd : held) close(fd);
  EXPECT_EQ(listener.Stop(), 0);
  EXPECT_NE(listener.Errors().find("dropped"), std::string::npos) << listener.Errors();
}

}  // namespace
}  // namespace lomp::testing
