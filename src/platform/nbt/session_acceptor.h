// The listening side of the session service on one LANA: accepts callers on
// TCP 139, reads their SESSION REQUESTs side by side, and hands each caller
// to whoever listens for the name it called.
//
// Callers are read at the same time, so one that connects and says nothing
// holds up nobody: it is dropped when its time runs out, or when callers
// wait beyond the limits (the oldest goes first, and one address may keep
// only a few waiting). A caller for a name of ours that nobody listens on
// yet waits for a listener until its time runs out (Wake() says one came),
// then gets the answer "not listening on called name".
//
// Owned by the provider's LANA; one thread of its own, ended by the
// destructor, which must not run while `place` may be waiting for a lock
// that the destroying thread holds.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct AcceptLimits {
  std::size_t maxWaiting = 64;           // callers whose request is not placed yet
  std::size_t maxWaitingPerAddress = 8;  // of them, from one address
  std::chrono::milliseconds requestTimeout{5000};
};

class SessionAcceptor {
 public:
  enum class Placement {
    Taken,    // `place` answered the caller and owns the socket now
    Waiting,  // the name is ours but nobody listens on it yet
    NotOurs,  // the name is not ours: refused with "called name not present"
  };
  // Decides on a caller whose request named `called`, from `calling`, on
  // socket `fd`. Called on the acceptor's thread.
  using Place =
      std::function<Placement(const wire::Name16& called, const wire::Name16& calling, int fd)>;

  // Takes `listenFd` (a listening, non-blocking TCP socket) and closes it
  // when destroyed. Starts the thread; throws std::system_error when none
  // can be had.
  SessionAcceptor(int listenFd, AcceptLimits limits, Place place,
                  std::function<void(const std::string&)> trace);
  ~SessionAcceptor();
  SessionAcceptor(const SessionAcceptor&) = delete;
  SessionAcceptor& operator=(const SessionAcceptor&) = delete;

  // A listener came: callers waiting for one are placed again.
  void Wake();

 private:
  void Run();

  const int listenFd_;
  const AcceptLimits limits_;
  const Place place_;
  const std::function<void(const std::string&)> trace_;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace lomp::platform::nbt
