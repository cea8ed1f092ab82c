// Finding the address of a NetBIOS name, as a node on a routed network does.
//
// An IPv4 literal is its own address. Otherwise a name learnt earlier in
// this run is used; a name not found a moment ago is not looked for again
// until `negativeCacheAge` has passed; else the methods of `order` are
// tried in turn until one answers:
//   lmhosts  the static table at `lmhostsPath`;
//   wins     a unicast NAME QUERY to every WINS server at once, `winsTries`
//            tries `winsInterval` apart; the first answer decides, and a
//            negative answer ends the lookup
//            (the name does not exist), a WAIT FOR ACKNOWLEDGEMENT extends
//            the wait by its TTL, and a server that never answers is not
//            asked again in this run. What one lookup learns of a server
//            serves the others at once: a server is dead once a query to it
//            has gone unanswered for its tries' time, whichever lookup sent
//            it. When methods follow, silent servers take at most half the
//            lookup's time left, so that whether a name is found never
//            depends on how many lookups ran into the dead servers first;
//   host     the host's resolver (hosts file, DNS), for <00> and <20> names
//            only, as Samba uses it;
//   bcast    `queryTries` NAME QUERY broadcasts on the LANA `queryInterval`
//            apart; a negative answer stops the broadcasts, though the
//            owner's answer to an earlier one still counts.
// Answers from the network are believed only when they come from where the
// question went and match its name and transaction id, and never when they
// point at an address no session may go to (IsSessionTarget).
//
// For an IPv4 literal, CalledName asks the node for its names (NODE STATUS)
// so that a session can be called by the name the node registered.
//
// Every question, answer and choice goes to `trace`. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/nbt/lana.h"
#include "platform/nbt/socket_io.h"
#include "platform/samba_config.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct ResolverSettings {
  std::uint16_t port = 137;  // the name service's, of servers and nodes alike
  std::vector<ResolveMethod> order = {ResolveMethod::Lmhosts, ResolveMethod::Wins,
                                      ResolveMethod::Host, ResolveMethod::Bcast};
  std::string lmhostsPath = "/etc/samba/lmhosts";
  // As Samba's `wins server` lists them: addresses or host names, each
  // maybe after "tag:".
  std::vector<std::string> winsServers;
  std::chrono::milliseconds winsInterval{1000};
  int winsTries = 2;
  std::chrono::milliseconds queryInterval{250};  // between broadcast tries
  int queryTries = 3;
  std::chrono::milliseconds negativeCacheAge{1000};
  // NODE STATUS of an IPv4 literal: `statusTries` requests `statusInterval`
  // apart, then the call goes out without the node's name.
  std::chrono::milliseconds statusInterval{500};
  int statusTries = 2;
  // How a WINS server given by a host name is found (getaddrinfo when
  // empty). It may hang: it runs on a thread of its own, and a server not
  // found within half the lookup's time left (at most `winsInterval`) is
  // skipped for the rest of the run.
  std::function<std::optional<in_addr>(const std::string& host)> hostLookup;
};

// The resolver settings Samba's configuration gives.
ResolverSettings ResolverSettingsFrom(const SambaConfig& config);

class NameResolver {
 public:
  using Trace = std::function<void(const std::string&)>;
  NameResolver(ResolverSettings settings, Trace trace);

  // The address of `name` for a session from `lana`; nullopt when it was
  // not found or `cancelFd` became readable. Waits end at `deadline`.
  std::optional<in_addr> Resolve(const wire::Name16& name, const LanaAddress& lana, int cancelFd,
                                 const Deadline& deadline);

  // A CALL to `name` at `address` found no session there: a remembered
  // address may have been a forged or stale answer, so it is forgotten and
  // the name looked up again, at most once per `negativeCacheAge` (a host
  // that owns the name but takes no session is not asked for it on every
  // retry of its call).
  void CallFailed(const wire::Name16& name, in_addr address);

  // The addresses of the WINS servers not known to be dead, in their
  // order, each found within `deadline` (a host name looked up once).
  std::vector<in_addr> WinsServerAddresses(const Deadline& deadline);

  // The name to call the node at `address` by: its Messenger name from a
  // NODE STATUS answer, else `fallback`. Asked once per address and run.
  wire::Name16 CalledName(in_addr address, const wire::Name16& fallback, const LanaAddress& lana,
                          int cancelFd, const Deadline& deadline);

 private:
  struct Lookup;
  struct HostAnswer;
  struct WinsServer {
    std::string text;
    std::optional<in_addr> address;  // after the first use
    bool dead = false;
    // When a query to it went out with none answered since: once its tries'
    // time has passed from then, it is dead.
    std::optional<Clock::time_point> unansweredSince;
    std::shared_ptr<HostAnswer> finding;  // while its host name is looked up
  };

  // The address of WINS server `server`, looked up once per run within
  // `deadline`; nullopt (and the server dead) when it has none or the host's
  // resolver did not answer in time.
  std::optional<in_addr> WinsServerAddress(std::size_t server, int cancelFd,
                                           const Deadline& deadline);

  Lookup FromLmhosts(const wire::Name16& name);
  Lookup FromWins(const wire::Name16& name, const LanaAddress& lana, int cancelFd,
                  const Deadline& deadline);
  // Asks every one of `servers` (index, address) at once: the first answer
  // decides. Silent servers are waited for within `phase` (the WINS
  // servers' share of the time), one that asked us to wait within
  // `deadline`.
  struct WinsQuery;
  Lookup AskWinsServers(const std::vector<std::pair<std::size_t, in_addr>>& servers,
                        const wire::Name16& name, const LanaAddress& lana, int cancelFd,
                        const Deadline& phase, const Deadline& deadline);
  Lookup FromHost(const wire::Name16& name);
  Lookup FromBroadcast(const wire::Name16& name, const LanaAddress& lana, int cancelFd,
                       const Deadline& deadline);
  std::uint16_t NextTransactionId();
  void Say(const std::string& line) const;

  const ResolverSettings settings_;
  const Trace trace_;
  std::mutex mutex_;
  std::map<wire::Name16, in_addr> found_;
  std::map<wire::Name16, Clock::time_point> notFound_;
  std::map<wire::Name16, Clock::time_point> forgotten_;  // by CallFailed
  std::map<std::uint32_t, wire::Name16> calledNames_;    // by address, network order
  std::vector<WinsServer> winsServers_;
  std::uint16_t nextTransactionId_;
};

}  // namespace lomp::platform::nbt
