// NetBIOS over TCP/IP: the provider behind Netbios() for the program.
//
// A B-node on Linux sockets. LANAs are the IPv4 interfaces that are up, are
// not loopback and have a broadcast address, numbered in the kernel's order.
// Names are held host-wide (per network namespace) for the life of the
// process; calls find the called name through the name resolver (an IPv4
// literal, lmhosts, WINS, the host's resolver and broadcast, in the order
// smb.conf gives); sessions run on TCP 139.
//
// Asynchronous commands run on threads of the provider and complete by
// setting ncb_event. A command is found by CANCEL among the live commands
// only: it leaves that list the moment it finishes or is cancelled, under the
// provider's lock, and from then on nothing writes its NCB, so a later NCB at
// the same address can never be mistaken for it. A cancelled command
// completes with NRC_CMDCAN before the CANCEL returns; its thread stops its
// socket work at once and never touches the NCB or its buffer again. Every
// socket wait of a CALL has a deadline. The provider must outlive every
// command submitted to it; its destructor cancels what is still pending.
//
// nbt_provider.cpp holds the engine (submission, cancel, completion) and the
// synchronous commands; session_commands.cpp the session commands.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/nbt/lana.h"
#include "platform/nbt/name_resolver.h"
#include "platform/nbt/name_server.h"
#include "platform/nbt/session_acceptor.h"
#include "platform/netbios.h"
#include "platform/session_slots.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct NbtSettings {
  std::uint16_t sessionPort = 139;
  // How called names are found (name_resolver.h).
  ResolverSettings names;
  int retargetLimit = 1;  // RETARGET responses followed per CALL
  // Callers of our names: how many may wait for their SESSION REQUEST to be
  // read and placed, and for how long.
  AcceptLimits accept;
  // The name service of a listening provider (UDP 137).
  NameServerSettings nameService;
  // The longest a CALL may take from its first packet to the session: a
  // peer that accepts the connection and never answers is left then, even
  // when nobody cancels the command.
  std::chrono::milliseconds callTimeout{20000};
  // Registered names are claims (name_claim.h) whose keys start with this
  // prefix, in `registryFolder`, or in the running user's folder when empty.
  std::string registryPrefix = "lomp-nbt";
  std::string registryFolder;
  // The LANAs to use instead of the host's interfaces (tests: a loopback
  // LANA). Empty: the host's, as ListLanaAddresses() gives them.
  std::vector<LanaAddress> lanas;
  // Samba's `interfaces`: which of the host's interfaces are LANAs; empty:
  // all of them (lana.h).
  std::vector<std::string> interfaces;
  // Where diagnostics go (name lookups, refused answers and targets); none
  // when empty.
  std::function<void(const std::string&)> trace;
  // What the configuration did not read, and why: traced with the first
  // command (the program's trace is set up by then).
  std::vector<std::string> configNotes;
};

// The settings of the host's NetBIOS configuration: the WINS servers, the
// name resolve order and the interfaces of Samba's smb.conf.
NbtSettings StandardNbtSettings();

class NbtProvider : public NetbiosProvider {
 public:
  explicit NbtProvider(NbtSettings settings = {});
  ~NbtProvider() override;
  NbtProvider(const NbtProvider&) = delete;
  NbtProvider& operator=(const NbtProvider&) = delete;

  std::uint8_t Submit(NCB& ncb) override;
  // Every command but LISTEN runs on the calling thread to the limit.
  bool RunWithin(NCB& ncb, std::chrono::milliseconds limit) override;
  // Why the claim folder of registryFolder (or the user's) is unusable.
  std::string NamesUnavailable() const override;
  // Whether this process registered `name` on some LANA.
  bool HoldsName(const wire::Name16& name);
  // The addresses of the LANAs as last listed.
  std::vector<LanaAddress> LanaAddresses();
  // Opens TCP 139 on every LANA for the callers of our names, and serves
  // the name service on UDP 137 for them; names added from then on are
  // registered on their subnets (and released there when deleted).
  std::string PrepareToListen() override;
  // Who refused the last registration of the NCB name `ncbName` on `lana`.
  std::string NameOwner(std::uint8_t lana, const std::uint8_t* ncbName) override;
  // "10.1.2.3" for a session of ours; empty for no such session.
  std::string SessionPeer(std::uint8_t lana, std::uint8_t lsn) override;

