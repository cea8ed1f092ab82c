// The real NetBIOS-over-TCP/IP provider on a loopback LANA: sessions to a
// session service of the test's own on 127.0.0.1, nothing beyond loopback.
#include "platform/nbt/nbt_provider.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "netbios/ncb_commands.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/open_descriptors.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {
namespace {

using namespace lomp::wire;

using namespace std::chrono_literals;
using lomp::testing::Eventually;
using Clock = std::chrono::steady_clock;

in_addr Address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

std::size_t OpenDescriptors() {
  return lomp::testing::FdCheckAtExit::OpenDescriptors().size();
}

// Threads of this process: the test's own, and the provider's while it has
// commands running.
std::size_t ProcessThreads() {
  // A sanitizer may start a helper thread of its own with the process's
  // first new thread: one started and ended here makes sure it is counted
  // in the baseline as well as after.
  std::thread([] {}).join();
  std::size_t threads = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++threads;
  return threads;
}

// A session service on 127.0.0.1: takes every connection; in answer mode it
// accepts each SESSION REQUEST at once, in mute mode it never answers.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(bool answer) : answer_(answer) {
    listener_ = lomp::testing::LoopbackListener(512, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackPeer() {
    stop_ = true;
    thread_.join();
    for (const auto& [fd, got] : connections_) close(fd);
    close(listener_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_; }
  // Connections the peer still has open (ours not yet closed or reset).
  int open() const { return open_; }

 private:
  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
      for (const auto& [fd, got] : connections_) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 10) <= 0) continue;
      if (fds[0].revents) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          connections_[fd] = 0;
          ++accepted_;
        }
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        const int fd = fds[i].fd;
        std::uint8_t buffer[256];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
          close(fd);
          connections_.erase(fd);
          continue;
        }
        const std::size_t before = connections_[fd];
        connections_[fd] += static_cast<std::size_t>(n);
        if (answer_ && before < 72 && connections_[fd] >= 72) {
          const auto positive = wire::PositiveSessionResponse();
          ::send(fd, positive.data(), positive.size(), MSG_NOSIGNAL);
        }
      }
      open_ = static_cast<int>(connections_.size());
    }
  }

  const bool answer_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::map<int, std::size_t> connections_;  // bytes received on each
  std::atomic<int> accepted_{0};
  std::atomic<int> open_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class NbtProviderLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("lomp-claims-" + std::to_string(getpid()) + "-" + std::to_string(++runs_));
  }
  void TearDown() override {
    InstallNetbiosProvider(nullptr);
    std::filesystem::remove_all(folder_);
  }

  // A provider whose only LANA is loopback and whose session port is `port`;
  // names are looked up on a UDP port nobody answers on.
  std::unique_ptr<NbtProvider> MakeProvider(std::uint16_t port,
                                            std::chrono::milliseconds callTimeout = 20000ms) {
    NbtSettings settings;
    settings.trace = [this](const std::string& line) {
      const std::lock_guard lock(traceMutex_);
      trace_.push_back(line);
    };
    settings.names.statusInterval = 5ms;
    settings.lanas = {{"lo", Address("127.0.0.1"), Address("127.255.255.255")}};
    settings.sessionPort = port;
    settings.names.port = 9;  // discard: no answer comes
    settings.names.queryInterval = 5ms;
    settings.names.order = {ResolveMethod::Bcast};
    settings.callTimeout = callTimeout;
    settings.registryFolder = folder_.string();
    auto provider = std::make_unique<NbtProvider>(settings);
    InstallNetbiosProvider(provider.get());
    EXPECT_EQ(NBReset(0, 250, 250), NRC_GOODRET);
    std::uint8_t number = 0;
    EXPECT_EQ(NBAddName(0, "ME", 0x04, number), NRC_GOODRET);
    return provider;
  }

  static void FillCall(NCB& ncb, const char* callname) {
    ncb.ncb_command = NCBCALL | ASYNCH;
    ncb.ncb_retcode = 0;
    ncb.ncb_lsn = 0;
    ncb.ncb_lana_num = 0;
    ncb.ncb_event = nullptr;
    NBFormatName(ncb.ncb_callname, callname, 0x03);
    NBFormatName(ncb.ncb_name, "ME", 0x04);
    ncb.ncb_rto = ncb.ncb_sto = 2;
  }

  // One CALL of `callname`, without the retries of the NCB layer above.
  static std::uint8_t CallOnce(const char* callname) {
    NCB ncb;
    FillCall(ncb, callname);
    ncb.ncb_command = NCBCALL;
    return Netbios(&ncb);
  }

  // The provider's trace lines that hold `text`.
  std::vector<std::string> TraceWith(const std::string& text) {
    const std::lock_guard lock(traceMutex_);
    std::vector<std::string> found;
    for (const std::string& line : trace_) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  std::filesystem::path folder_;
  static inline int runs_ = 0;
  std::mutex traceMutex_;
  std::vector<std::string> trace_;
};

