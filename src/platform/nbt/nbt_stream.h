// The session service's byte stream over one socket: waits that a command's
// cancellation or deadline ends, exact reads and writes, the answer to a
// SESSION REQUEST, and session messages read a buffer at a time.
//
// Every function here works on a socket the caller owns and keeps open for
// the call; none closes it. `cancelFd` is an eventfd (or any descriptor)
// that becomes readable when the command is cancelled; pass -1 for none.
// Every wait ends at `deadline` when one is given. What comes from the peer
// is untrusted: lengths are checked before anything is read into a buffer.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

enum class Io { Ok, Timeout, Cancelled, Closed, Failed };

// Waits until `fd` is ready for `events` (poll bits), the command is
// cancelled, or the deadline passes.
Io WaitReady(int fd, short events, int cancelFd, const Deadline& deadline);

// Moves exactly `count` bytes; `moved` tells how many went before a failure.
Io ReadExactly(int fd, std::uint8_t* data, std::size_t count, int cancelFd,
               const Deadline& deadline, std::size_t& moved);
Io WriteAll(int fd, const std::uint8_t* data, std::size_t count, int cancelFd,
            const Deadline& deadline, std::size_t& moved);

// What the called side answered to a SESSION REQUEST.
struct CallAnswer {
  enum class Kind {
    Accepted,  // positive response: the socket now carries the session
    Refused,   // negative response
    Retarget,  // go to `address`:`port` instead
    NoAnswer,  // closed or reset before any answer
    Garbage,   // not a session service speaking to us
    Cancelled,
    TimedOut,
  };
  Kind kind = Kind::NoAnswer;
  in_addr address{};
  std::uint16_t port = 0;
};

// Writes `request` on a connected socket and reads the answer, skipping
// keep-alives (as many as arrive before the deadline).
CallAnswer ExchangeSessionRequest(int fd, const Bytes& request, int cancelFd,
                                  const Deadline& deadline);

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
};
ReceiveOutcome ReceiveSessionMessage(int fd, std::uint32_t& remaining, std::size_t capacity,
                                     Bytes& data, int cancelFd, const Deadline& deadline);

}  // namespace lomp::platform::nbt
