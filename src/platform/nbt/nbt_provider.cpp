#include "platform/nbt/nbt_provider.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/nbt/name_claim.h"
#include "platform/nbt/nbt_provider_state.h"
#include "platform/samba_config.h"

namespace lomp::platform::nbt {

using wire::Name16;

NbtSettings StandardNbtSettings() {
  const SambaConfig& config = HostSambaConfig();
  NbtSettings settings;
  settings.names = ResolverSettingsFrom(config);
  settings.interfaces = config.interfaces;
  settings.configNotes = config.notes;
  return settings;
}

NbtProvider::NbtProvider(NbtSettings settings)
    : settings_(std::move(settings)), resolver_(settings_.names, settings_.trace) {
  const std::lock_guard lock(mutex_);
  RefreshLanasLocked();
  lanasJustListed_ = true;
}

NbtProvider::~NbtProvider() {
  StopAccepting();
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

void NbtProvider::StopAccepting() {
  std::vector<std::unique_ptr<SessionAcceptor>> acceptors;
  {
    const std::lock_guard lock(mutex_);
    for (auto* lanas : {&lanas_, &vanished_}) {
      for (const auto& lana : *lanas) {
        if (lana->acceptor) acceptors.push_back(std::move(lana->acceptor));
      }
    }
  }
  acceptors.clear();  // joins their threads, which may be waiting for the lock
  std::unique_ptr<NameServer> nameServer;
  {
    const std::lock_guard lock(mutex_);
    nameServer = std::move(nameServer_);
  }
  nameServer.reset();  // the same
}

bool NbtProvider::HoldsName(const Name16& name) {
  const std::lock_guard lock(mutex_);
  return std::any_of(lanas_.begin(), lanas_.end(),
                     [&](const auto& lana) { return lana->names.count(name) > 0; });
}

std::string NbtProvider::SessionPeer(std::uint8_t lanaNumber, std::uint8_t lsn) {
  const std::lock_guard lock(mutex_);
  const Lana* lana = FindLanaLocked(lanaNumber);
  if (lana == nullptr) return {};
  const auto found = lana->sessions.find(lsn);
  if (found == lana->sessions.end()) return {};
  const std::string& peer = found->second->peer;
  return peer.substr(0, peer.rfind(':'));
}

std::string NbtProvider::NamesUnavailable() const {
  return FindClaimFolder(settings_.registryFolder).problem;
}

void NbtProvider::Trace(const std::string& line) const {
  if (settings_.trace) settings_.trace(line);
}

void NbtProvider::TraceFailure(const char* command, const std::string& why,
                               std::uint8_t code) const {
  if (!settings_.trace) return;
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", unsigned{code});
  settings_.trace(std::string(command) + ": " + why + "; NCB code " + hex);
}

void NbtProvider::CompleteNcb(NCB& ncb, std::uint8_t code, bool asynchronous) {
  ncb.ncb_retcode = code;
  ncb.ncb_cmd_cplt = code;
  if (asynchronous && ncb.ncb_event) ncb.ncb_event->Set();
}

std::vector<LanaAddress> NbtProvider::LanaAddresses() {
  const std::lock_guard lock(mutex_);
  std::vector<LanaAddress> addresses;
  for (const auto& lana : lanas_) {
    if (lana) addresses.push_back(lana->address);
  }
  return addresses;
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
  for (auto& gone : lanas_) {
    if (gone && gone->acceptor) vanished_.push_back(std::move(gone));
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
  return Run(ncb, std::nullopt);
}

bool NbtProvider::RunWithin(NCB& ncb, std::chrono::milliseconds limit) {
  // A LISTEN waits for a caller, not for a time: it is never bounded so.
  if ((ncb.ncb_command & ASYNCH) != 0 || ncb.ncb_command == NCBLISTEN) return false;
  // Also a command refused before it ran carries its code.
  CompleteNcb(ncb, Run(ncb, Clock::now() + limit), false);
  return true;
}

std::uint8_t NbtProvider::Run(NCB& ncb, const Deadline& limit) {
  const std::uint8_t command = ncb.ncb_command & ~ASYNCH;
  const bool asynchronous = (ncb.ncb_command & ASYNCH) != 0;
  if (command != NCBCALL && command != NCBLISTEN && command != NCBSEND && command != NCBRECV) {
    const std::uint8_t code = RunSynchronous(ncb);
    CompleteNcb(ncb, code, asynchronous);
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
  job->callname = wire::ToName16(ncb.ncb_callname);
  job->name = wire::ToName16(ncb.ncb_name);
  job->rto = ncb.ncb_rto;
  job->sto = ncb.ncb_sto;
  job->capacity = ncb.ncb_length;
  job->limit = limit;
  if (command == NCBSEND) {
    if (ncb.ncb_buffer == nullptr && ncb.ncb_length > 0) return NRC_BADDR;
    // The whole SESSION MESSAGE, taken now, so no thread reads the caller's buffer.
    const auto header = wire::SessionMessageHeader(ncb.ncb_length);
    job->frame.assign(header.begin(), header.end());
    job->frame.insert(job->frame.end(), ncb.ncb_buffer, ncb.ncb_buffer + ncb.ncb_length);
    if (SendAtOnce(*job)) {
      // Done without a thread: completed before Netbios() returns.
      CompleteNcb(ncb, job->code, asynchronous);
      return asynchronous ? NRC_GOODRET : job->code;
    }
  }
  if (command == NCBRECV && ncb.ncb_buffer == nullptr && ncb.ncb_length > 0) return NRC_BADDR;
  if (command == NCBLISTEN) {
    // Callers are taken from the moment Netbios() returns; one that comes
    // before the command's thread runs waits for it. A problem here is the
    // command's to report.
    const std::lock_guard lock(mutex_);
    if (Lana* lana = FindLanaLocked(job->lana)) StartAcceptingLocked(*lana);
  }
  if (!asynchronous && command != NCBLISTEN) {
    // Nothing can cancel a command on its caller's thread (it is not
    // listed): it needs no descriptor to be woken by.
    RunJob(job);
    return static_cast<std::uint8_t>(ncb.ncb_retcode);
  }
  job->cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (job->cancelFd < 0) {
    // No descriptor to be had: the command cannot be cancelled, so it runs
    // here to its own deadline. Failing it instead could leave a message
    // half-exchanged, taken by the receiver but reported as failed.
    Trace(std::string("Submit: no descriptor to cancel the command with (eventfd: ") +
          std::strerror(errno) + "); it runs on the caller's thread");
  }
  if (!asynchronous || job->cancelFd < 0) {
    RunJob(job);
    return asynchronous ? NRC_GOODRET : static_cast<std::uint8_t>(ncb.ncb_retcode);
  }

  std::string noThread;
  {
    const std::lock_guard lock(mutex_);
    ReapFinishedLocked();
    ncb.ncb_retcode = NRC_PENDING;
    ncb.ncb_cmd_cplt = NRC_PENDING;
    if (ncb.ncb_event) ncb.ncb_event->Reset();  // pending: set when it completes
    jobs_.push_back(job);
    try {
      job->thread = std::thread([this, job] { RunJob(job); });
      return NRC_GOODRET;
    } catch (const std::system_error& error) {
      noThread = error.what();
    }
  }
  // No thread to be had (a process or memory limit): the command runs here,
  // to its own deadline, and is complete when Netbios() returns. It stays
  // listed meanwhile, so another thread may still cancel it. Failing it
  // instead would turn a local shortage into a failed delivery, or into a
  // doubt whether a message that went out was taken.
  Trace("Submit: no thread for the command (" + noThread + "); it runs on the caller's thread");
  RunJob(job);
  return NRC_GOODRET;
}

void NbtProvider::RunJob(const std::shared_ptr<Job>& job) {
  switch (job->command) {
    case NCBCALL: Call(*job); break;
    case NCBLISTEN: Listen(job); break;
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
  CompleteNcb(ncb, job.code, job.asynchronous);
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
  std::call_once(notesTraced_, [this] {
    for (const std::string& note : settings_.configNotes) Trace("Configuration: " + note);
  });
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
  // The first enumeration takes the interfaces the provider was made with:
  // a run asks the kernel for them once. Later ones look again.
  if (!lanasJustListed_) RefreshLanasLocked();
  lanasJustListed_ = false;
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
  for (const auto& [name, entry] : lana->names) ReleaseLocked(*lana, name);
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

namespace {

// The next free name number of a LANA; 0 when none is left.
template <class Names>
std::uint8_t NextNameNumber(const Names& names) {
  int number = kFirstNameNumber;
  for (const auto& [held, entry] : names) number = std::max<int>(number, entry.number + 1);
  return number > kLastNameNumber ? 0 : static_cast<std::uint8_t>(number);
}

}  // namespace

std::uint8_t NbtProvider::AddName(NCB& ncb) {
  const wire::Name16 name = wire::ToName16(ncb.ncb_name);
  NameClaim claim;
  LanaAddress address;
  bool announce = false;
  {
    const std::lock_guard lock(mutex_);
    Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
    if (lana == nullptr) return NRC_BRIDGE;
    if (name[0] == '*') return NRC_NOWILD;
    if (lana->names.count(name)) return NRC_DUPNAME;
    if (static_cast<int>(lana->names.size()) >= lana->maxNames) return NRC_NAMTFUL;
    if (NextNameNumber(lana->names) == 0) return NRC_NAMTFUL;

    // The name is claimed host-wide under a key made of the interface and
    // the 16 name bytes: a second holder in this network namespace is
    // refused, and the claim ends with the process, however it ends.
    std::string key = settings_.registryPrefix + "-" + lana->address.interfaceName + "-";
    for (const std::uint8_t byte : name) {
      static constexpr char kHex[] = "0123456789abcdef";
      key += kHex[byte >> 4];
      key += kHex[byte & 0x0F];
    }
    switch (claim.Claim(key, settings_.registryFolder)) {
      case ClaimResult::Claimed: break;
      case ClaimResult::Taken: return NRC_DUPNAME;
      case ClaimResult::Failed: return NRC_SYSTEM;
    }
    address = lana->address;
    announce = nameServer_ != nullptr;
    owners_.erase({ncb.ncb_lana_num, name});
  }

  // A receiver's names are registered on the subnet too, so that other
  // nodes find them and an owner elsewhere can object. (The sender's
  // one-shot names are not: nothing would defend them after it ends.)
  if (announce) {
    const Registration registration = RegisterOnSubnet(address, name, settings_.nameService);
    if (!registration.registered) {
      const std::lock_guard lock(mutex_);
      if (!registration.owner.empty()) {
        owners_[{ncb.ncb_lana_num, name}] = registration.owner + " holds the name on the network";
        TraceFailure("AddName", wire::NameWithSuffix(name) + " is held by " + registration.owner,
                     NRC_DUPNAME);
        return NRC_DUPNAME;
      }
      TraceFailure("AddName", wire::NameWithSuffix(name) + ": " + registration.problem, NRC_SYSTEM);
      return NRC_SYSTEM;
    }
  }

  // And with the first WINS server that answers, so that senders beyond a
  // router find it; it is refreshed there while it is held.
  std::optional<in_addr> winsServer;
  std::chrono::seconds winsTtl{0};
  if (announce) {
    for (const in_addr server :
         resolver_.WinsServerAddresses(Clock::now() + settings_.names.winsInterval)) {
      const ServerRegistration registration = RegisterWithServer(
          address, name, server, settings_.names.winsTries, settings_.names.winsInterval,
          std::chrono::seconds(10), settings_.nameService);
      if (!registration.answered) {
        Trace("AddName: WINS server " + AddressText(server) +
              " did not answer the registration of " + wire::NameWithSuffix(name));
        continue;
      }
      if (!registration.registered) {
        const std::lock_guard lock(mutex_);
        owners_[{ncb.ncb_lana_num, name}] = registration.refusal;
        TraceFailure("AddName", wire::NameWithSuffix(name) + ": " + registration.refusal,
                     NRC_DUPNAME);
        ReleaseOnSubnet(address, name, settings_.nameService);
        return NRC_DUPNAME;
      }
      winsServer = server;
      winsTtl = registration.ttl;
      break;
    }
  }

  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  const std::uint8_t number = NextNameNumber(lana->names);
  if (number == 0) return NRC_NAMTFUL;
  lana->names[name] = {number, std::move(claim), announce, winsServer};
  if (winsServer && nameServer_) nameServer_->Keep(name, address.address, *winsServer, winsTtl);
  ncb.ncb_num = number;
  return NRC_GOODRET;
}

void NbtProvider::ReleaseLocked(const Lana& lana, const Name16& name) {
  const auto found = lana.names.find(name);
  if (found == lana.names.end()) return;
  const Lana::Registered& entry = found->second;
  if (entry.announced) ReleaseOnSubnet(lana.address, name, settings_.nameService);
  if (entry.winsServer) {
    ReleaseWithServer(lana.address, name, *entry.winsServer, settings_.nameService);
    if (nameServer_) nameServer_->Forget(name, lana.address.address);
  }
}

std::string NbtProvider::NameOwner(std::uint8_t lana, const std::uint8_t* ncbName) {
  const std::lock_guard lock(mutex_);
  const auto found = owners_.find({lana, wire::ToName16(ncbName)});
  return found == owners_.end() ? std::string() : found->second;
}

std::uint8_t NbtProvider::DeleteName(NCB& ncb) {
  const std::lock_guard lock(mutex_);
  Lana* lana = FindLanaLocked(ncb.ncb_lana_num);
  if (lana == nullptr) return NRC_BRIDGE;
  const auto found = lana->names.find(wire::ToName16(ncb.ncb_name));
  if (found == lana->names.end()) return NRC_NAMERR;
  ReleaseLocked(*lana, found->first);
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
  // A cancelled command's event is set whatever its mode: the caller that
  // cancels may be waiting on it.
  CompleteNcb(*job.ncb, NRC_CMDCAN, true);
  job.ncb = nullptr;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(job.cancelFd, &one, sizeof one);
}

}  // namespace lomp::platform::nbt
