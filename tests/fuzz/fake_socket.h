// A fake peer for the stream code: a connected socket pair whose far end has
// written a byte script and then closed, so every read on the near end is
// answered from the script and then by end of stream.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace lomp::fuzzing {

class ScriptedSocket {
 public:
  // At most what the pair buffers without a reader (the rest is dropped).
  static constexpr std::size_t kMaxScript = 64 * 1024;

  ScriptedSocket(const std::uint8_t* script, std::size_t size) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) __builtin_trap();
    const int bufferSize = 1 << 20;
    setsockopt(fds_[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(fds_[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    while (written < size && written < kMaxScript) {
      const ssize_t n = write(fds_[1], script + written, size - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    shutdown(fds_[1], SHUT_WR);
  }
  ~ScriptedSocket() {
    close(fds_[0]);
    close(fds_[1]);
  }
  ScriptedSocket(const ScriptedSocket&) = delete;
  ScriptedSocket& operator=(const ScriptedSocket&) = delete;

  int fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace lomp::fuzzing
