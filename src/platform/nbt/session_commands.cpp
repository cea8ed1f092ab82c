// The session commands of the provider: CALL (with retarget), LISTEN, SEND
// and RECEIVE, each run on its command's own thread or on its caller's, and
// the session table of a LANA they share.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/nbt/nbt_provider.h"
#include "platform/nbt/nbt_provider_state.h"
#include "platform/nbt/session_setup.h"
#include "platform/nbt/session_stream.h"
#include "platform/nbt/socket_io.h"

namespace lomp::platform::nbt {

using wire::Bytes;
using wire::Name16;

std::uint8_t NbtProvider::AddSession(Job& job, int fd, SessionSlot slot) {
  const std::lock_guard lock(mutex_);
  if (job.ncb == nullptr) {
    // Cancelled (a job gives its NCB back only by cancel before it
    // finishes): nobody waits for this session any more.
    AbortConnection(fd);
    close(fd);
    return NRC_CMDCAN;
  }
  Lana* lana = FindLanaLocked(job.lana);
  if (lana == nullptr) {
    close(fd);
    return NRC_BRIDGE;
  }
  const std::uint8_t code = AddSessionLocked(*lana, job, fd);
  if (code != NRC_GOODRET) {
    close(fd);
  } else {
    lana->sessions[job.outLsn]->slot = std::move(slot);
  }
  return code;
}

std::uint8_t NbtProvider::AddSessionLocked(Lana& lana, Job& job, int fd) {
  if (static_cast<int>(lana.sessions.size()) >= lana.maxSessions) return NRC_LOCTFUL;
  for (std::uint8_t lsn = 1; lsn <= kLastLsn; ++lsn) {
    if (lana.sessions.count(lsn)) continue;
    lana.sessions[lsn] = std::make_shared<Session>(fd, job.rto, job.sto);
    job.outLsn = lsn;
    return NRC_GOODRET;
  }
  return NRC_LOCTFUL;
}

std::shared_ptr<NbtProvider::Session> NbtProvider::FindSession(Job& job) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(job.lana);
  if (lana == nullptr) {
    job.code = NRC_BRIDGE;
    return nullptr;
  }
  const auto found = lana->sessions.find(job.lsn);
  if (found == lana->sessions.end()) {
    job.code = NRC_SNUMOUT;
    return nullptr;
  }
  return found->second;
}

std::optional<LanaAddress> NbtProvider::RegisteredLana(Job& job) {
  const std::lock_guard lock(mutex_);
  const Lana* lana = FindLanaLocked(job.lana);
  if (lana == nullptr) {
    job.code = NRC_BRIDGE;
    return std::nullopt;
  }
  // Calls go out from, and listens wait on, names this process registered.
  if (!lana->names.count(job.name)) {
    job.code = NRC_NAMERR;
    return std::nullopt;
  }
  return lana->address;
}

void NbtProvider::Call(Job& job) {
  const std::optional<LanaAddress> registered = RegisteredLana(job);
  if (!registered) return;
  const LanaAddress& lana = *registered;
  // No wait of a CALL outlasts this, cancelled or not.
  const Deadline deadline = Earliest(Clock::now() + settings_.callTimeout, job.limit);

  const std::optional<in_addr> resolved =
      resolver_.Resolve(job.callname, lana, job.cancelFd, deadline);
  if (!resolved) {
    job.code = NRC_NOCALL;
    return;
  }
  const in_addr remote = *resolved;
  // A node given by its address is called by the name it registered: a
  // Windows node takes a session only for a name of its own.
  wire::Name16 called = job.callname;
  in_addr literal{};
  if (inet_pton(AF_INET, wire::NameText(job.callname).c_str(), &literal) == 1) {
    called = resolver_.CalledName(remote, job.callname, lana, job.cancelFd, deadline);
  }
  const wire::Bytes request = wire::BuildSessionRequest(called, job.name);

  // Looking for the name cost no slot; the session does, from the dial on.
  SessionSlot slot = SessionSlots::Process().Take(deadline, job.cancelFd);
  if (!slot) {
    job.code = Clock::now() >= *deadline ? NRC_CMDTMO : NRC_CMDCAN;
    TraceFailure("Call", wire::NameWithSuffix(called) + ": no session slot came free", job.code);
    return;
  }
  const Dialled dialled =
      DialSession(lana, remote, settings_.sessionPort, request, settings_.retargetLimit,
                  job.cancelFd, deadline, settings_.trace);
  using Outcome = Dialled::Outcome;
  switch (dialled.outcome) {
    case Outcome::Session: job.code = AddSession(job, dialled.fd, std::move(slot)); return;
    case Outcome::NoCall:
      job.code = NRC_NOCALL;
      resolver_.CallFailed(job.callname, remote);
      break;
    case Outcome::Cancelled: job.code = NRC_CMDCAN; break;
    case Outcome::TimedOut: job.code = NRC_CMDTMO; break;
    case Outcome::NotSession: job.code = NRC_SYSTEM; break;
  }
  TraceFailure("Call", wire::NameWithSuffix(called) + " at " + dialled.why, job.code);
}

