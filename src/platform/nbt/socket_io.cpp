#include "platform/nbt/socket_io.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sync.h"

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
      return Io::Failure(receiving ? "recv" : "send", errno);
    }
    moved += static_cast<std::size_t>(n);
  }
  return Io::Ok;
}

}  // namespace

Io WaitReady(int fd, short events, int cancelFd, const Deadline& deadline) {
  for (;;) {
    int timeoutMs = -1;
    bool passed = false;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      // A deadline that has passed (while the process was stopped, say)
      // still lets what has already arrived count: one look, no wait.
      passed = left <= 0;
      timeoutMs = passed ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
    }
    pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    const int ready = PollNotingLongWait(fds, cancelFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Io::Failure("poll", errno);
    }
    if (cancelFd >= 0 && fds[1].revents) return Io::Cancelled;
    if (fds[0].revents) return Io::Ok;
    if (passed) return Io::Timeout;
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

std::string Describe(const Io& io) {
  switch (io.kind) {
    case Io::Ok: return "done";
    case Io::Timeout: return "timed out";
    case Io::Cancelled: return "cancelled";
    case Io::Closed: return "closed by the peer";
    case Io::Failed: break;
  }
  if (io.call == nullptr) return "failed";
  return std::string(io.call) + ": " + std::strerror(io.error) + " (errno " +
         std::to_string(io.error) + ")";
}

sockaddr_in SocketAddress(in_addr address, std::uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr = address;
  socketAddress.sin_port = htons(port);
  return socketAddress;
}

void SendAtOnce(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ConnectTcp(in_addr local, in_addr remote, std::uint16_t port, int cancelFd,
               const Deadline& deadline, Io& io) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    io = Io::Failure("socket", errno);
    return -1;
  }
  const auto fail = [&](const char* call, int error) {
    io = Io::Failure(call, error);
    close(fd);
    return -1;
  };
  SendAtOnce(fd);
  const sockaddr_in from = SocketAddress(local, 0);
  const sockaddr_in to = SocketAddress(remote, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
    return fail("bind", errno);
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
    return fail("connect", errno);
  }
  io = WaitReady(fd, POLLOUT, cancelFd, deadline);
  if (io != Io::Ok) {
    close(fd);
    return -1;
  }
  // The connection's own outcome: refused, unreachable, ...
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return fail("getsockopt", errno);
  if (error != 0) return fail("connect", error);
  return fd;
}

void AbortConnection(int fd) {
  // A reset instead of an orderly close: the peer learns the session broke.
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  shutdown(fd, SHUT_RDWR);
}

}  // namespace lomp::platform::nbt