// Where a CALL fails, the trace says which call failed, with what error, at
// which address, and the code it became: a port where nothing listens, and
// a session service that refuses with a negative response.
TEST_F(NbtProviderLoopback, FailedCallsSayWhy) {
  std::uint16_t closedPort = 0;
  close(lomp::testing::LoopbackListener(1, closedPort));
  {
    const auto provider = MakeProvider(closedPort);
    EXPECT_EQ(CallOnce("127.0.0.1"), NRC_NOCALL);
    const auto lines = TraceWith("connect: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Call: 127.0.0.1<03> at 127.0.0.1:" + std::to_string(closedPort) +
                            ": connect: Connection refused (errno 111); NCB code 0x14");
  }

  std::uint16_t port = 0;
  const int listener = lomp::testing::LoopbackListener(1, port);
  std::thread refuser([&] {
    const int fd = accept(listener, nullptr, nullptr);
    std::uint8_t request[72];
    std::size_t got = 0;
    while (got < sizeof request) {
      const ssize_t n = recv(fd, request + got, sizeof request - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    const auto refusal = wire::NegativeSessionResponse(0x82);
    ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
    close(fd);
  });
  const auto provider = MakeProvider(port);
  EXPECT_EQ(CallOnce("127.0.0.1"), NRC_NOCALL);
  refuser.join();
  close(listener);
  EXPECT_EQ(TraceWith("negative session response").size(), 1u);
  EXPECT_EQ(TraceWith(": negative session response 0x82 (called name not present); NCB code "
                      "0x14")
                .size(),
            1u);
}

// A command cancelled and an NCB submitted again at the same address, over
// and over, against a peer that answers at once: every CANCEL either ends the
// live command (which then never writes its NCB again and leaves no
// session) or finds it already completed with its session, never an older
// command.
TEST_F(NbtProviderLoopback, CancelNeverMistakesAnOlderCommandAtTheSameAddress) {
  LoopbackPeer peer(/*answer=*/true);
  const auto provider = MakeProvider(peer.port());
  const std::size_t threads = ProcessThreads();
  std::mt19937 random(12345);
  auto ncb = std::make_unique<NCB>();  // one address for every command
  Event event;
  int cancelled = 0;
  int completed = 0;
  bool lastCancelled = false;
  for (int round = 0; round < 800; ++round) {
    FillCall(*ncb, "127.0.0.1");
    ncb->ncb_event = &event;
    ASSERT_EQ(Netbios(ncb.get()), NRC_GOODRET);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
    const std::uint8_t cancel = NBCancel(0, *ncb);
    if (cancel == NRC_GOODRET) {
      ASSERT_EQ(ncb->ncb_retcode, NRC_CMDCAN) << "round " << round;
      ++cancelled;
      // Poisoned: a late completion would show here.
      ncb->ncb_retcode = 0x77;
      ncb->ncb_lsn = 0x77;
      lastCancelled = true;
    } else {
      lastCancelled = false;
      ASSERT_EQ(cancel, NRC_CANOCCR) << "round " << round;
      ASSERT_TRUE(event.IsSet()) << "round " << round;
      ASSERT_EQ(ncb->ncb_retcode, NRC_GOODRET) << "round " << round;
      ++completed;
      ASSERT_EQ(NBHangup(0, ncb->ncb_lsn), NRC_GOODRET) << "round " << round;
    }
    // The provider no longer holds the NCB: there is nothing to cancel.
    ASSERT_EQ(NBCancel(0, *ncb), NRC_CANOCCR) << "round " << round;
  }
  EXPECT_GT(cancelled, 0);
  EXPECT_GT(completed, 0);
  std::this_thread::sleep_for(50ms);
  if (lastCancelled) {
    EXPECT_EQ(ncb->ncb_retcode, 0x77);
    EXPECT_EQ(ncb->ncb_lsn, 0x77);
  }
  EXPECT_TRUE(
      Eventually("the provider's threads to end", [&] { return ProcessThreads() == threads; }));
  // No session was left behind: every number is free again.
  for (int lsn = 1; lsn <= 254; ++lsn) {
    EXPECT_EQ(NBHangup(0, static_cast<std::uint8_t>(lsn)), NRC_SNUMOUT) << lsn;
  }
  EXPECT_TRUE(
      Eventually("the peer to see every connection closed", [&] { return peer.open() == 0; }));
}

// Names that nobody answers for, each CALL cut short by its time-out, with
// NCBs of the wrappers allocated and freed in between: when NBExecCmd
// returns, the provider holds no command, however the allocator reuses the
// memory.
TEST_F(NbtProviderLoopback, TimedOutCallsLeaveNothingBehind) {
  const auto provider = MakeProvider(9);
  const std::size_t threads = ProcessThreads();
  const std::size_t descriptors = OpenDescriptors();
  for (int round = 0; round < 10; ++round) {
    const std::string name = "NOBODY" + std::string(static_cast<std::size_t>(round % 7), 'X');
    // As the wrappers do: a fresh NCB for every command, freed after it.
    auto ncb = std::make_unique<NCB>();
    FillCall(*ncb, name.c_str());
    ncb->ncb_command = NCBCALL;
    // A CALL fails fast (nobody answers the name) and is resubmitted until
    // the time-out; then it is cancelled. On a loaded machine the time-out
    // may come while a lookup is still under way.
    const std::uint8_t code = NBExecCmd(*ncb, 40);
    EXPECT_TRUE(code == NRC_NOCALL || code == NRC_CMDTMO) << int{code};
    // The provider no longer holds the NCB: there is nothing to cancel.
    ASSERT_EQ(NBCancel(0, *ncb), NRC_CANOCCR) << "round " << round;
    ncb.reset();
    std::vector<std::unique_ptr<std::uint8_t[]>> churn;
    for (std::size_t size = 16; size < 512; size += 48) churn.emplace_back(new std::uint8_t[size]);
  }
  EXPECT_TRUE(
      Eventually("the provider's threads to end", [&] { return ProcessThreads() == threads; }));
  EXPECT_TRUE(Eventually("the provider's descriptors to close",
                         [&] { return OpenDescriptors() == descriptors; }));
}

// A peer that takes the connection and never answers: each CALL is
// cancelled at its time-out, and no thread, descriptor or connection of it
// stays behind.
TEST_F(NbtProviderLoopback, CancelledCallsToAMutePeerDoNotPileUp) {
  LoopbackPeer peer(/*answer=*/false);
  const auto provider = MakeProvider(peer.port());
  const std::size_t threads = ProcessThreads();
  const std::size_t descriptors = OpenDescriptors();
  for (int round = 0; round < 20; ++round) {
    NCB ncb;
    FillCall(ncb, "127.0.0.1");
    ncb.ncb_command = NCBCALL;
    EXPECT_EQ(NBExecCmd(ncb, 20), NRC_CMDTMO) << "round " << round;
    ASSERT_EQ(NBCancel(0, ncb), NRC_CANOCCR) << "round " << round;
  }
  EXPECT_TRUE(
      Eventually("the provider's threads to end", [&] { return ProcessThreads() == threads; }));
  EXPECT_TRUE(Eventually("the provider's descriptors to close",
                         [&] { return OpenDescriptors() == descriptors; }));
  EXPECT_GE(peer.accepted(), 1);
  EXPECT_TRUE(
      Eventually("the peer to see every connection closed", [&] { return peer.open() == 0; }));
}

// Nobody cancels: the CALL still ends at its own deadline.
TEST_F(NbtProviderLoopback, CallToAMutePeerEndsAtItsDeadline) {
  LoopbackPeer peer(/*answer=*/false);
  const auto provider = MakeProvider(peer.port(), 200ms);
  const std::size_t threads = ProcessThreads();
  NCB ncb;
  Event event;
  FillCall(ncb, "127.0.0.1");
  ncb.ncb_event = &event;
  ASSERT_EQ(Netbios(&ncb), NRC_GOODRET);
  ASSERT_TRUE(WaitForSingle(event, 5000ms));
  EXPECT_EQ(ncb.ncb_retcode, NRC_CMDTMO);
  EXPECT_TRUE(
      Eventually("the provider's threads to end", [&] { return ProcessThreads() == threads; }));
  EXPECT_TRUE(
      Eventually("the peer to see every connection closed", [&] { return peer.open() == 0; }));
}

// An NCB may carry one command at a time.
TEST_F(NbtProviderLoopback, PendingNcbCannotBeSubmittedAgain) {
  LoopbackPeer peer(/*answer=*/false);
  const auto provider = MakeProvider(peer.port());
  NCB ncb;
  Event event;
  FillCall(ncb, "127.0.0.1");
  ncb.ncb_event = &event;
  ASSERT_EQ(Netbios(&ncb), NRC_GOODRET);
  EXPECT_EQ(Netbios(&ncb), NRC_TOOMANY);
  EXPECT_EQ(NBCancel(0, ncb), NRC_GOODRET);
  EXPECT_EQ(ncb.ncb_retcode, NRC_CMDCAN);
}

// A session service on 127.0.0.1 that plays `script` on each connection
// after it accepted the SESSION REQUEST (or instead of an answer, when the
// script wants to answer it itself: `answer` false).
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd)>;
  explicit ScriptedPeer(Script script, bool answer = true)
      : script_(std::move(script)), answer_(answer) {
    listener_ = lomp::testing::LoopbackListener(8, port_);
    thread_ = std::thread([this] {
      for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // the listener was shut down
        std::uint8_t request[72];
        if (recv(fd, request, sizeof request, MSG_WAITALL) == sizeof request) {
          ++calls_;
          if (answer_) Send(fd, {wire::kPositiveResponse, 0, 0, 0});
          script_(fd);
        }
        close(fd);
      }
    });
  }
  ~ScriptedPeer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  int calls() const { return calls_; }

  static void Send(int fd, const wire::Bytes& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Reads one frame; false when the connection ended first.
  static bool ReadFrame(int fd) {
    std::uint8_t header[4];
    if (recv(fd, header, 4, MSG_WAITALL) != 4) return false;
    std::vector<std::uint8_t> payload(
        static_cast<std::size_t>((header[1] & 1) << 16 | header[2] << 8 | header[3]));
    return payload.empty() || recv(fd, payload.data(), payload.size(), MSG_WAITALL) ==
                                  static_cast<ssize_t>(payload.size());
  }
  static void Reset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }

 private:
  Script script_;
  bool answer_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> calls_{0};
  std::thread thread_;
};

