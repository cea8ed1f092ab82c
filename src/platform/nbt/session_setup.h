// Making a session: the SESSION REQUEST and its answer on the calling side,
// with RETARGET followed; reading a caller's request on the listening side.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/nbt/lana.h"
#include "platform/nbt/socket_io.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

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
  std::uint8_t refusal = 0;  // Refused: the error code of the negative response
  Io io;                     // NoAnswer: how the exchange ended
};

// Writes `request` on a connected socket and reads the answer, skipping
// keep-alives (as many as arrive before the deadline).
CallAnswer ExchangeSessionRequest(int fd, const wire::Bytes& request, int cancelFd,
                                  const Deadline& deadline);

// How a call to a session service ended.
struct Dialled {
  enum class Outcome {
    Session,  // `fd` carries the session
    NoCall,   // nobody took it: refused, no listener, or too many RETARGETs
    Cancelled,
    TimedOut,
    NotSession  // the other end does not speak the session service
  };
  Outcome outcome = Outcome::NoCall;
  int fd = -1;
  // Unless a session: where and why the call ended, for the trace
  // ("10.1.2.3:139: connect: Connection refused (errno 111)").
  std::string why;
};

// The meaning of a negative session response's error code:
// "called name not present" for 0x82.
std::string SessionRefusalText(std::uint8_t code);

// Calls the session service at `remote`:`port` from `lana` with `request`,
// following at most `retargetLimit` RETARGETs to targets IsSessionTarget
// allows (a refused one goes to `trace`).
Dialled DialSession(const LanaAddress& lana, in_addr remote, std::uint16_t port,
                    const wire::Bytes& request, int retargetLimit, int cancelFd,
                    const Deadline& deadline, const std::function<void(const std::string&)>& trace);

// The called and calling names of the SESSION REQUEST a caller sends on
// `fd`; nullopt with `io` Ok when it sent something else.
std::optional<std::pair<wire::Name16, wire::Name16>> ReadSessionRequest(int fd, int cancelFd,
                                                                        const Deadline& deadline,
                                                                        Io& io);

}  // namespace lomp::platform::nbt
