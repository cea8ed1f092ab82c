#include "platform/nbt/name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/nbt/lmhosts.h"
#include "platform/nbt/random_id.h"
#include "platform/sync.h"

namespace lomp::platform::nbt {

using wire::Bytes;
using wire::Name16;
using wire::NameQueryAnswer;
using wire::NameWithSuffix;

namespace {

// The longest wait a WAIT FOR ACKNOWLEDGEMENT may ask for; the call's own
// deadline usually ends it sooner.
constexpr std::chrono::seconds kMaxAcknowledgementWait{60};

// A UDP socket sending from the LANA's address; connected to `peer` when
// given, so that only the peer's datagrams are received and an ICMP "port
// unreachable" shows as ECONNREFUSED.
int NameServiceSocket(const LanaAddress& lana, const sockaddr_in* peer) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  if (peer == nullptr) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  const sockaddr_in from = SocketAddress(lana.address, 0);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
      (peer != nullptr &&
       connect(fd, reinterpret_cast<const sockaddr*>(peer), sizeof *peer) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

enum class Exchange { Answered, Silent, Refused, Cancelled };

// What a datagram does to an exchange.
enum class Heard {
  Nothing,   // not for us, or not believed: wait on
  Settled,   // the answer: the exchange ends
  NoResend,  // no further tries are sent, but a later answer still counts
};

// What hears the datagrams of an exchange. It may move `waitUntil` to wait
// longer for this try.
using Hear = std::function<Heard(std::span<const std::uint8_t> packet, in_addr from,
                                 Clock::time_point& waitUntil)>;

// Sends `request` up to `tries` times `interval` apart (to `to`, or to the
// connected peer when null), handing every datagram that comes to `hear`.
Exchange Ask(int fd, const sockaddr_in* to, const wire::Bytes& request, int tries,
             std::chrono::milliseconds interval, int cancelFd, const Deadline& deadline,
             const std::function<void(int)>& sent, const Hear& hear) {
  bool resend = true;
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (deadline && Clock::now() >= *deadline) return Exchange::Silent;
    if (resend) {
      const ssize_t written = to == nullptr
                                  ? send(fd, request.data(), request.size(), 0)
                                  : sendto(fd, request.data(), request.size(), 0,
                                           reinterpret_cast<const sockaddr*>(to), sizeof *to);
      if (written < 0 && errno == ECONNREFUSED) return Exchange::Refused;
      sent(attempt + 1);
    }
    Clock::time_point waitUntil = Clock::now() + interval;
    for (;;) {
      const Deadline until = deadline ? std::min(waitUntil, *deadline) : waitUntil;
      const Io ready = WaitReady(fd, POLLIN, cancelFd, until);
      if (ready == Io::Cancelled) return Exchange::Cancelled;
      if (ready == Io::Failed) return Exchange::Silent;
      if (ready != Io::Ok) {
        if (deadline && Clock::now() >= *deadline) return Exchange::Silent;
        if (Clock::now() < waitUntil) continue;  // a WACK moved the end of this try
        break;
      }
      // A node status answer with 255 names is over 4.6 KB: room for any
      // datagram.
      std::uint8_t packet[65536];
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0 && errno == ECONNREFUSED) return Exchange::Refused;
      if (n <= 0) continue;
      const Heard heard =
          hear(std::span(packet, static_cast<std::size_t>(n)), from.sin_addr, waitUntil);
      if (heard == Heard::Settled) return Exchange::Answered;
      if (heard == Heard::NoResend) resend = false;
    }
  }
  return Exchange::Silent;
}

std::optional<in_addr> HostResolverAddress(const std::string& text) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  std::optional<in_addr> address;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &results) == 0 && results != nullptr) {
    address = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
  }
  if (results != nullptr) freeaddrinfo(results);
  return address;
}

}  // namespace

struct NameResolver::Lookup {
  enum class Kind { Found, Denied, Silent, Cancelled };
  Kind kind = Kind::Silent;
  in_addr address{};

  static Lookup At(in_addr address) { return {Kind::Found, address}; }
};

ResolverSettings ResolverSettingsFrom(const SambaConfig& config) {
  ResolverSettings settings;
  settings.order = config.resolveOrder;
  settings.winsServers = config.winsServers;
  return settings;
}

