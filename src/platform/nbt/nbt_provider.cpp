#include "platform/nbt/nbt_provider.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "platform/nbt/name_claim.h"
#include "platform/nbt/samba_config.h"
#include "platform/nbt/session_setup.h"
#include "platform/nbt/session_stream.h"
#include "platform/nbt/socket_io.h"

namespace lomp::platform {

using nbt::AbortConnection;
using nbt::Bytes;
using nbt::Clock;
using nbt::Deadline;
using nbt::Io;
using nbt::Name16;
using nbt::ReadExactly;
using nbt::SocketAddress;
using nbt::WaitReady;
using nbt::WriteAll;

namespace {

constexpr std::chrono::milliseconds kUnit{500};  // ncb_rto / ncb_sto unit
constexpr std::uint8_t kFirstNameNumber = 2;     // 1 is the permanent node name
constexpr std::uint8_t kLastNameNumber = 254;
constexpr std::uint8_t kLastLsn = 254;
constexpr int kDefaultLimit = 16;  // sessions or names when RESET asks for 0

Deadline DeadlineOf(std::uint8_t units) {
  if (units == 0) return std::nullopt;
  return Clock::now() + units * kUnit;
}

}  // namespace

// --- state ------------------------------------------------------------------

struct NbtProvider::Session {
  explicit Session(int socket, std::uint8_t receiveUnits, std::uint8_t sendUnits)
      : fd(socket), rto(receiveUnits), sto(sendUnits) {}
  ~Session() { close(fd); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const int fd;
  const std::uint8_t rto;
  const std::uint8_t sto;
  std::mutex receiveMutex;      // one RECEIVE reads the stream at a time
  std::mutex sendMutex;         // one SEND writes at a time
  std::uint32_t remaining = 0;  // bytes of the current message not yet received
  std::atomic<bool> broken{false};
  std::atomic<bool> hungUp{false};
};

struct NbtProvider::Lana {
  ~Lana() {
    for (auto& [lsn, session] : sessions) shutdown(session->fd, SHUT_RDWR);
    if (listenFd >= 0) close(listenFd);
  }

  LanaAddress address;
  int maxSessions = 250;
  int maxNames = 250;
  struct Registered {
    std::uint8_t number = 0;
    NameClaim claim;  // held while the name is ours
  };
  std::map<Name16, Registered> names;
  std::map<std::uint8_t, std::shared_ptr<Session>> sessions;
  int listenFd = -1;
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
  Name16 callname{};
  Name16 name{};
  std::uint8_t rto = 0;
  std::uint8_t sto = 0;
  std::uint16_t capacity = 0;
  Bytes frame;  // SEND: header and message

  std::uint8_t code = NRC_SYSTEM;
  std::uint8_t outLsn = 0;
  Bytes received;

  int cancelFd = -1;
  std::atomic<bool> threadDone{false};
  std::thread thread;
};

NbtSettings StandardNbtSettings() {
  const SambaConfig& config = HostSambaConfig();
  NbtSettings settings;
  settings.names = ResolverSettingsFrom(config);
  settings.interfaces = config.interfaces;
  return settings;
}

NbtProvider::NbtProvider(NbtSettings settings)
    : settings_(std::move(settings)), resolver_(settings_.names, settings_.trace) {
  const std::lock_guard lock(mutex_);
  RefreshLanasLocked();
}

NbtProvider::~NbtProvider() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    const std::lock_guard lock(mutex_);
    for (const auto& job : jobs_) CancelLocked(*job);
    jobs.swap(jobs_);
    jobs.insert(jobs.end(), retired_.begin(), retired_.end());
    retired_.clear();
  }
  for (const auto& job : jobs) {
    if (job->thread.joinable()) job->thread.join();
  }
}

void NbtProvider::Trace(const std::string& line) const {
  if (settings_.trace) settings_.trace(line);
}

void NbtProvider::RefreshLanasLocked() {
  std::vector<std::unique_ptr<Lana>> refreshed;
  const std::vector<LanaAddress> addresses =
      settings_.lanas.empty() ? ListLanaAddresses(settings_.interfaces) : settings_.lanas;
  for (const LanaAddress& address : addresses) {
    // An interface seen before keeps its names and sessions.
    const auto known = std::find_if(lanas_.begin(), lanas_.end(), [&](const auto& lana) {
      return lana && lana->address.interfaceName == address.interfaceName;
    });
    std::unique_ptr<Lana> lana =
        known != lanas_.end() ? std::move(*known) : std::make_unique<Lana>();
    lana->address = address;
    refreshed.push_back(std::move(lana));
  }
  lanas_ = std::move(refreshed);
}

