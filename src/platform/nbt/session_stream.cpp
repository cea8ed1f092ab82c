#include "platform/nbt/session_stream.h"

#include <algorithm>

namespace lomp::platform::nbt {

std::optional<wire::FrameHeader> ReadHeader(int fd, int cancelFd, const Deadline& deadline, Io& io,
                                            std::size_t& got) {
  std::uint8_t header[wire::kFrameHeaderSize];
  io = ReadExactly(fd, header, sizeof header, cancelFd, deadline, got);
  if (io != Io::Ok) return std::nullopt;
  return wire::ParseFrameHeader(std::span<const std::uint8_t, 4>(header, 4));
}

ReceiveOutcome ReceiveSessionMessage(int fd, std::uint32_t& remaining, std::size_t capacity,
                                     wire::Bytes& data, int cancelFd, const Deadline& deadline) {
  using Kind = ReceiveOutcome::Kind;
  data.clear();
  auto failed = [](Io io, bool midMessage) {
    ReceiveOutcome outcome;
    outcome.io = io;
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
    if (frame && frame->type == wire::kKeepAlive && frame->length == 0) continue;
    if (!frame || frame->type != wire::kSessionMessage) {
      // Not a session message: the peer is not speaking the protocol.
      return {Kind::Broken, true, Io::Failed};
    }
    if (frame->length == 0) return {Kind::Message, false, Io::Ok};
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
  return {remaining > 0 ? Kind::Partial : Kind::Message, false, Io::Ok};
}

}  // namespace lomp::platform::nbt
