// Unix stream sockets on this host: the one place where the receiver
// service, its desktop agents and Samba's message command meet. A socket's
// peer is known by its user id (the kernel's credentials, not a claim).
#pragma once

#include <optional>
#include <string>

namespace lomp::platform {

// A listening socket at `path`, open to every local user (mode 0666), close
// on exec and non-blocking. A socket file left at `path` by an earlier run
// is replaced; any other file there is not. The descriptor, or -1 with the
// reason in `why`.
int ListenLocal(const std::string& path, std::string& why);

// A connected socket to `path` (blocking, close on exec), or -1 with the
// reason in `why`.
int ConnectLocal(const std::string& path, std::string& why);

// The user id of the process at the other end of a connected socket.
std::optional<unsigned> LocalPeerUid(int socket);

}  // namespace lomp::platform