NameResolver::NameResolver(ResolverSettings settings, Trace trace)
    : settings_(std::move(settings)),
      trace_(std::move(trace)),
      nextTransactionId_(static_cast<std::uint16_t>(RandomId())) {
  for (const std::string& server : settings_.winsServers)
    winsServers_.push_back({server, {}, false, {}, nullptr});
}

void NameResolver::Say(const std::string& line) const {
  if (trace_) trace_(line);
}

std::uint16_t NameResolver::NextTransactionId() {
  const std::lock_guard lock(mutex_);
  return nextTransactionId_++;
}

std::optional<in_addr> NameResolver::Resolve(const wire::Name16& name, const LanaAddress& lana,
                                             int cancelFd, const Deadline& deadline) {
  const std::string text = wire::NameText(name);
  in_addr literal{};
  if (inet_pton(AF_INET, text.c_str(), &literal) == 1) return literal;
  const std::string shown = wire::NameWithSuffix(name);
  {
    const std::lock_guard lock(mutex_);
    if (const auto known = found_.find(name); known != found_.end()) {
      return known->second;
    }
    if (const auto failed = notFound_.find(name);
        failed != notFound_.end() && Clock::now() - failed->second < settings_.negativeCacheAge) {
      return std::nullopt;
    }
  }
  for (const ResolveMethod method : settings_.order) {
    Lookup lookup;
    switch (method) {
      case ResolveMethod::Lmhosts: lookup = FromLmhosts(name); break;
      case ResolveMethod::Wins: lookup = FromWins(name, lana, cancelFd, deadline); break;
      case ResolveMethod::Host: lookup = FromHost(name); break;
      case ResolveMethod::Bcast: lookup = FromBroadcast(name, lana, cancelFd, deadline); break;
    }
    if (lookup.kind == Lookup::Kind::Cancelled) return std::nullopt;
    if (lookup.kind == Lookup::Kind::Found) {
      const std::lock_guard lock(mutex_);
      found_[name] = lookup.address;
      notFound_.erase(name);
      return lookup.address;
    }
    if (lookup.kind == Lookup::Kind::Denied) break;
  }
  Say(shown + " not found; not looked for again for " +
      std::to_string(settings_.negativeCacheAge.count()) + " ms");
  const std::lock_guard lock(mutex_);
  notFound_[name] = Clock::now();
  return std::nullopt;
}

void NameResolver::CallFailed(const wire::Name16& name, in_addr address) {
  {
    const std::lock_guard lock(mutex_);
    const auto known = found_.find(name);
    if (known == found_.end() || known->second.s_addr != address.s_addr) return;
    const auto last = forgotten_.find(name);
    const Clock::time_point now = Clock::now();
    if (last != forgotten_.end() && now - last->second < settings_.negativeCacheAge) return;
    found_.erase(known);
    forgotten_[name] = now;
  }
  Say(wire::NameWithSuffix(name) + ": no session at " + AddressText(address) + "; looked up again");
}

NameResolver::Lookup NameResolver::FromLmhosts(const wire::Name16& name) {
  std::string refusal;
  const std::optional<std::string> table = ReadConfigFile(settings_.lmhostsPath, &refusal);
  if (!table) {
    Say("lmhosts: " + (refusal.empty() ? "no " + settings_.lmhostsPath : refusal));
    return {};
  }
  if (const std::optional<in_addr> address = FindInLmhosts(*table, name)) {
    Say("lmhosts: " + wire::NameWithSuffix(name) + " is at " + AddressText(*address));
    return Lookup::At(*address);
  }
  Say("lmhosts: no entry for " + wire::NameWithSuffix(name));
  return {};
}

