// Socket waits that a command's cancellation or deadline ends, and exact
// reads and writes on a stream socket.
//
// Every function here works on a socket the caller owns; none closes it.
// `cancelFd` is an eventfd (or any descriptor) that becomes readable when
// the command is cancelled; pass -1 for none. Every wait ends at `deadline`
// when one is given.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lomp::platform::nbt {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// How a socket operation ended. A failure names the system call that failed
// and its errno, so that whoever turns it into an NCB code can say why.
struct Io {
  enum Kind { Ok, Timeout, Cancelled, Closed, Failed };

  // A plain end converts from its kind: `return Io::Timeout;`.
  Io(Kind end = Ok) : kind(end) {}  // NOLINT(google-explicit-constructor)
  static Io Failure(const char* failedCall, int errorNumber) {
    Io io(Failed);
    io.call = failedCall;
    io.error = errorNumber;
    return io;
  }
  bool operator==(Kind other) const { return kind == other; }

  Kind kind;
  const char* call = nullptr;  // with Failed: "connect", "recv", ...
  int error = 0;               // with Failed: its errno
};

// The end in words for a trace: "connect: Connection refused (errno 111)",
// "timed out", "closed by the peer", ...
std::string Describe(const Io& io);

// Waits until `fd` is ready for `events` (poll bits), the command is
// cancelled, or the deadline passes. A deadline already past still looks
// once: what has arrived counts.
Io WaitReady(int fd, short events, int cancelFd, const Deadline& deadline);

// Moves exactly `count` bytes; `moved` tells how many went before a failure.
Io ReadExactly(int fd, std::uint8_t* data, std::size_t count, int cancelFd,
               const Deadline& deadline, std::size_t& moved);
Io WriteAll(int fd, const std::uint8_t* data, std::size_t count, int cancelFd,
            const Deadline& deadline, std::size_t& moved);

sockaddr_in SocketAddress(in_addr address, std::uint16_t port);

// Turns off the coalescing of small writes on a TCP socket: a session is a
// request and its answer, each one small write, and the next waits for it.
void SendAtOnce(int fd);

// A connected, non-blocking TCP socket from `local` to `remote`:`port`, or
// -1 with `io` telling why (for a failure, the call and its errno).
int ConnectTcp(in_addr local, in_addr remote, std::uint16_t port, int cancelFd,
               const Deadline& deadline, Io& io);

// Makes the next close reset the connection: the peer learns the session
// broke instead of seeing it end in order.
void AbortConnection(int fd);

}  // namespace lomp::platform::nbt