NbtProvider::Lana* NbtProvider::FindLanaLocked(std::uint8_t number) {
  return number < lanas_.size() ? lanas_[number].get() : nullptr;
}

void NbtProvider::ReapFinishedLocked() {
  // A thread that is done has at most its last instructions to run: the
  // join is short.
  std::erase_if(retired_, [](const std::shared_ptr<Job>& job) {
    if (!job->threadDone) return false;
    if (job->thread.joinable()) job->thread.join();
    return true;
  });
}

// --- submission -------------------------------------------------------------

std::uint8_t NbtProvider::Submit(NCB& ncb) {
  const std::uint8_t command = ncb.ncb_command & ~ASYNCH;
  const bool asynchronous = (ncb.ncb_command & ASYNCH) != 0;
  if (command != NCBCALL && command != NCBLISTEN && command != NCBSEND && command != NCBRECV) {
    const std::uint8_t code = RunSynchronous(ncb);
    ncb.ncb_retcode = code;
    ncb.ncb_cmd_cplt = code;
    if (asynchronous && ncb.ncb_event) ncb.ncb_event->Set();
    return asynchronous ? NRC_GOODRET : code;
  }

  {
    // One command per NCB at a time: a second submission of an NCB that is
    // still pending would make two commands answer into one record.
    const std::lock_guard lock(mutex_);
    for (const auto& live : jobs_) {
      if (live->ncb == &ncb) return NRC_TOOMANY;
    }
  }

  auto job = std::make_shared<Job>();
  job->ncb = &ncb;
  job->asynchronous = asynchronous;
  job->command = command;
  job->lana = ncb.ncb_lana_num;
  job->lsn = ncb.ncb_lsn;
  job->callname = nbt::ToName16(ncb.ncb_callname);
  job->name = nbt::ToName16(ncb.ncb_name);
  job->rto = ncb.ncb_rto;
  job->sto = ncb.ncb_sto;
  job->capacity = ncb.ncb_length;
  if (command == NCBSEND) {
    if (ncb.ncb_buffer == nullptr && ncb.ncb_length > 0) return NRC_BADDR;
    // The whole SESSION MESSAGE, taken now, so no thread reads the caller's buffer.
    const auto header = nbt::SessionMessageHeader(ncb.ncb_length);
    job->frame.assign(header.begin(), header.end());
    job->frame.insert(job->frame.end(), ncb.ncb_buffer, ncb.ncb_buffer + ncb.ncb_length);
    if (SendAtOnce(*job)) {
      // Done without a thread: completed before Netbios() returns.
      ncb.ncb_retcode = job->code;
      ncb.ncb_cmd_cplt = job->code;
      if (asynchronous && ncb.ncb_event) ncb.ncb_event->Set();
      return asynchronous ? NRC_GOODRET : job->code;
    }
  }
  if (command == NCBRECV && ncb.ncb_buffer == nullptr && ncb.ncb_length > 0) return NRC_BADDR;
  job->cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (job->cancelFd < 0) {
    ncb.ncb_retcode = NRC_OSRESNOTAV;
    if (asynchronous && ncb.ncb_event) ncb.ncb_event->Set();
    return NRC_OSRESNOTAV;
  }

  if (!asynchronous) {
    RunJob(job);
    return ncb.ncb_retcode;
  }

  const std::lock_guard lock(mutex_);
  ReapFinishedLocked();
  ncb.ncb_retcode = NRC_PENDING;
  ncb.ncb_cmd_cplt = NRC_PENDING;
  if (ncb.ncb_event) ncb.ncb_event->Reset();
  jobs_.push_back(job);
  try {
    job->thread = std::thread([this, job] { RunJob(job); });
  } catch (const std::system_error&) {
    jobs_.pop_back();
    ncb.ncb_retcode = NRC_OSRESNOTAV;
    if (ncb.ncb_event) ncb.ncb_event->Set();
  }
  return NRC_GOODRET;
}

void NbtProvider::RunJob(const std::shared_ptr<Job>& job) {
  switch (job->command) {
    case NCBCALL: Call(*job); break;
    case NCBLISTEN: Listen(*job); break;
    case NCBSEND: Send(*job); break;
    case NCBRECV: Receive(*job); break;
    default: job->code = NRC_ILLCMD; break;
  }
  Finish(*job);
  const std::lock_guard lock(mutex_);
  // Nothing signals this command any more: CANCEL only finds live ones.
  if (job->cancelFd >= 0) close(std::exchange(job->cancelFd, -1));
  job->threadDone = true;
}

