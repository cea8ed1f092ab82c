// The listening side of the real provider on a loopback LANA of its own
// (an address of 127/8 no other test uses): callers are handed to the
// LISTEN for the name they call, side by side, whatever other callers do.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "netbios/ncb_commands.h"
#include "platform/nbt/nbt_provider.h"
#include "platform/sync.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {
namespace {

using namespace std::chrono_literals;
constexpr std::uint16_t kPort = 1139;

in_addr Address(const std::string& text) {
  in_addr address{};
  inet_pton(AF_INET, text.c_str(), &address);
  return address;
}

wire::Name16 Name(const char* text, std::uint8_t suffix) {
  std::uint8_t field[16];
  NBFormatName(field, text, suffix);
  return wire::ToName16(field);
}

bool Signalled(const Event& event, std::chrono::milliseconds wait) {
  return WaitForAny({&event}, wait) == 0;
}

// A caller from `from` to `to`:kPort that sends `request` (none when empty)
// and reads the answer; -1 when there was none before `wait` ran out.
struct Caller {
  Caller(const std::string& from, const std::string& to, const wire::Bytes& request) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = Address(from);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(kPort);
    remote.sin_addr = Address(to);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    if (!request.empty()) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  }
  ~Caller() { close(fd); }
  Caller(const Caller&) = delete;
  Caller& operator=(const Caller&) = delete;

  // The answer's type byte, then its error byte for a negative one.
  std::vector<int> Answer(std::chrono::milliseconds wait) const {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(wait.count())) != 1) return {-1};
    std::uint8_t bytes[8];
    const ssize_t count = recv(fd, bytes, sizeof bytes, 0);
    if (count <= 0) return {0};
    return std::vector<int>(bytes, bytes + count);
  }

  int fd = -1;
  bool connected = false;
};

class SessionListen : public ::testing::Test {
 protected:
  void SetUp() override {
    static int runs = 0;
    ++runs;
    // An address of our own, so that runs side by side never meet.
    lana_ = "127." + std::to_string(20 + getpid() % 200) + "." + std::to_string(runs % 250) + ".1";
    folder_ = std::filesystem::temp_directory_path() /
              ("lomp-listen-" + std::to_string(getpid()) + "-" + std::to_string(runs));
    NbtSettings settings;
    settings.lanas = {{"lo", Address(lana_), Address("127.255.255.255")}};
    settings.sessionPort = kPort;
    settings.registryFolder = folder_.string();
    settings.accept.requestTimeout = 400ms;
    settings.nameService.bindAddress = ntohl(Address(lana_).s_addr);
    settings.nameService.port = kPort;
    provider_ = std::make_unique<NbtProvider>(settings);
    InstallNetbiosProvider(provider_.get());
    ASSERT_EQ(NBReset(0, 250, 250), NRC_GOODRET);
    std::uint8_t number = 0;
    for (const char* name : {"ALICE", "BOB"}) {
      ASSERT_EQ(NBAddName(0, name, 0x03, number), NRC_GOODRET);
    }
  }
  void TearDown() override {
    provider_.reset();
    InstallNetbiosProvider(nullptr);
    std::filesystem::remove_all(folder_);
  }

  // An asynchronous LISTEN for `name`<03>.
  void Listen(NCB& ncb, Event& done, const char* name) {
    ncb.ncb_command = NCBLISTEN | ASYNCH;
    ncb.ncb_lana_num = 0;
    NBFormatName(ncb.ncb_name, name, 0x03);
    NBFormatName(ncb.ncb_callname, "*", 0x00);
    ncb.ncb_event = &done;
    ASSERT_EQ(Netbios(&ncb), NRC_GOODRET);
  }

  std::string lana_;
  std::filesystem::path folder_;
  std::unique_ptr<NbtProvider> provider_;
};

