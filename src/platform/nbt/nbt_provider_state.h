// What the provider's command engine and its session commands share: the
// state of a LANA, a session and a running command, and the time unit of the
// NCB's time-out fields. Private to nbt_provider.cpp and session_commands.cpp.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/nbt/lana.h"
#include "platform/nbt/name_claim.h"
#include "platform/nbt/nbt_provider.h"
#include "platform/nbt/session_acceptor.h"
#include "platform/nbt/socket_io.h"
#include "platform/session_slots.h"

namespace lomp::platform::nbt {

inline constexpr std::uint8_t kFirstNameNumber = 2;  // 1 is the permanent node name
inline constexpr std::uint8_t kLastNameNumber = 254;
inline constexpr std::uint8_t kLastLsn = 254;
inline constexpr int kDefaultLimit = 16;  // sessions or names when RESET asks for 0

// The deadline `units` NCB time units from now; none for 0.
inline Deadline DeadlineOf(std::uint8_t units) {
  if (units == 0) return std::nullopt;
  return Clock::now() + units * kNcbTimeUnit;
}

// The earlier of two deadlines; none when neither is given.
inline Deadline Earliest(const Deadline& one, const Deadline& other) {
  if (!one) return other;
  if (!other) return one;
  return std::min(*one, *other);
}

struct NbtProvider::Session {
  explicit Session(int socket, std::uint8_t receiveUnits, std::uint8_t sendUnits)
      : fd(socket), rto(receiveUnits), sto(sendUnits) {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&at), &length) == 0) {
      peer = AddressText(at.sin_addr) + ":" + std::to_string(ntohs(at.sin_port));
    }
  }
  ~Session() { close(fd); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // "session 3 with 10.1.2.3:139: ", which starts its failures' traces.
  std::string Label(std::uint8_t lsn) const {
    return "session " + std::to_string(lsn) + " with " + peer + ": ";
  }

  const int fd;
  const std::uint8_t rto;
  const std::uint8_t sto;
  std::string peer = "?";       // the other end's address and port
  std::mutex receiveMutex;      // one RECEIVE reads the stream at a time
  std::mutex sendMutex;         // one SEND writes at a time
  std::uint32_t remaining = 0;  // bytes of the current message not yet received
  std::atomic<bool> broken{false};
  std::atomic<bool> hungUp{false};
  // A session we called holds its run's slot until it is closed.
  platform::SessionSlot slot;
};

struct NbtProvider::Lana {
  ~Lana() {
    for (auto& [lsn, session] : sessions) shutdown(session->fd, SHUT_RDWR);
  }

  LanaAddress address;
  int maxSessions = 250;
  int maxNames = 250;
  struct Registered {
    std::uint8_t number = 0;
    NameClaim claim;                    // held while the name is ours
    bool announced = false;             // registered on the subnet: released there too
    std::optional<in_addr> winsServer;  // registered with it: released there too
  };
  std::map<wire::Name16, Registered> names;
  std::map<std::uint8_t, std::shared_ptr<Session>> sessions;
  // Takes the callers of this LANA's names; made by the first LISTEN, and
  // ended by the provider outside its lock (its thread takes the lock).
  std::unique_ptr<SessionAcceptor> acceptor;
};

struct NbtProvider::Job {
  ~Job() {
    if (cancelFd >= 0) close(cancelFd);
  }

  // The caller's NCB while the command owns it; null from the moment it
  // finishes or is cancelled. Read and written only under the provider's lock.
  NCB* ncb = nullptr;
  bool asynchronous = false;
  std::uint8_t command = 0;
  std::uint8_t lana = 0;
  std::uint8_t lsn = 0;
  wire::Name16 callname{};
  wire::Name16 name{};
  std::uint8_t rto = 0;
  std::uint8_t sto = 0;
  std::uint16_t capacity = 0;
  wire::Bytes frame;  // SEND: header and message
  // The caller's time limit for a command on its own thread; none for an
  // asynchronous one, which its caller cancels.
  Deadline limit;

  std::uint8_t code = NRC_SYSTEM;
  std::uint8_t outLsn = 0;
  bool listening = false;  // a LISTEN that callers may be handed to
  wire::Bytes received;

  int cancelFd = -1;
  std::atomic<bool> threadDone{false};
  std::thread thread;
};

}  // namespace lomp::platform::nbt