class NbtSessionLoopback : public NbtProviderLoopback {
 protected:
  // Calls with a time-out of `halfSeconds` × 500 ms.
  std::uint8_t CallPeer(std::uint8_t& lsn, std::uint8_t halfSeconds = 4) {
    return NBCallAsy3(0, "ME", 0x04, "127.0.0.1", halfSeconds, 2, lsn);
  }
  static std::uint8_t ReceiveText(std::uint8_t lsn, std::string& text,
                                  std::uint32_t capacity = 64) {
    std::vector<std::uint8_t> buffer(capacity);
    std::uint32_t length = capacity;
    const std::uint8_t code = NBRecv(0, 4, lsn, buffer.data(), length);
    text.assign(reinterpret_cast<const char*>(buffer.data()), std::min(length, capacity));
    return code;
  }
  static std::uint8_t SendText(std::uint8_t lsn, const std::string& text) {
    return NBSend(0, 4, lsn, reinterpret_cast<const std::uint8_t*>(text.data()),
                  static_cast<std::uint16_t>(text.size()));
  }
};

// The codes a RECEIVE ends with, for what the peer does after a message.
TEST_F(NbtSessionLoopback, ReceiveTellsCloseFromResetAndSkipsKeepAlives) {
  struct Case {
    const char* what;
    std::function<void(int)> then;
    std::uint8_t code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"keep-alive, then a reply",
       [](int fd) {
         ScriptedPeer::Send(
             fd, {wire::kKeepAlive, 0, 0, 0, wire::kSessionMessage, 0, 0, 4, 'p', 'o', 'n', 'g'});
         ScriptedPeer::ReadFrame(fd);
       },
       NRC_GOODRET, "pong"},
      {"a longer reply",
       [](int fd) {
         ScriptedPeer::Send(fd, {wire::kSessionMessage, 0, 0, 6, 'a', 'b', 'c', 'd', 'e', 'f'});
         ScriptedPeer::ReadFrame(fd);
       },
       NRC_INCOMP, "abcd"},
      {"close", [](int) {}, NRC_SCLOSED, ""},
      {"reset", [](int fd) { ScriptedPeer::Reset(fd); }, NRC_SABORT, ""},
      {"a frame of no session",
       [](int fd) {
         ScriptedPeer::Send(fd, {0x99, 0, 0, 0});
         ScriptedPeer::ReadFrame(fd);
       },
       NRC_SABORT, ""},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer([&](int fd) {
      if (ScriptedPeer::ReadFrame(fd)) c.then(fd);
    });
    const auto provider = MakeProvider(peer.port());
    std::uint8_t lsn = 0;
    ASSERT_EQ(CallPeer(lsn), NRC_GOODRET) << c.what;
    ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET) << c.what;
    std::string text;
    EXPECT_EQ(ReceiveText(lsn, text, 4), c.code) << c.what;
    EXPECT_EQ(text, c.text) << c.what;
    if (c.code == NRC_INCOMP) {
      EXPECT_EQ(ReceiveText(lsn, text, 4), NRC_GOODRET);
      EXPECT_EQ(text, "ef");
    }
    NBHangup(0, lsn);
  }
}