TEST_F(SessionListen, EachCallerReachesTheListenForTheNameItCalls) {
  NCB alice;
  NCB bob;
  Event aliceDone;
  Event bobDone;
  Listen(alice, aliceDone, "ALICE");
  Listen(bob, bobDone, "BOB");

  const Caller toBob("127.0.0.1", lana_,
                     wire::BuildSessionRequest(Name("BOB", 0x03), Name("SENDER", 0x00)));
  EXPECT_EQ(toBob.Answer(2000ms), (std::vector<int>{0x82, 0, 0, 0}));
  ASSERT_TRUE(Signalled(bobDone, 2000ms));
  EXPECT_EQ(bob.ncb_retcode, NRC_GOODRET);
  EXPECT_NE(bob.ncb_lsn, 0);
  EXPECT_EQ(wire::NameText(wire::ToName16(bob.ncb_callname)), "SENDER");
  EXPECT_EQ(provider_->SessionPeer(0, bob.ncb_lsn), "127.0.0.1");
  EXPECT_EQ(alice.ncb_retcode, NRC_PENDING);

  const Caller toAlice("127.0.0.1", lana_,
                       wire::BuildSessionRequest(Name("ALICE", 0x03), Name("SENDER", 0x00)));
  EXPECT_EQ(toAlice.Answer(2000ms)[0], 0x82);
  ASSERT_TRUE(Signalled(aliceDone, 2000ms));
  EXPECT_EQ(alice.ncb_retcode, NRC_GOODRET);
  EXPECT_NE(alice.ncb_lsn, bob.ncb_lsn);
}

TEST_F(SessionListen, CallersThatSayNothingHoldUpNobody) {
  NCB bob;
  Event bobDone;
  Listen(bob, bobDone, "BOB");
  // 80 silent callers from 40 addresses, more than may wait at once.
  std::vector<std::unique_ptr<Caller>> silent;
  for (int index = 0; index < 80; ++index) {
    silent.push_back(
        std::make_unique<Caller>("127.0.9." + std::to_string(1 + index / 2), lana_, wire::Bytes{}));
  }
  const Caller good("127.0.0.1", lana_,
                    wire::BuildSessionRequest(Name("BOB", 0x03), Name("SENDER", 0x00)));
  // Well within the time a silent caller is given.
  EXPECT_EQ(good.Answer(300ms)[0], 0x82);
  EXPECT_TRUE(Signalled(bobDone, 300ms));
}

TEST_F(SessionListen, RefusalsSayWhetherTheNameIsOursOrNotListenedOn) {
  ASSERT_EQ(provider_->PrepareToListen(), "");
  const Caller stranger("127.0.0.1", lana_,
                        wire::BuildSessionRequest(Name("CAROL", 0x03), Name("SENDER", 0x00)));
  EXPECT_EQ(stranger.Answer(2000ms), (std::vector<int>{0x83, 0, 0, 1, 0x82}));
  // BOB is ours, but nobody listens: the caller waits its time, then hears so.
  const auto start = std::chrono::steady_clock::now();
  const Caller early("127.0.0.1", lana_,
                     wire::BuildSessionRequest(Name("BOB", 0x03), Name("SENDER", 0x00)));
  EXPECT_EQ(early.Answer(2000ms), (std::vector<int>{0x83, 0, 0, 1, 0x80}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  // A caller that comes a moment before the LISTEN is handed to it.
  const Caller justBefore("127.0.0.1", lana_,
                          wire::BuildSessionRequest(Name("BOB", 0x03), Name("SENDER", 0x00)));
  NCB bob;
  Event bobDone;
  std::this_thread::sleep_for(50ms);
  Listen(bob, bobDone, "BOB");
  EXPECT_EQ(justBefore.Answer(2000ms)[0], 0x82);
  EXPECT_TRUE(Signalled(bobDone, 2000ms));
}

TEST_F(SessionListen, APortThatAnotherProgramHoldsIsNamed) {
  // Another program holds the session port of a second address.
  const std::string other = lana_.substr(0, lana_.rfind('.')) + ".2";
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(kPort);
  at.sin_addr = Address(other);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  NbtSettings settings;
  settings.lanas = {{"lo", Address(other), Address("127.255.255.255")}};
  settings.sessionPort = kPort;
  settings.nameService.bindAddress = ntohl(Address(other).s_addr);
  settings.nameService.port = kPort;
  settings.registryFolder = folder_.string();
  NbtProvider second(settings);
  EXPECT_EQ(
      second.PrepareToListen(),
      "TCP port 1139 on " + other + " is in use by another program (another NetBIOS server?)");
  EXPECT_EQ(provider_->PrepareToListen(), "");
  close(holder);
}

}  // namespace
}  // namespace lomp::platform::nbt
