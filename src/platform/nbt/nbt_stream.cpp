#include "platform/nbt/nbt_stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lomp::platform::nbt {
namespace {

enum class Direction { Receive, Send };

Io Transfer(Direction direction, int fd, std::uint8_t* data, std::size_t count, int cancelFd,
            const Deadline& deadline, std::size_t& moved) {
  const bool receiving = direction == Direction::Receive;
  moved = 0;
  while (moved < count) {
    const Io ready = WaitReady(fd, receiving ? POLLIN : POLLOUT, cancelFd, deadline);
    if (ready != Io::Ok) return ready;
    const ssize_t n = receiving
                          ? recv(fd, data + moved, count - moved, MSG_DONTWAIT)
                          : ::send(fd, data + moved, count - moved, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == 0 && receiving) return Io::Closed;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Io::Failed;
    }
    moved += static_cast<std::size_t>(n);
  }
  return Io::Ok;
}

std::optional<FrameHeader> ReadHeader(int fd, int cancelFd, const Deadline& deadline, Io& io,
                                      std::size_t& got) {
  std::uint8_t header[kFrameHeaderSize];
  io = ReadExactly(fd, header, sizeof header, cancelFd, deadline, got);
  if (io != Io::Ok) return std::nullopt;
  return ParseFrameHeader(std::span<const std::uint8_t, 4>(header, 4));
}

}  // namespace

Io WaitReady(int fd, short events, int cancelFd, const Deadline& deadline) {
  for (;;) {
    int timeoutMs = -1;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return Io::Timeout;
      timeoutMs = static_cast<int>(std::min<long long>(left, 60'000));
    }
    pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    const int ready = poll(fds, cancelFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Io::Failed;
    }
    if (cancelFd >= 0 && fds[1].revents) return Io::Cancelled;
    if (fds[0].revents) return Io::Ok;
  }
}

Io ReadExactly(int fd, std::uint8_t* data, std::size_t count, int cancelFd,
               const Deadline& deadline, std::size_t& moved) {
  return Transfer(Direction::Receive, fd, data, count, cancelFd, deadline, moved);
}

Io WriteAll(int fd, const std::uint8_t* data, std::size_t count, int cancelFd,
            const Deadline& deadline, std::size_t& moved) {
  // Transfer only reads from `data` when it sends.
  return Transfer(Direction::Send, fd, const_cast<std::uint8_t*>(data), count, cancelFd, deadline,
                  moved);
}

CallAnswer ExchangeSessionRequest(int fd, const Bytes& request, int cancelFd,
                                  const Deadline& deadline) {
  CallAnswer answer;
  auto ended = [&](Io io) {
    switch (io) {
      case Io::Cancelled:
        answer.kind = CallAnswer::Kind::Cancelled;
        break;
      case Io::Timeout:
        answer.kind = CallAnswer::Kind::TimedOut;
        break;
      default:
        answer.kind = CallAnswer::Kind::NoAnswer;
        break;
    }
    return answer;
  };

  std::size_t done = 0;
  Io io = WriteAll(fd, request.data(), request.size(), cancelFd, deadline, done);
  if (io != Io::Ok) return ended(io);

  std::optional<FrameHeader> frame;
  for (;;) {
    frame = ReadHeader(fd, cancelFd, deadline, io, done);
    if (io != Io::Ok) return ended(io);
    // Keep-alives may come first; the deadline bounds how many.
    if (!frame || frame->type != kKeepAlive || frame->length != 0) break;
  }
  answer.kind = CallAnswer::Kind::Garbage;
  if (!frame) return answer;
  if (frame->type == kPositiveResponse && frame->length == 0) {
    answer.kind = CallAnswer::Kind::Accepted;
  } else if (frame->type == kNegativeResponse && frame->length == 1) {
    answer.kind = CallAnswer::Kind::Refused;
  } else if (frame->type == kRetargetResponse && frame->length == 6) {
    std::uint8_t target[6];
    io = ReadExactly(fd, target, sizeof target, cancelFd, deadline, done);
    if (io != Io::Ok) return ended(io);
    answer.kind = CallAnswer::Kind::Retarget;
    std::memcpy(&answer.address.s_addr, target, 4);
    answer.port = static_cast<std::uint16_t>(target[4] << 8 | target[5]);
  }
  return answer;
}

ReceiveOutcome ReceiveSessionMessage(int fd, std::uint32_t& remaining, std::size_t capacity,
                                     Bytes& data, int cancelFd, const Deadline& deadline) {
  using Kind = ReceiveOutcome::Kind;
  data.clear();
  auto failed = [](Io io, bool midMessage) {
    ReceiveOutcome outcome;
    if (io == Io::Timeout || io == Io::Cancelled) {
      // Only a wait between messages leaves the stream in step.
      outcome.kind = io == Io::Timeout ? Kind::TimedOut : Kind::Cancelled;
      outcome.resetStream = midMessage;
    } else {
      outcome.kind = io == Io::Closed && !midMessage ? Kind::Closed : Kind::Broken;
    }
    return outcome;
  };

  std::size_t got = 0;
  while (remaining == 0) {
    Io io = Io::Ok;
    const auto frame = ReadHeader(fd, cancelFd, deadline, io, got);
    if (io != Io::Ok) return failed(io, got > 0);
    if (frame && frame->type == kKeepAlive && frame->length == 0) continue;
    if (!frame || frame->type != kSessionMessage) {
      // Not a session message: the peer is not speaking the protocol.
      return {Kind::Broken, true};
    }
    if (frame->length == 0) return {Kind::Message, false};
    remaining = frame->length;
  }

  const std::size_t wanted = std::min<std::size_t>(remaining, capacity);
  data.resize(wanted);
  const Io io = ReadExactly(fd, data.data(), wanted, cancelFd, deadline, got);
  if (io != Io::Ok) {
    data.clear();
    return failed(io, true);
  }
  remaining -= static_cast<std::uint32_t>(wanted);
  // The rest of a longer message comes with the next RECEIVE.
  return {remaining > 0 ? Kind::Partial : Kind::Message, false};
}

}  // namespace lomp::platform::nbt