TEST_F(NbtSessionLoopback, PendingReceiveIsCancelledAtOnce) {
  std::atomic<bool> done{false};
  ScriptedPeer peer([&](int) {
    while (!done) std::this_thread::sleep_for(5ms);
  });
  const auto provider = MakeProvider(peer.port());
  std::uint8_t lsn = 0;
  ASSERT_EQ(CallPeer(lsn), NRC_GOODRET);
  std::uint8_t buffer[16];
  NCB receive;
  Event event;
  receive.ncb_command = NCBRECV | ASYNCH;
  receive.ncb_lsn = lsn;
  receive.ncb_buffer = buffer;
  receive.ncb_length = sizeof buffer;
  receive.ncb_event = &event;
  ASSERT_EQ(Netbios(&receive), NRC_GOODRET);
  EXPECT_EQ(receive.ncb_retcode, NRC_PENDING);
  EXPECT_EQ(NBCancel(0, receive), NRC_GOODRET);
  EXPECT_EQ(receive.ncb_retcode, NRC_CMDCAN);
  EXPECT_TRUE(event.IsSet());
  // Nothing was read mid-message: the session goes on.
  EXPECT_EQ(SendText(lsn, "still here"), NRC_GOODRET);
  NBHangup(0, lsn);
  done = true;
}