NameResolver::Lookup NameResolver::FromWins(const wire::Name16& name, const LanaAddress& lana,
                                            int cancelFd, const Deadline& deadline) {
  if (winsServers_.empty()) {
    Say("wins: no WINS server configured");
    return {};
  }
  // Silent servers may take at most half the time left when methods follow,
  // so that those still have theirs: whether a name is found through the
  // broadcast must not depend on how many lookups met the dead servers
  // first. A server that asks us to wait (WAIT FOR ACKNOWLEDGEMENT) gets
  // the whole time.
  Deadline phase = deadline;
  if (deadline && settings_.order.back() != ResolveMethod::Wins) {
    phase = Clock::now() + (*deadline - Clock::now()) / 2;
  }
  std::vector<std::pair<std::size_t, in_addr>> servers;
  for (std::size_t server = 0; server < winsServers_.size(); ++server) {
    if (phase && Clock::now() >= *phase) break;
    if (const std::optional<in_addr> address = WinsServerAddress(server, cancelFd, phase)) {
      servers.emplace_back(server, *address);
    }
  }
  if (servers.empty()) return {};
  return AskWinsServers(servers, name, lana, cancelFd, phase, deadline);
}

// A host name's address as the host's resolver gives it, on a thread of
// its own: the resolver cannot be cancelled, and a DNS server that never
// answers must not hold up the run (the thread is left to end by itself).
struct NameResolver::HostAnswer {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::optional<in_addr> address;
};

std::vector<in_addr> NameResolver::WinsServerAddresses(const Deadline& deadline) {
  std::vector<in_addr> addresses;
  for (std::size_t server = 0; server < settings_.winsServers.size(); ++server) {
    if (const auto address = WinsServerAddress(server, -1, deadline)) addresses.push_back(*address);
  }
  return addresses;
}