void NbtProvider::Finish(Job& job) {
  const std::lock_guard lock(mutex_);
  if (job.ncb == nullptr) return;  // completed by CANCEL: the NCB may be gone
  NCB& ncb = *job.ncb;
  if (job.command == NCBCALL || job.command == NCBLISTEN) ncb.ncb_lsn = job.outLsn;
  if (job.command == NCBRECV) {
    const std::size_t count = std::min<std::size_t>(job.received.size(), ncb.ncb_length);
    if (count > 0) std::memcpy(ncb.ncb_buffer, job.received.data(), count);
    ncb.ncb_length = static_cast<std::uint16_t>(count);
  }
  ncb.ncb_retcode = job.code;
  ncb.ncb_cmd_cplt = job.code;
  if (job.asynchronous && ncb.ncb_event) ncb.ncb_event->Set();
  job.ncb = nullptr;
  RetireLocked(job);
}

void NbtProvider::RetireLocked(const Job& job) {
  const auto live = std::find_if(jobs_.begin(), jobs_.end(),
                                 [&](const auto& candidate) { return candidate.get() == &job; });
  if (live == jobs_.end()) return;  // a synchronous command is never listed
  retired_.push_back(*live);
  jobs_.erase(live);
}

std::uint8_t NbtProvider::RunSynchronous(NCB& ncb) {
  switch (ncb.ncb_command & ~ASYNCH) {
    case NCBENUM: return Enumerate(ncb);
    case NCBRESET: return Reset(ncb);
    case NCBADDNAME: return AddName(ncb);
    case NCBDELNAME: return DeleteName(ncb);
    case NCBHANGUP: return Hangup(ncb);
    case NCBCANCEL: return Cancel(ncb);
    default: return NRC_ILLCMD;
  }
}

// --- synchronous commands ---------------------------------------------------

std::uint8_t NbtProvider::Enumerate(NCB& ncb) {
  if (ncb.ncb_buffer == nullptr || ncb.ncb_length < sizeof(LANA_ENUM)) return NRC_BUFLEN;
  const std::lock_guard lock(mutex_);
  RefreshLanasLocked();
  LANA_ENUM result;
  result.length = static_cast<std::uint8_t>(std::min<std::size_t>(lanas_.size(), MAX_LANA + 1));
  for (std::uint8_t i = 0; i < result.length; ++i) result.lana[i] = i;
  std::memcpy(ncb.ncb_buffer, &result, sizeof result);
  return NRC_GOODRET;
}

std::uint8_t NbtProvider::Reset(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  lana->names.clear();  // releases the claims
  for (auto& [lsn, session] : lana->sessions) {
    session->hungUp = true;
    shutdown(session->fd, SHUT_RDWR);
  }
  lana->sessions.clear();
  lana->maxSessions = ncb.ncb_callname[0] ? ncb.ncb_callname[0] : kDefaultLimit;
  lana->maxNames = ncb.ncb_callname[2] ? ncb.ncb_callname[2] : kDefaultLimit;
  return NRC_GOODRET;
}

std::uint8_t NbtProvider::AddName(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  const Name16 name = nbt::ToName16(ncb.ncb_name);
  if (name[0] == '*') return NRC_NOWILD;
  if (lana->names.count(name)) return NRC_DUPNAME;
  if (static_cast<int>(lana->names.size()) >= lana->maxNames) return NRC_NAMTFUL;

  std::uint8_t number = kFirstNameNumber;
  for (const auto& [held, entry] : lana->names) {
    number = static_cast<std::uint8_t>(std::max<int>(number, entry.number + 1));
  }
  if (number > kLastNameNumber) return NRC_NAMTFUL;

  // The name is claimed host-wide under a key made of the interface and the
  // 16 name bytes: a second holder in this network namespace is refused, and
  // the claim ends with the process, however it ends.
  std::string key = settings_.registryPrefix + "-" + lana->address.interfaceName + "-";
  for (const std::uint8_t byte : name) {
    static constexpr char kHex[] = "0123456789abcdef";
    key += kHex[byte >> 4];
    key += kHex[byte & 0x0F];
  }
  NameClaim claim;
  switch (claim.Claim(key, settings_.registryFolder)) {
    case ClaimResult::Claimed: break;
    case ClaimResult::Taken: return NRC_DUPNAME;
    case ClaimResult::Failed: return NRC_SYSTEM;
  }
  lana->names[name] = {number, std::move(claim)};
  ncb.ncb_num = number;
  return NRC_GOODRET;
}