int NbtProvider::ListeningSocket(const LanaAddress& address, std::string& problem) const {
  const std::string where =
      "TCP port " + std::to_string(settings_.sessionPort) + " on " + AddressText(address.address);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    problem = where + ": " + Describe(Io::Failure("socket", errno));
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in at = SocketAddress(address.address, settings_.sessionPort);
  const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
  if (!bound || listen(fd, 64) != 0) {
    const int error = errno;
    problem = where + (error == EADDRINUSE
                           ? " is in use by another program (another NetBIOS server?)"
                           : ": " + Describe(Io::Failure(bound ? "listen" : "bind", error)));
    close(fd);
    return -1;
  }
  return fd;
}

std::string NbtProvider::StartAcceptingLocked(Lana& lana) {
  if (lana.acceptor) return {};
  std::string problem;
  const int fd = ListeningSocket(lana.address, problem);
  if (fd < 0) return problem;
  const std::string interfaceName = lana.address.interfaceName;
  try {
    lana.acceptor = std::make_unique<SessionAcceptor>(
        fd, settings_.accept,
        [this, interfaceName](const Name16& called, const Name16& calling, int caller) {
          return PlaceCaller(interfaceName, called, calling, caller);
        },
        settings_.trace);
  } catch (const std::system_error& error) {
    return std::string("no thread to take calls with: ") + error.what();
  }
  return {};
}

std::string NbtProvider::PrepareToListen() {
  {
    const std::lock_guard lock(mutex_);
    if (nameServer_ != nullptr) return {};
  }
  // Made outside the lock: its thread takes the lock to look names up.
  auto nameServer = std::make_unique<NameServer>(
      settings_.nameService,
      [this](const std::string& interfaceName) -> std::optional<HeldNames> {
        const std::lock_guard lock(mutex_);
        for (const auto& lana : lanas_) {
          if (lana->address.interfaceName != interfaceName) continue;
          HeldNames held{lana->address.address, {}};
          for (const auto& [name, entry] : lana->names) held.names.push_back(name);
          return held;
        }
        return std::nullopt;
      },
      settings_.trace);
  if (!nameServer->Problem().empty()) return nameServer->Problem();
  const std::lock_guard lock(mutex_);
  nameServer_ = std::move(nameServer);
  for (const auto& lana : lanas_) {
    if (std::string problem = StartAcceptingLocked(*lana); !problem.empty()) return problem;
  }
  return {};
}

SessionAcceptor::Placement NbtProvider::PlaceCaller(const std::string& interfaceName,
                                                    const Name16& called, const Name16& calling,
                                                    int fd) {
  const std::lock_guard lock(mutex_);
  const auto lanaAt = std::find_if(lanas_.begin(), lanas_.end(), [&](const auto& lana) {
    return lana->address.interfaceName == interfaceName;
  });
  if (lanaAt == lanas_.end() || !(*lanaAt)->names.count(called)) {
    return SessionAcceptor::Placement::NotOurs;
  }
  Lana& lana = **lanaAt;
  const auto lanaNumber = static_cast<std::uint8_t>(lanaAt - lanas_.begin());
  // The LISTEN that waited longest for this name, or for any caller of it.
  const auto listening = std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& job) {
    return job->command == NCBLISTEN && job->listening && job->ncb != nullptr &&
           job->lana == lanaNumber && job->name == called;
  });
  if (listening == jobs_.end()) return SessionAcceptor::Placement::Waiting;
  Job& job = **listening;
  if (static_cast<int>(lana.sessions.size()) >= lana.maxSessions) {
    const auto refusal = wire::NegativeSessionResponse(0x83);  // insufficient resources
    [[maybe_unused]] const auto sent =
        ::send(fd, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
    return SessionAcceptor::Placement::Taken;
  }
  const auto accept = wire::PositiveSessionResponse();
  if (::send(fd, accept.data(), accept.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
      static_cast<ssize_t>(accept.size())) {
    close(fd);  // the caller left; the LISTEN waits for the next one
    return SessionAcceptor::Placement::Taken;
  }
  if (AddSessionLocked(lana, job, fd) != NRC_GOODRET) {
    close(fd);
    return SessionAcceptor::Placement::Taken;
  }
  // The LISTEN is complete here; its thread only has to wake and end.
  NCB& ncb = *job.ncb;
  ncb.ncb_lsn = job.outLsn;
  std::memcpy(ncb.ncb_callname, calling.data(), calling.size());
  job.code = NRC_GOODRET;
  CompleteNcb(ncb, NRC_GOODRET, job.asynchronous);
  job.ncb = nullptr;
  const std::uint64_t one = 1;
  if (job.cancelFd >= 0) [[maybe_unused]]
    const auto woken = write(job.cancelFd, &one, sizeof one);
  RetireLocked(job);
  return SessionAcceptor::Placement::Taken;
}

void NbtProvider::Listen(const std::shared_ptr<Job>& listen) {
  Job& job = *listen;
  if (!RegisteredLana(job)) return;
  if (job.cancelFd < 0) {
    // Nothing could wake it: a LISTEN without its descriptor would wait forever.
    job.code = NRC_OSRESNOTAV;
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    Lana* lana = FindLanaLocked(job.lana);
    if (job.ncb == nullptr || lana == nullptr) return;
    if (std::string problem = StartAcceptingLocked(*lana); !problem.empty()) {
      job.code = NRC_SYSTEM;
      TraceFailure("Listen", problem, job.code);
      return;
    }
    job.listening = true;
    // A LISTEN that runs on its caller's thread is listed too, so that a
    // caller can be handed to it.
    if (std::find_if(jobs_.begin(), jobs_.end(),
                     [&](const auto& live) { return live.get() == &job; }) == jobs_.end()) {
      jobs_.push_back(listen);
    }
    lana->acceptor->Wake();
  }
  // Until a caller is handed over, or the command is cancelled: either
  // completes the NCB and wakes this thread.
  pollfd woken{job.cancelFd, POLLIN, 0};
  while (poll(&woken, 1, -1) < 0 && errno == EINTR) {
  }
}

bool NbtProvider::SendAtOnce(Job& job) {
  // A short message on a socket with room for it is written at once; the
  // kernel takes it whole (a writable TCP socket has far more room than
  // this), so no thread needs to wait for it.
  constexpr std::size_t kAtOnceLimit = 2048;
  const auto session = FindSession(job);
  if (!session) return true;
  if (job.frame.size() > kAtOnceLimit || session->broken) return false;
  const std::unique_lock lock(session->sendMutex, std::try_to_lock);
  if (!lock.owns_lock()) return false;  // another SEND is under way: queue behind it
  pollfd ready{session->fd, POLLOUT, 0};
  if (poll(&ready, 1, 0) != 1 || !(ready.revents & POLLOUT) ||
      (ready.revents & (POLLERR | POLLHUP))) {
    return false;
  }
  const ssize_t sent =
      ::send(session->fd, job.frame.data(), job.frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent == static_cast<ssize_t>(job.frame.size())) {
    job.code = NRC_GOODRET;
  } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
    return false;  // the thread waits for room after all
  } else {
    // Refused, or cut short: the stream is out of step and the session over.
    const Io io = sent < 0 ? Io::Failure("send", errno) : Io(Io::Failed);
    session->broken = true;
    if (sent > 0) AbortConnection(session->fd);
    job.code = session->hungUp ? NRC_SCLOSED : NRC_SABORT;
    TraceFailure("Send", session->Label(job.lsn) + Describe(io), job.code);
  }
  return true;
}