std::optional<in_addr> NameResolver::WinsServerAddress(std::size_t server, int cancelFd,
                                                       const Deadline& deadline) {
  std::unique_lock lock(mutex_);
  WinsServer& wins = winsServers_[server];
  if (wins.dead) return std::nullopt;
  if (wins.address) return wins.address;
  const std::string text = wins.text;
  // "tag:address" names the server for a tag; the tag is not needed here.
  const std::string host = text.substr(text.find(':') + 1);
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) return wins.address = literal;

  std::shared_ptr<HostAnswer> answer = wins.finding;
  if (!answer) {
    answer = wins.finding = std::make_shared<HostAnswer>();
    Say("wins: looking up server " + host);
    const auto lookupHost = settings_.hostLookup ? settings_.hostLookup : HostResolverAddress;
    try {
      std::thread([answer, lookupHost, host] {
        std::optional<in_addr> found = lookupHost(host);
        const std::lock_guard done(answer->mutex);
        answer->address = found;
        answer->done = true;
        answer->changed.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      answer->done = true;  // no thread: no address in this run
    }
  }
  lock.unlock();

  // At most one try's time, and never past the WINS servers' share.
  Clock::time_point until = Clock::now() + settings_.winsInterval;
  if (deadline) until = std::min(until, *deadline);
  bool cancelled = false;
  {
    std::unique_lock wait(answer->mutex);
    while (!answer->done && Clock::now() < until) {
      answer->changed.wait_for(wait, std::chrono::milliseconds(20));
      if (!answer->done) NoteLongWait();
      pollfd cancel{cancelFd, POLLIN, 0};
      if (cancelFd >= 0 && poll(&cancel, 1, 0) > 0) {
        cancelled = true;
        break;
      }
    }
  }
  if (cancelled) return std::nullopt;
  lock.lock();
  if (wins.dead || wins.address) return wins.address;
  const std::lock_guard read(answer->mutex);
  if (!answer->done) {
    Say("wins: server " + host + " not found in time; not asked in this run");
  } else if (!answer->address) {
    Say("wins: server " + text + " has no address; not asked in this run");
  }
  wins.address = answer->address;
  wins.dead = !answer->address;
  wins.finding.reset();
  return wins.address;
}

// One WINS server's part in a lookup.
struct NameResolver::WinsQuery {
  std::size_t server = 0;
  std::string shown;  // its address, as the trace shows it
  int fd = -1;        // connected to it: a refusal shows as ECONNREFUSED
  int sent = 0;
  Clock::time_point nextTry;
  Clock::time_point unansweredSince;           // as the server's record held it
  Clock::time_point silentAt;                  // judged silent from then on
  std::optional<Clock::time_point> waitUntil;  // it asked us to wait
  bool over = false;
};

NameResolver::Lookup NameResolver::AskWinsServers(
    const std::vector<std::pair<std::size_t, in_addr>>& servers, const wire::Name16& name,
    const LanaAddress& lana, int cancelFd, const Deadline& phase, const Deadline& deadline) {
  const std::string shown = wire::NameWithSuffix(name);
  const std::uint16_t id = NextTransactionId();
  const wire::Bytes query = wire::BuildNameQuery(id, name, wire::QueryMode::Unicast);
  const auto window = settings_.winsInterval * settings_.winsTries;

  // A server is dead once a query to it has gone unanswered for all its
  // tries' time, whichever lookup sent it: a lookup that comes while the
  // server is in doubt waits only for the rest of that time, and one cut
  // short by its own deadline still counts towards the verdict.
  const auto verdict = [&](WinsQuery& asked, const char* why) {
    asked.over = true;
    {
      const std::lock_guard lock(mutex_);
      WinsServer& wins = winsServers_[asked.server];
      if (wins.dead) return;
      wins.dead = true;
    }
    Say("wins: " + asked.shown + why + "; not asked again in this run");
  };
  const auto stillUnanswered = [&](const WinsQuery& asked) {
    const std::lock_guard lock(mutex_);
    const auto& since = winsServers_[asked.server].unansweredSince;
    return since && *since == asked.unansweredSince;
  };

  std::vector<WinsQuery> asking;
  const Clock::time_point start = Clock::now();
  for (const auto& [server, address] : servers) {
    WinsQuery asked;
    asked.server = server;
    asked.shown = AddressText(address);
    {
      const std::lock_guard lock(mutex_);
      WinsServer& wins = winsServers_[server];
      if (wins.dead) continue;
      if (!wins.unansweredSince) wins.unansweredSince = start;
      asked.unansweredSince = *wins.unansweredSince;
    }
    asked.silentAt = asked.unansweredSince + window;
    if (start >= asked.silentAt && stillUnanswered(asked)) {
      verdict(asked, " did not answer");
      continue;
    }
    const sockaddr_in to = SocketAddress(address, settings_.port);
    asked.fd = NameServiceSocket(lana, &to);
    if (asked.fd < 0) continue;
    asked.nextTry = start;
    asking.push_back(std::move(asked));
  }

  Lookup lookup;
  bool settled = false;
  bool cancelled = false;
  for (;;) {
    const Clock::time_point now = Clock::now();
    // Tries that are due, and servers whose time is up.
    for (WinsQuery& asked : asking) {
      if (asked.over) continue;
      if (asked.waitUntil) {
        if (now >= *asked.waitUntil) asked.over = true;
        continue;
      }
      if (now >= asked.silentAt || (asked.sent == settings_.winsTries && now >= asked.nextTry)) {
        asked.over = true;
        if (stillUnanswered(asked) && now >= asked.silentAt) verdict(asked, " did not answer");
        continue;
      }
      if (asked.sent < settings_.winsTries && now >= asked.nextTry) {
        if (send(asked.fd, query.data(), query.size(), 0) < 0 && errno == ECONNREFUSED) {
          verdict(asked, " refused the query");
          continue;
        }
        Say("wins: query " + shown + " to " + asked.shown + " (try " +
            std::to_string(++asked.sent) + ")");
        asked.nextTry = now + settings_.winsInterval;
      }
    }
    // Silent servers wait within the WINS servers' share of the time; one
    // that asked us to wait, within the lookup's own deadline.
    Deadline limit = phase;
    Clock::time_point wake = Clock::time_point::max();
    std::vector<pollfd> fds;
    std::vector<WinsQuery*> polled;
    for (WinsQuery& asked : asking) {
      if (asked.over) continue;
      if (asked.waitUntil) {
        limit = deadline;
        wake = std::min(wake, *asked.waitUntil);
      } else {
        wake = std::min({wake, asked.nextTry, asked.silentAt});
      }
      fds.push_back({asked.fd, POLLIN, 0});
      polled.push_back(&asked);
    }
    if (fds.empty()) break;
    const bool passed = limit && now >= *limit;
    if (limit) wake = std::min(wake, *limit);
    if (cancelFd >= 0) fds.push_back({cancelFd, POLLIN, 0});
    // A time that has passed (while the process was stopped, say) still
    // lets what has already arrived count: one look, no wait.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    const int timeoutMs = passed ? 0 : static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    if (PollNotingLongWait(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
    if (cancelFd >= 0 && fds.back().revents != 0) {
      cancelled = true;
      break;
    }
    // Every server that spoke is heard before the lookup settles, so that a
    // refusal or a silence ended by this round is not lost.
    for (std::size_t index = 0; index < polled.size(); ++index) {
      if (fds[index].revents == 0) continue;
      WinsQuery& asked = *polled[index];
      std::uint8_t packet[1500];
      for (;;) {
        const ssize_t n = recv(asked.fd, packet, sizeof packet, MSG_DONTWAIT);
        if (n < 0 && errno == ECONNREFUSED) {
          verdict(asked, " refused the query");
          break;
        }
        if (n < 0) break;
        const NameQueryAnswer answer =
            wire::ParseNameQueryAnswer(std::span(packet, static_cast<std::size_t>(n)), id, name);
        if (answer.kind == NameQueryAnswer::Kind::Unrelated) continue;
        {
          const std::lock_guard lock(mutex_);
          winsServers_[asked.server].unansweredSince.reset();
        }
        if (settled) continue;  // the first word is final
        switch (answer.kind) {
          case NameQueryAnswer::Kind::Positive: {
            in_addr found{};
            found.s_addr = answer.address;
            if (!IsSessionTarget(found, lana)) {
              Say("Name answer refused: " + wire::NameText(name) + " is not at " +
                  AddressText(found));
              break;
            }
            Say("wins: " + asked.shown + " says " + shown + " is at " + AddressText(found));
            lookup = Lookup::At(found);
            settled = true;
            break;
          }
          case NameQueryAnswer::Kind::Negative:
            Say("wins: " + asked.shown + " says " + shown + " does not exist (RCODE " +
                std::to_string(answer.rcode) + ")");
            lookup.kind = Lookup::Kind::Denied;
            settled = true;
            break;
          case NameQueryAnswer::Kind::Wait: {
            const auto wait = std::min<std::chrono::seconds>(std::chrono::seconds(answer.ttl),
                                                             kMaxAcknowledgementWait);
            Say("wins: " + asked.shown + " asks to wait " + std::to_string(wait.count()) +
                " s for " + shown);
            asked.waitUntil = std::max(asked.waitUntil.value_or(Clock::now()), Clock::now() + wait);
            break;
          }
          case NameQueryAnswer::Kind::Unrelated: break;
        }
      }
    }
    if (settled || passed) break;
  }
  for (const WinsQuery& asked : asking) close(asked.fd);
  if (cancelled) return {Lookup::Kind::Cancelled, {}};
  return lookup;
}

NameResolver::Lookup NameResolver::FromHost(const wire::Name16& name) {
  const std::string shown = wire::NameWithSuffix(name);
  // The host's names are computers' names: Samba asks the resolver only for
  // the <00> and <20> names that stand for them.
  if (name[15] != 0x00 && name[15] != 0x20) {
    Say("host: not asked for " + shown + " (only <00> and <20> names)");
    return {};
  }
  const std::string text = wire::NameText(name);
  if (text.empty()) return {};
  if (const std::optional<in_addr> address = HostResolverAddress(text)) {
    Say("host: " + shown + " is at " + AddressText(*address));
    return Lookup::At(*address);
  }
  Say("host: " + text + " not found");
  return {};
}

NameResolver::Lookup NameResolver::FromBroadcast(const wire::Name16& name, const LanaAddress& lana,
                                                 int cancelFd, const Deadline& deadline) {
  const std::string shown = wire::NameWithSuffix(name);
  const std::string broadcastText = AddressText(lana.broadcast);
  const int fd = NameServiceSocket(lana, nullptr);
  if (fd < 0) return {};
  const std::uint16_t id = NextTransactionId();
  const wire::Bytes query = wire::BuildNameQuery(id, name);
  const sockaddr_in to = SocketAddress(lana.broadcast, settings_.port);
  Lookup lookup;
  // Answers to any try of this lookup count; everything else is dropped.
  const Exchange exchange = Ask(
      fd, &to, query, settings_.queryTries, settings_.queryInterval, cancelFd, deadline,
      [&](int attempt) {
        Say("bcast: query " + shown + " on " + broadcastText + " (try " + std::to_string(attempt) +
            ")");
      },
      [&](std::span<const std::uint8_t> packet, in_addr from, Clock::time_point&) {
        const wire::NameQueryAnswer answer = wire::ParseNameQueryAnswer(packet, id, name);
        // Only a name server denies a name, and any host can claim to be
        // one: a denial stops the broadcasts, but the owner's answer to an
        // earlier one still counts.
        if (answer.kind == wire::NameQueryAnswer::Kind::Negative) {
          Say("bcast: " + AddressText(from) + " says " + shown + " does not exist (RCODE " +
              std::to_string(answer.rcode) + ")");
          return Heard::NoResend;
        }
        if (answer.kind != wire::NameQueryAnswer::Kind::Positive) return Heard::Nothing;
        in_addr found{};
        found.s_addr = answer.address;
        // A host that points us at ourselves or at many hosts is not
        // believed; another may still answer truthfully.
        if (!IsSessionTarget(found, lana)) {
          Say("Name answer refused: " + wire::NameText(name) + " is not at " + AddressText(found));
          return Heard::Nothing;
        }
        Say("bcast: " + AddressText(from) + " says " + shown + " is at " + AddressText(found));
        lookup = Lookup::At(found);
        return Heard::Settled;
      });
  close(fd);
  if (exchange == Exchange::Cancelled) return {Lookup::Kind::Cancelled, {}};
  if (exchange != Exchange::Answered) Say("bcast: no answer for " + shown);
  return lookup;
}

wire::Name16 NameResolver::CalledName(in_addr address, const wire::Name16& fallback,
                                      const LanaAddress& lana, int cancelFd,
                                      const Deadline& deadline) {
  const std::string addressText = AddressText(address);
  {
    const std::lock_guard lock(mutex_);
    if (const auto known = calledNames_.find(address.s_addr); known != calledNames_.end()) {
      return known->second;
    }
  }
  const sockaddr_in to = SocketAddress(address, settings_.port);
  const int fd = NameServiceSocket(lana, &to);
  if (fd < 0) return fallback;
  const std::uint16_t id = NextTransactionId();
  const wire::Bytes request = wire::BuildNodeStatusRequest(id);
  std::optional<std::vector<wire::NodeStatusName>> names;
  const Exchange exchange = Ask(
      fd, nullptr, request, settings_.statusTries, settings_.statusInterval, cancelFd, deadline,
      [&](int attempt) {
        Say("Node status: asking " + addressText + " for its names (try " +
            std::to_string(attempt) + ")");
      },
      [&](std::span<const std::uint8_t> packet, in_addr, Clock::time_point&) {
        names = wire::ParseNodeStatusResponse(packet, id);
        return names ? Heard::Settled : Heard::Nothing;
      });
  close(fd);
  if (exchange == Exchange::Cancelled) return fallback;

  wire::Name16 called = fallback;
  const std::string fallbackText = wire::NameWithSuffix(fallback);
  if (names) {
    std::string listed;
    for (const wire::NodeStatusName& entry : *names) {
      if (!listed.empty()) listed += ' ';
      listed += wire::NameWithSuffix(entry.name);
      if (entry.flags & wire::kNameFlagGroup) listed += "(group)";
    }
    Say("Node status: " + addressText + " has " + (listed.empty() ? "no names" : listed));
    if (const std::optional<wire::Name16> messenger = wire::MessengerName(*names)) {
      called = *messenger;
      Say("Node status: calling " + addressText + " as " + wire::NameWithSuffix(called));
    } else {
      Say("Node status: " + addressText + " has no unique <03> name; calling it as " +
          fallbackText);
    }
  } else {
    Say("Node status: " + addressText +
        (exchange == Exchange::Refused ? " has no name service" : " did not answer") +
        "; calling it as " + fallbackText);
  }
  const std::lock_guard lock(mutex_);
  calledNames_[address.s_addr] = called;
  return called;
}

}  // namespace lomp::platform::nbt