// CALL, SEND and RECEIVE under the wrappers run on the caller's thread: while
// the peer holds back its reply, the process has no thread beyond the
// caller's and the peer's. A RECEIVE so run still ends at the time the
// wrapper gave it, well before the session's own receive time-out.
TEST_F(NbtSessionLoopback, WrappersRunOnTheCallersThreadWithinTheirTime) {
  std::atomic<int> requests{0};
  std::atomic<bool> reply{false};
  std::atomic<bool> done{false};
  ScriptedPeer peer([&](int fd) {
    while (ScriptedPeer::ReadFrame(fd)) {
      ++requests;
      while (!reply && !done) std::this_thread::sleep_for(2ms);
      if (done) return;
      ScriptedPeer::Send(fd, {wire::kSessionMessage, 0, 0, 4, 'p', 'o', 'n', 'g'});
      reply = false;
    }
  });
  const auto provider = MakeProvider(peer.port());
  const std::size_t threads = ProcessThreads();

  std::uint8_t lsn = 0;
  std::string text;
  std::uint8_t received = NRC_PENDING;
  std::thread caller([&] {
    // Session time-outs of 10 s, so that only the wrapper's limit can end
    // the second RECEIVE.
    ASSERT_EQ(NBCallAsy3(0, "ME", 0x04, "127.0.0.1", 8, 20, lsn), NRC_GOODRET);
    ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
    received = ReceiveText(lsn, text);
  });
  ASSERT_TRUE(Eventually("the peer to hold a request", [&] { return requests == 1; }));
  EXPECT_EQ(ProcessThreads(), threads + 1) << "the caller's thread and no other";
  reply = true;
  caller.join();
  EXPECT_EQ(received, NRC_GOODRET);
  EXPECT_EQ(text, "pong");

  ASSERT_EQ(SendText(lsn, "ping"), NRC_GOODRET);
  ASSERT_TRUE(Eventually("the peer to hold a request", [&] { return requests == 2; }));
  std::vector<std::uint8_t> buffer(16);
  std::uint32_t length = 16;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NBRecv(0, 1, lsn, buffer.data(), length), NRC_CMDTMO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  done = true;
  NBHangup(0, lsn);
}