void NbtProvider::Send(Job& job) {
  const auto session = FindSession(job);
  if (!session) return;
  if (session->broken) {
    job.code = NRC_SABORT;
    return;
  }
  const std::lock_guard lock(session->sendMutex);
  std::size_t sent = 0;
  const Io io = WriteAll(session->fd, job.frame.data(), job.frame.size(), job.cancelFd,
                         Earliest(DeadlineOf(session->sto), job.limit), sent);
  switch (io.kind) {
    case Io::Ok: job.code = NRC_GOODRET; return;
    case Io::Timeout:
    case Io::Cancelled:
      // A message cut in the middle cannot be recovered: the session is over.
      if (sent > 0) {
        session->broken = true;
        AbortConnection(session->fd);
      }
      job.code = io == Io::Timeout ? NRC_CMDTMO : NRC_CMDCAN;
      return;
    default:
      session->broken = true;
      job.code = session->hungUp ? NRC_SCLOSED : NRC_SABORT;
      TraceFailure("Send", session->Label(job.lsn) + Describe(io), job.code);
      return;
  }
}

void NbtProvider::Receive(Job& job) {
  const auto session = FindSession(job);
  if (!session) return;
  const std::lock_guard lock(session->receiveMutex);
  if (session->broken) {
    job.code = NRC_SABORT;
    return;
  }
  const ReceiveOutcome outcome =
      ReceiveSessionMessage(session->fd, session->remaining, job.capacity, job.received,
                            job.cancelFd, Earliest(DeadlineOf(session->rto), job.limit));
  using Kind = ReceiveOutcome::Kind;
  if (outcome.resetStream) {
    session->broken = true;
    AbortConnection(session->fd);
  }
  switch (outcome.kind) {
    case Kind::Message: job.code = NRC_GOODRET; break;
    case Kind::Partial: job.code = NRC_INCOMP; break;
    case Kind::Closed: job.code = NRC_SCLOSED; break;
    case Kind::TimedOut: job.code = NRC_CMDTMO; break;
    case Kind::Cancelled: job.code = NRC_CMDCAN; break;
    case Kind::Broken:
      session->broken = true;
      job.code = session->hungUp && !outcome.resetStream ? NRC_SCLOSED : NRC_SABORT;
      TraceFailure("Receive",
                   session->Label(job.lsn) + (outcome.io == Io::Failed && outcome.io.call == nullptr
                                                  ? std::string("not a session message")
                                                  : Describe(outcome.io)),
                   job.code);
      break;
  }
}

}  // namespace lomp::platform::nbt
