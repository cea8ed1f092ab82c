// Loopback sockets for tests of the session layer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>

namespace lomp::testing {

// A TCP listener on an ephemeral port of 127.0.0.1; `port` tells which.
inline int LoopbackListener(int backlog, std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    std::abort();
  }
  port = ntohs(at.sin_port);
  return fd;
}

}  // namespace lomp::testing