// A RETARGET is followed once, to where it points; a second one is not.
TEST_F(NbtSessionLoopback, RetargetIsFollowedOnce) {
  const auto retargetTo = [](std::uint16_t port) {
    return [port](int fd) {
      ScriptedPeer::Send(
          fd, {wire::kRetargetResponse, 0, 0, 6, 127, 0, 0, 1, static_cast<std::uint8_t>(port >> 8),
               static_cast<std::uint8_t>(port)});
    };
  };
  ScriptedPeer target([](int fd) { ScriptedPeer::ReadFrame(fd); });
  ScriptedPeer retarget(retargetTo(target.port()), /*answer=*/false);
  {
    const auto provider = MakeProvider(retarget.port());
    std::uint8_t lsn = 0;
    ASSERT_EQ(CallPeer(lsn), NRC_GOODRET);
    EXPECT_EQ(SendText(lsn, "hello"), NRC_GOODRET);
    NBHangup(0, lsn);
    EXPECT_EQ(target.calls(), 1);
  }
  ScriptedPeer again(retargetTo(retarget.port()), /*answer=*/false);
  const auto provider = MakeProvider(again.port());
  // A retarget to a retarget is a call that found nobody.
  EXPECT_EQ(CallOnce("127.0.0.1"), NRC_NOCALL);
  EXPECT_EQ(target.calls(), 1);
  EXPECT_EQ(TraceWith("too many RETARGETs; NCB code 0x14").size(), 1u);
}

TEST(SessionTarget, RefusesAddressesNoNameMayHave) {
  const LanaAddress lan{"eth0", Address("10.1.2.10"), Address("10.1.2.255")};
  const LanaAddress loopback{"lo", Address("127.0.0.1"), Address("127.255.255.255")};
  struct Case {
    const char* address;
    bool fromLan;
    bool fromLoopback;
  };
  for (const Case& c : {Case{"10.1.2.20", true, true}, Case{"192.168.7.1", true, true},
                        Case{"127.0.0.1", false, true}, Case{"127.8.9.10", false, true},
                        Case{"0.0.0.0", false, false}, Case{"0.1.2.3", false, false},
                        Case{"10.1.2.255", false, true}, Case{"255.255.255.255", false, false},
                        Case{"224.0.0.1", false, false}, Case{"239.255.255.250", false, false},
                        Case{"240.0.0.1", false, false}, Case{"223.255.255.254", true, true}}) {
    EXPECT_EQ(IsSessionTarget(Address(c.address), lan), c.fromLan) << c.address;
    EXPECT_EQ(IsSessionTarget(Address(c.address), loopback), c.fromLoopback) << c.address;
  }
}

}  // namespace
}  // namespace lomp::platform::nbt
