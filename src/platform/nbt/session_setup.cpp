#include "platform/nbt/session_setup.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/nbt/session_stream.h"

namespace lomp::platform::nbt {

CallAnswer ExchangeSessionRequest(int fd, const wire::Bytes& request, int cancelFd,
                                  const Deadline& deadline) {
  CallAnswer answer;
  auto ended = [&](Io io) {
    answer.io = io;
    switch (io.kind) {
      case Io::Cancelled: answer.kind = CallAnswer::Kind::Cancelled; break;
      case Io::Timeout: answer.kind = CallAnswer::Kind::TimedOut; break;
      default: answer.kind = CallAnswer::Kind::NoAnswer; break;
    }
    return answer;
  };

  std::size_t done = 0;
  Io io = WriteAll(fd, request.data(), request.size(), cancelFd, deadline, done);
  if (io != Io::Ok) return ended(io);

  std::optional<wire::FrameHeader> frame;
  for (;;) {
    frame = ReadHeader(fd, cancelFd, deadline, io, done);
    if (io != Io::Ok) return ended(io);
    // Keep-alives may come first; the deadline bounds how many.
    if (!frame || frame->type != wire::kKeepAlive || frame->length != 0) break;
  }
  answer.kind = CallAnswer::Kind::Garbage;
  if (!frame) return answer;
  if (frame->type == wire::kPositiveResponse && frame->length == 0) {
    answer.kind = CallAnswer::Kind::Accepted;
  } else if (frame->type == wire::kNegativeResponse && frame->length == 1) {
    io = ReadExactly(fd, &answer.refusal, 1, cancelFd, deadline, done);
    if (io != Io::Ok) return ended(io);
    answer.kind = CallAnswer::Kind::Refused;
  } else if (frame->type == wire::kRetargetResponse && frame->length == 6) {
    std::uint8_t target[6];
    io = ReadExactly(fd, target, sizeof target, cancelFd, deadline, done);
    if (io != Io::Ok) return ended(io);
    answer.kind = CallAnswer::Kind::Retarget;
    std::memcpy(&answer.address.s_addr, target, 4);
    answer.port = static_cast<std::uint16_t>(target[4] << 8 | target[5]);
  }
  return answer;
}

Dialled DialSession(const LanaAddress& lana, in_addr remote, std::uint16_t port,
                    const wire::Bytes& request, int retargetLimit, int cancelFd,
                    const Deadline& deadline,
                    const std::function<void(const std::string&)>& trace) {
  using Outcome = Dialled::Outcome;
  for (int retargets = 0;;) {
    const std::string where = AddressText(remote) + ":" + std::to_string(port) + ": ";
    const auto ended = [&](Outcome outcome, const std::string& why) {
      return Dialled{outcome, -1, where + why};
    };
    Io io = Io::Ok;
    const int fd = ConnectTcp(lana.address, remote, port, cancelFd, deadline, io);
    if (fd < 0) {
      // Refused, unreachable, or no listener: the name did not answer.
      switch (io.kind) {
        case Io::Cancelled: return ended(Outcome::Cancelled, Describe(io));
        case Io::Timeout: return ended(Outcome::TimedOut, "no connection: " + Describe(io));
        default: return ended(Outcome::NoCall, Describe(io));
      }
    }
    const CallAnswer answer = ExchangeSessionRequest(fd, request, cancelFd, deadline);
    using Kind = CallAnswer::Kind;
    switch (answer.kind) {
      case Kind::Accepted: return {Outcome::Session, fd, ""};
      case Kind::Retarget:
        close(fd);
        if (++retargets > retargetLimit) return ended(Outcome::NoCall, "too many RETARGETs");
        if (!IsSessionTarget(answer.address, lana)) {
          if (trace) trace("RETARGET refused: " + AddressText(answer.address));
          return ended(Outcome::NoCall, "RETARGET to " + AddressText(answer.address) + " refused");
        }
        remote = answer.address;
        port = answer.port;
        continue;
      case Kind::Cancelled:
      case Kind::TimedOut:
        AbortConnection(fd);
        close(fd);
        return ended(answer.kind == Kind::Cancelled ? Outcome::Cancelled : Outcome::TimedOut,
                     "no answer to the session request: " + Describe(answer.io));
      case Kind::Refused:
        close(fd);
        return ended(Outcome::NoCall,
                     "negative session response " + SessionRefusalText(answer.refusal));
      case Kind::NoAnswer:  // closed or reset before any answer
        close(fd);
        return ended(Outcome::NoCall, "no answer to the session request: " + Describe(answer.io));
      case Kind::Garbage:  // not a session service speaking to us
        close(fd);
        return ended(Outcome::NotSession, "not a session service");
    }
  }
}

std::string SessionRefusalText(std::uint8_t code) {
  const char* meaning = "unspecified error";
  switch (code) {
    case 0x80: meaning = "not listening on called name"; break;
    case 0x81: meaning = "not listening for calling name"; break;
    case 0x82: meaning = "called name not present"; break;
    case 0x83: meaning = "called name present, but insufficient resources"; break;
    default: break;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", unsigned{code});
  return std::string(hex) + " (" + meaning + ")";
}

std::optional<std::pair<wire::Name16, wire::Name16>> ReadSessionRequest(int fd, int cancelFd,
                                                                        const Deadline& deadline,
                                                                        Io& io) {
  std::size_t done = 0;
  const auto frame = ReadHeader(fd, cancelFd, deadline, io, done);
  // Two encoded names with scopes fit in 2 x 255 bytes.
  if (io != Io::Ok || !frame || frame->type != wire::kSessionRequest || frame->length > 2 * 255) {
    return std::nullopt;
  }
  wire::Bytes payload(frame->length);
  io = ReadExactly(fd, payload.data(), payload.size(), cancelFd, deadline, done);
  if (io != Io::Ok) return std::nullopt;
  return wire::ParseSessionRequest(payload);
}

}  // namespace lomp::platform::nbt