std::uint8_t NbtProvider::DeleteName(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  const auto found = lana->names.find(nbt::ToName16(ncb.ncb_name));
  if (found == lana->names.end()) return NRC_NAMERR;
  lana->names.erase(found);
  return NRC_GOODRET;
}

std::uint8_t NbtProvider::Hangup(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  const auto found = lana->sessions.find(ncb.ncb_lsn);
  if (found == lana->sessions.end()) return NRC_SNUMOUT;
  found->second->hungUp = true;
  // Wakes a RECEIVE that waits on it; the socket closes with its last user.
  shutdown(found->second->fd, SHUT_RDWR);
  lana->sessions.erase(found);
  return NRC_GOODRET;
}

std::uint8_t NbtProvider::Cancel(NCB& ncb) {
  const NCB* target = reinterpret_cast<const NCB*>(ncb.ncb_buffer);
  if (target == nullptr) return NRC_BADDR;
  const std::lock_guard lock(mutex_);
  // Only live commands are listed, and no two share an NCB.
  const auto live =
      std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& job) { return job->ncb == target; });
  if (live == jobs_.end()) return NRC_CANOCCR;
  Job& job = **live;
  CancelLocked(job);
  RetireLocked(job);
  return NRC_GOODRET;
}

void NbtProvider::CancelLocked(Job& job) {
  // A CALL or LISTEN that made its session but had not yet reported it:
  // nobody will learn its number, so it ends here.
  if (job.outLsn != 0) {
    if (Lana* lana = FindLanaLocked(job.lana)) {
      if (const auto found = lana->sessions.find(job.outLsn); found != lana->sessions.end()) {
        found->second->hungUp = true;
        shutdown(found->second->fd, SHUT_RDWR);
        lana->sessions.erase(found);
      }
    }
  }
  job.ncb->ncb_retcode = NRC_CMDCAN;
  job.ncb->ncb_cmd_cplt = NRC_CMDCAN;
  if (job.ncb->ncb_event) job.ncb->ncb_event->Set();
  job.ncb = nullptr;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(job.cancelFd, &one, sizeof one);
}

// --- sessions ---------------------------------------------------------------

std::uint8_t NbtProvider::AddSession(Job& job, int fd) {
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
  if (static_cast<int>(lana->sessions.size()) >= lana->maxSessions) {
    close(fd);
    return NRC_LOCTFUL;
  }
  for (std::uint8_t lsn = 1; lsn <= kLastLsn; ++lsn) {
    if (lana->sessions.count(lsn)) continue;
    lana->sessions[lsn] = std::make_shared<Session>(fd, job.rto, job.sto);
    job.outLsn = lsn;
    return NRC_GOODRET;
  }
  close(fd);
  return NRC_LOCTFUL;
}

std::shared_ptr<NbtProvider::Session> NbtProvider::FindSession(std::uint8_t lanaNumber,
                                                               std::uint8_t lsn,
                                                               std::uint8_t& code) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(lanaNumber);
  if (lana == nullptr) {
    code = NRC_BRIDGE;
    return nullptr;
  }
  const auto found = lana->sessions.find(lsn);
  if (found == lana->sessions.end()) {
    code = NRC_SNUMOUT;
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
  const Deadline deadline = Clock::now() + settings_.callTimeout;

  const std::optional<in_addr> resolved =
      resolver_.Resolve(job.callname, lana, job.cancelFd, deadline);
  if (!resolved) {
    job.code = NRC_NOCALL;
    return;
  }
  const in_addr remote = *resolved;
  // A node given by its address is called by the name it registered: a
  // Windows node takes a session only for a name of its own.
  Name16 called = job.callname;
  in_addr literal{};
  if (inet_pton(AF_INET, nbt::NameText(job.callname).c_str(), &literal) == 1) {
    called = resolver_.CalledName(remote, job.callname, lana, job.cancelFd, deadline);
  }
  const Bytes request = nbt::BuildSessionRequest(called, job.name);

  const nbt::Dialled dialled =
      nbt::DialSession(lana, remote, settings_.sessionPort, request, settings_.retargetLimit,
                       job.cancelFd, deadline, settings_.trace);
  using Outcome = nbt::Dialled::Outcome;
  switch (dialled.outcome) {
    case Outcome::Session: job.code = AddSession(job, dialled.fd); break;
    case Outcome::NoCall: job.code = NRC_NOCALL; break;
    case Outcome::Cancelled: job.code = NRC_CMDCAN; break;
    case Outcome::TimedOut: job.code = NRC_CMDTMO; break;
    case Outcome::NotSession: job.code = NRC_SYSTEM; break;
  }
}

