// The session stream as RECEIVE reads it, over socket pairs and loopback
// TCP: what a peer may put on the wire between and inside messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/nbt/session_stream.h"
#include "support/loopback.h"

namespace lomp::platform::nbt {
namespace {

using namespace lomp::wire;

using namespace std::chrono_literals;
using Kind = ReceiveOutcome::Kind;

// A connected pair: `ours` is read by RECEIVE, `theirs` is the peer.
class Stream {
 public:
  Stream() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    ours_ = fds[0];
    theirs_ = fds[1];
  }
  // Loopback TCP instead, for what only TCP does (a reset).
  explicit Stream(bool /*tcp*/) {
    std::uint16_t port = 0;
    const int listener = lomp::testing::LoopbackListener(1, port);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
    ours_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(ours_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) std::abort();
    theirs_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
  }
  ~Stream() {
    close(ours_);
    if (theirs_ >= 0) close(theirs_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void Send(const Bytes& bytes) const {
    ASSERT_EQ(::send(theirs_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // A SESSION MESSAGE frame carrying `text`.
  void SendMessage(const std::string& text) const {
    const auto header = SessionMessageHeader(static_cast<std::uint32_t>(text.size()));
    Bytes frame(header.begin(), header.end());
    frame.insert(frame.end(), text.begin(), text.end());
    Send(frame);
  }
  void Close() {
    close(theirs_);
    theirs_ = -1;
  }
  void Reset() {
    linger hard{1, 0};
    setsockopt(theirs_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }

  // One RECEIVE of at most `capacity` bytes, waiting at most `wait`.
  ReceiveOutcome Receive(std::string& text, std::size_t capacity = 1024,
                         std::chrono::milliseconds wait = 2000ms, int cancelFd = -1) {
    Bytes data;
    const ReceiveOutcome outcome =
        ReceiveSessionMessage(ours_, remaining_, capacity, data, cancelFd, Clock::now() + wait);
    text.assign(data.begin(), data.end());
    return outcome;
  }
  std::uint32_t remaining() const { return remaining_; }

 private:
  int ours_ = -1;
  int theirs_ = -1;
  std::uint32_t remaining_ = 0;
};

const Bytes kKeepAliveFrame = {kKeepAlive, 0, 0, 0};

TEST(SessionReceive, KeepAlivesBeforeAndBetweenMessagesAreSkipped) {
  Stream stream;
  stream.Send(kKeepAliveFrame);
  stream.Send(kKeepAliveFrame);
  stream.SendMessage("first");
  stream.Send(kKeepAliveFrame);
  stream.SendMessage("second");
  std::string text;
  EXPECT_EQ(stream.Receive(text).kind, Kind::Message);
  EXPECT_EQ(text, "first");
  EXPECT_EQ(stream.Receive(text).kind, Kind::Message);
  EXPECT_EQ(text, "second");
  // A keep-alive alone is no message: the next RECEIVE waits on.
  stream.Send(kKeepAliveFrame);
  EXPECT_EQ(stream.Receive(text, 1024, 100ms).kind, Kind::TimedOut);
  EXPECT_EQ(text, "");
}

TEST(SessionReceive, AnEmptyMessageIsAMessage) {
  Stream stream;
  stream.SendMessage("");
  std::string text = "x";
  EXPECT_EQ(stream.Receive(text).kind, Kind::Message);
  EXPECT_EQ(text, "");
}

// Frames no session carries break it: they are never taken for a message.
TEST(SessionReceive, OtherFrameTypesBreakTheSession) {
  for (const Bytes& frame : {Bytes{0x99, 0, 0, 2, 'h', 'i'}, Bytes{kPositiveResponse, 0, 0, 0},
                             Bytes{kSessionRequest, 0, 0, 2, 'h', 'i'},
                             Bytes{kKeepAlive, 0, 0, 2, 'h', 'i'},        // a keep-alive with data
                             Bytes{kSessionMessage, 0x02, 0, 1, 'x'}}) {  // reserved flag bit
    Stream stream;
    stream.Send(frame);
    std::string text;
    const ReceiveOutcome outcome = stream.Receive(text);
    EXPECT_EQ(outcome.kind, Kind::Broken) << int(frame[0]);
    EXPECT_TRUE(outcome.resetStream);
    EXPECT_EQ(text, "");
  }
}

TEST(SessionReceive, LongerMessageComesInParts) {
  Stream stream;
  stream.SendMessage("abcdefghij");
  stream.SendMessage("next");
  std::string text;
  EXPECT_EQ(stream.Receive(text, 4).kind, Kind::Partial);
  EXPECT_EQ(text, "abcd");
  EXPECT_EQ(stream.remaining(), 6u);
  EXPECT_EQ(stream.Receive(text, 4).kind, Kind::Partial);
  EXPECT_EQ(text, "efgh");
  EXPECT_EQ(stream.Receive(text, 4).kind, Kind::Message);
  EXPECT_EQ(text, "ij");
  EXPECT_EQ(stream.Receive(text, 4).kind, Kind::Message);
  EXPECT_EQ(text, "next");
}

TEST(SessionReceive, LargestFrameLengthIsRead) {
  Stream stream;
  std::thread writer([&] { stream.SendMessage(std::string(kMaxFrameLength, 'z')); });
  std::string text;
  EXPECT_EQ(stream.Receive(text, kMaxFrameLength).kind, Kind::Message);
  writer.join();
  EXPECT_EQ(text.size(), kMaxFrameLength);
}

// A wait that ends between messages leaves the session usable; one that
// ends inside a frame does not.
TEST(SessionReceive, TimeOutsBetweenAndInsideMessages) {
  Stream stream;
  std::string text;
  ReceiveOutcome outcome = stream.Receive(text, 1024, 50ms);
  EXPECT_EQ(outcome.kind, Kind::TimedOut);
  EXPECT_FALSE(outcome.resetStream);

  stream.Send({kSessionMessage, 0, 0, 10, 'a', 'b', 'c'});  // 3 of 10 bytes
  outcome = stream.Receive(text, 1024, 50ms);
  EXPECT_EQ(outcome.kind, Kind::TimedOut);
  EXPECT_TRUE(outcome.resetStream);
  EXPECT_EQ(text, "");

  Stream header;
  header.Send({kSessionMessage, 0});  // half a header
  outcome = header.Receive(text, 1024, 50ms);
  EXPECT_EQ(outcome.kind, Kind::TimedOut);
  EXPECT_TRUE(outcome.resetStream);
}

// A process stopped (Ctrl-Z) past a RECEIVE's deadline and continued finds
// its deadline gone: what arrived meanwhile is still read, not timed out.
TEST(SessionReceive, WhatArrivedCountsAfterTheDeadlinePassed) {
  Stream stream;
  stream.SendMessage("late but here");
  std::string text;
  const ReceiveOutcome outcome = stream.Receive(text, 1024, -1000ms);
  EXPECT_EQ(outcome.kind, Kind::Message);
  EXPECT_EQ(text, "late but here");
  EXPECT_EQ(stream.Receive(text, 1024, -1000ms).kind, Kind::TimedOut);
}

TEST(SessionReceive, CloseBetweenMessagesAndInsideOne) {
  Stream between;
  between.SendMessage("last");
  between.Close();
  std::string text;
  EXPECT_EQ(between.Receive(text).kind, Kind::Message);
  EXPECT_EQ(between.Receive(text).kind, Kind::Closed);

  Stream inside;
  inside.Send({kSessionMessage, 0, 0, 10, 'a'});
  inside.Close();
  EXPECT_EQ(inside.Receive(text).kind, Kind::Broken);
}

TEST(SessionReceive, ResetBreaksTheSession) {
  Stream stream(true);
  stream.Reset();
  std::string text;
  EXPECT_EQ(stream.Receive(text).kind, Kind::Broken);
}

TEST(SessionReceive, CancelEndsTheWait) {
  Stream stream;
  const int cancel = eventfd(0, EFD_CLOEXEC);
  std::thread canceller([cancel] {
    std::this_thread::sleep_for(20ms);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(cancel, &one, sizeof one);
  });
  std::string text;
  const ReceiveOutcome outcome = stream.Receive(text, 1024, 10000ms, cancel);
  canceller.join();
  close(cancel);
  EXPECT_EQ(outcome.kind, Kind::Cancelled);
  EXPECT_FALSE(outcome.resetStream);
}

}  // namespace
}  // namespace lomp::platform::nbt
