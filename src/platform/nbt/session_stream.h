// The session service's byte stream: session messages read a buffer at a
// time, with keep-alives skipped.
//
// What comes from the peer is untrusted: lengths are checked before
// anything is read into a buffer. The socket stays the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/nbt/socket_io.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

// Reads one frame header; nullopt with `io` Ok when it is malformed.
std::optional<wire::FrameHeader> ReadHeader(int fd, int cancelFd, const Deadline& deadline, Io& io,
                                            std::size_t& got);

// One RECEIVE on a session stream. `remaining` is the session's count of
// bytes of the current message not yet handed out (0 between messages); it
// survives between calls. Keep-alives are skipped; at most `capacity` bytes of
// a message go into `data`, the rest waits for the next call.
struct ReceiveOutcome {
  enum class Kind {
    Message,  // `data` holds the whole message, or its last part
    Partial,  // `data` holds part of a message; more remains
    Closed,   // the peer closed between messages
    Broken,   // the stream is out of step or reset: the session is over
    Cancelled,
    TimedOut,
  };
  Kind kind = Kind::Broken;
  // The stream can no longer be trusted to be in step (a wait ended inside a
  // frame, or the peer sent what no session carries): reset the connection.
  bool resetStream = false;
  Io io;  // Broken, Closed, TimedOut, Cancelled: how the read ended
};
ReceiveOutcome ReceiveSessionMessage(int fd, std::uint32_t& remaining, std::size_t capacity,
                                     wire::Bytes& data, int cancelFd, const Deadline& deadline);

}  // namespace lomp::platform::nbt