  struct Job;
  struct Session;
  struct Lana;

 private:
  // Submit(), with a time limit for a command on the caller's thread.
  std::uint8_t Run(NCB& ncb, const Deadline& limit);
  std::uint8_t RunSynchronous(NCB& ncb);
  std::uint8_t Enumerate(NCB& ncb);
  std::uint8_t Reset(NCB& ncb);
  std::uint8_t AddName(NCB& ncb);
  std::uint8_t DeleteName(NCB& ncb);
  std::uint8_t Hangup(NCB& ncb);
  std::uint8_t Cancel(NCB& ncb);
  // Completes a live job's NCB with NRC_CMDCAN, ends a session it made but
  // had not reported, and wakes its thread. Under the lock; the caller
  // retires the job.
  void CancelLocked(Job& job);
  // Moves a listed job from the live list to the jobs whose threads are
  // still to be joined. Under the lock.
  void RetireLocked(const Job& job);

  void RunJob(const std::shared_ptr<Job>& job);
  void Call(Job& job);
  void Listen(const std::shared_ptr<Job>& job);
  void Send(Job& job);
  // Completes a SEND on the caller's thread when it can; false to go on a thread.
  bool SendAtOnce(Job& job);
  void Receive(Job& job);
  void Finish(Job& job);

  // The LANA's address when the job's own name is registered on it; else
  // sets the job's code and gives nullopt.
  std::optional<LanaAddress> RegisteredLana(Job& job);
  // Lists the session `fd` of a CALL, holding `slot` while it lasts.
  std::uint8_t AddSession(Job& job, int fd, SessionSlot slot);
  std::uint8_t AddSessionLocked(Lana& lana, Job& job, int fd);
  void Trace(const std::string& line) const;
  // Where a failure becomes an NCB code: "COMMAND: WHY; NCB code 0xNN".
  void TraceFailure(const char* command, const std::string& why, std::uint8_t code) const;
  // Completes `ncb` with `code` (return code and completion field) and, for
  // an asynchronous command, sets its event. Every path of the provider
  // ends an NCB here.
  static void CompleteNcb(NCB& ncb, std::uint8_t code, bool asynchronous);
  // The job's session; else sets the job's code and gives nullptr.
  std::shared_ptr<Session> FindSession(Job& job);
  void ReapFinishedLocked();
  void RefreshLanasLocked();
  bool lanasJustListed_ = false;  // by the constructor, for the first ENUM
  Lana* FindLanaLocked(std::uint8_t number);
  // A listening socket on the session port of `address`; -1 with `problem`
  // in words ("TCP port 139 on 10.1.2.3 is in use by another program ...").
  int ListeningSocket(const LanaAddress& address, std::string& problem) const;
  // Starts taking callers on `lana`; the problem in words when it cannot.
  std::string StartAcceptingLocked(Lana& lana);
  // Hands a caller of `called` on the LANA of `interfaceName` to a LISTEN
  // for that name (on the acceptor's thread).
  SessionAcceptor::Placement PlaceCaller(const std::string& interfaceName,
                                         const wire::Name16& called, const wire::Name16& calling,
                                         int fd);
  // Releases a name of ours on the subnet and with its WINS server, as it
  // was registered. Under the lock.
  void ReleaseLocked(const Lana& lana, const wire::Name16& name);
  // Ends every LANA's acceptor; not under the lock, as their threads take it.
  void StopAccepting();

  const NbtSettings settings_;
  std::once_flag notesTraced_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Lana>> lanas_;
  // LANAs whose interface went away while they took callers: kept until
  // the provider ends, since their acceptors cannot end under the lock.
  std::vector<std::unique_ptr<Lana>> vanished_;
  // Set by PrepareToListen; ended outside the lock, like the acceptors.
  std::unique_ptr<NameServer> nameServer_;
  // Who refused a registration on the subnet, by LANA and name.
  std::map<std::pair<std::uint8_t, wire::Name16>, std::string> owners_;
  // Commands that still own their NCB, and commands that gave it back
  // (finished or cancelled) whose threads are still to be joined.
  std::vector<std::shared_ptr<Job>> jobs_;
  std::vector<std::shared_ptr<Job>> retired_;
  NameResolver resolver_;
};

}  // namespace lomp::platform::nbt
