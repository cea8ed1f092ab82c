#include "platform/local_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lomp::platform {
namespace {

bool AddressOf(const std::string& path, sockaddr_un& address, std::string& why) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    why = "the socket path " + path + " is empty or too long";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int Failed(int socket, const std::string& what, std::string& why) {
  why = what + ": " + std::strerror(errno);
  if (socket >= 0) close(socket);
  return -1;
}

}  // namespace

int ListenLocal(const std::string& path, std::string& why) {
  sockaddr_un address;
  if (!AddressOf(path, address, why)) return -1;
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      why = path + " exists and is no socket";
      return -1;
    }
    unlink(path.c_str());
  }
  const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket < 0) return Failed(socket, "cannot make a local socket", why);
  if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Failed(socket, "cannot bind " + path, why);
  }
  // Who may read what is decided per peer by its user id, not by the file.
  if (chmod(path.c_str(), 0666) != 0) return Failed(socket, "cannot open " + path + " to all", why);
  if (listen(socket, 16) != 0) return Failed(socket, "cannot listen on " + path, why);
  return socket;
}

int ConnectLocal(const std::string& path, std::string& why) {
  sockaddr_un address;
  if (!AddressOf(path, address, why)) return -1;
  const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return Failed(socket, "cannot make a local socket", why);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Failed(socket, "cannot connect to " + path, why);
  }
  return socket;
}

std::optional<unsigned> LocalPeerUid(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return credentials.uid;
}

}  // namespace lomp::platform
