// NetBIOS over TCP/IP: the provider behind Netbios() for the program.
//
// A B-node on Linux sockets. LANAs are the IPv4 interfaces that are up, are
// not loopback and have a broadcast address, numbered in the kernel's order.
// Names are held host-wide (per network namespace) for the life of the
// process; calls resolve the called name as an IPv4 literal, from names
// learnt earlier, by NAME QUERY broadcast, then through the host's resolver;
// sessions run on TCP 139.
//
// Asynchronous commands run on threads of the provider and complete by
// setting ncb_event. A cancelled command completes with NRC_CMDCAN before the
// CANCEL returns; its thread stops its socket work at once and never touches
// the NCB or its buffer again. The provider must outlive every command
// submitted to it; its destructor cancels what is still pending.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/nbt_wire.h"
#include "platform/netbios.h"

namespace lomp::platform {

struct NbtSettings {
  std::uint16_t nameServicePort = 137;
  std::uint16_t sessionPort = 139;
  std::chrono::milliseconds queryInterval{250};  // between NAME QUERY tries
  int queryTries = 3;
  int retargetLimit = 1;  // RETARGET responses followed per CALL
  // How long a caller accepted by LISTEN may take to send its SESSION REQUEST.
  std::chrono::milliseconds sessionRequestTimeout{5000};
  bool useHostResolver = true;  // last resort for names no node answered for
  // Prefix of the abstract socket names that hold registered names.
  std::string registryPrefix = "lomp-nbt";
};

struct LanaAddress {
  std::string interfaceName;
  in_addr address{};
  in_addr broadcast{};
};

// The IPv4 interfaces that make LANAs, in the kernel's order.
std::vector<LanaAddress> ListLanaAddresses();

class NbtProvider : public NetbiosProvider {
 public:
  explicit NbtProvider(NbtSettings settings = {});
  ~NbtProvider() override;
  NbtProvider(const NbtProvider&) = delete;
  NbtProvider& operator=(const NbtProvider&) = delete;

  std::uint8_t Submit(NCB& ncb) override;

  // NAME QUERY requests sent so far (each try counts).
  int NameQueriesSent();

  struct Job;
  struct Session;
  struct Lana;

 private:
  std::uint8_t RunSynchronous(NCB& ncb);
  std::uint8_t Enumerate(NCB& ncb);
  std::uint8_t Reset(NCB& ncb);
  std::uint8_t AddName(NCB& ncb);
  std::uint8_t DeleteName(NCB& ncb);
  std::uint8_t Hangup(NCB& ncb);
  std::uint8_t Cancel(NCB& ncb);

  void RunJob(const std::shared_ptr<Job>& job);
  void Call(Job& job);
  void Listen(Job& job);
  void Send(Job& job);
  // Completes a SEND on the caller's thread when it can; false to go on a thread.
  bool SendAtOnce(Job& job);
  void Receive(Job& job);
  void Finish(Job& job);

  // The LANA's address when the job's own name is registered on it; else
  // sets the job's code and gives nullopt.
  std::optional<LanaAddress> RegisteredLana(Job& job);
  std::optional<in_addr> Resolve(Job& job, const LanaAddress& lana, const nbt::Name16& name);
  std::optional<in_addr> QueryBroadcast(Job& job, const LanaAddress& lana,
                                        const nbt::Name16& name);
  std::uint8_t AddSession(Job& job, int fd);
  std::shared_ptr<Session> FindSession(std::uint8_t lana, std::uint8_t lsn, std::uint8_t& code);
  void ReapFinishedLocked();
  void RefreshLanasLocked();
  Lana* FindLanaLocked(std::uint8_t number);
  int ListeningSocket(std::uint8_t lana, const LanaAddress& address);

  const NbtSettings settings_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Lana>> lanas_;
  std::vector<std::shared_ptr<Job>> jobs_;
  std::map<nbt::Name16, in_addr> nameCache_;
  int nameQueriesSent_ = 0;
  std::uint16_t nextTransactionId_;
};

}  // namespace lomp::platform