int NbtProvider::ListeningSocket(std::uint8_t lanaNumber, const LanaAddress& address) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(lanaNumber);
  if (lana == nullptr) return -1;
  if (lana->listenFd >= 0) return lana->listenFd;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in at = SocketAddress(address.address, settings_.sessionPort);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  lana->listenFd = fd;
  return fd;
}

void NbtProvider::Listen(Job& job) {
  const std::optional<LanaAddress> registered = RegisteredLana(job);
  if (!registered) return;
  const int listenFd = ListeningSocket(job.lana, *registered);
  if (listenFd < 0) {
    job.code = NRC_SYSTEM;
    return;
  }

  for (;;) {
    const Io ready = WaitReady(listenFd, POLLIN, job.cancelFd, std::nullopt);
    if (ready == Io::Cancelled) {
      job.code = NRC_CMDCAN;
      return;
    }
    if (ready != Io::Ok) {
      job.code = NRC_SYSTEM;
      return;
    }
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;  // another listener took it, or the caller left

    // The caller has a bounded time to say whom it calls.
    const Deadline deadline = Clock::now() + settings_.sessionRequestTimeout;
    Io io = Io::Ok;
    const auto names = nbt::ReadSessionRequest(fd, job.cancelFd, deadline, io);
    if (io == Io::Cancelled) {
      close(fd);
      job.code = NRC_CMDCAN;
      return;
    }
    if (!names) {
      close(fd);
      continue;
    }
    if (names->first != job.name) {
      bool ours = false;
      {
        const std::lock_guard lock(mutex_);
        if (const Lana* lana = FindLanaLocked(job.lana)) ours = lana->names.count(names->first) > 0;
      }
      // 0x80: ours but nobody listens on it; 0x82: not a name of ours.
      const auto refusal = nbt::NegativeSessionResponse(ours ? 0x80 : 0x82);
      [[maybe_unused]] const auto sent = ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
      close(fd);
      continue;
    }
    const auto accept = nbt::PositiveSessionResponse();
    std::size_t done = 0;
    io = WriteAll(fd, accept.data(), accept.size(), job.cancelFd, deadline, done);
    if (io != Io::Ok) {
      close(fd);
      if (io == Io::Cancelled) {
        job.code = NRC_CMDCAN;
        return;
      }
      continue;
    }
    job.code = AddSession(job, fd);
    return;
  }
}

bool NbtProvider::SendAtOnce(Job& job) {
  // A short message on a socket with room for it is written at once; the
  // kernel takes it whole (a writable TCP socket has far more room than
  // this), so no thread needs to wait for it.
  constexpr std::size_t kAtOnceLimit = 2048;
  std::uint8_t code = NRC_GOODRET;
  const auto session = FindSession(job.lana, job.lsn, code);
  if (!session) {
    job.code = code;
    return true;
  }
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
    session->broken = true;
    if (sent > 0) AbortConnection(session->fd);
    job.code = session->hungUp ? NRC_SCLOSED : NRC_SABORT;
  }
  return true;
}

void NbtProvider::Send(Job& job) {
  std::uint8_t code = NRC_GOODRET;
  const auto session = FindSession(job.lana, job.lsn, code);
  if (!session) {
    job.code = code;
    return;
  }
  if (session->broken) {
    job.code = NRC_SABORT;
    return;
  }
  const std::lock_guard lock(session->sendMutex);
  std::size_t sent = 0;
  const Io io = WriteAll(session->fd, job.frame.data(), job.frame.size(), job.cancelFd,
                         DeadlineOf(session->sto), sent);
  switch (io) {
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
      return;
  }
}

void NbtProvider::Receive(Job& job) {
  std::uint8_t code = NRC_GOODRET;
  const auto session = FindSession(job.lana, job.lsn, code);
  if (!session) {
    job.code = code;
    return;
  }
  const std::lock_guard lock(session->receiveMutex);
  if (session->broken) {
    job.code = NRC_SABORT;
    return;
  }
  const nbt::ReceiveOutcome outcome =
      nbt::ReceiveSessionMessage(session->fd, session->remaining, job.capacity, job.received,
                                 job.cancelFd, DeadlineOf(session->rto));
  using Kind = nbt::ReceiveOutcome::Kind;
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
      break;
  }
}

}  // namespace lomp::platform
