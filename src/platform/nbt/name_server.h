// The serving side of the name service on UDP 137: answers the NAME QUERY
// (broadcast or unicast) and NODE STATUS requests about the names this
// process holds, and defends them against another node's registration, on
// the interface each request came in on. Also the B-node's own side:
// registering a name on a subnet (three broadcasts; any owner that objects
// wins) and releasing it.
//
// Owned by the provider; one thread of its own, ended by the destructor.
// `names` is called on that thread and may take the provider's lock, so the
// destructor must not run under it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/nbt/lana.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct NameServerSettings {
  std::uint16_t port = 137;
  // Where the server listens: every address, as broadcasts reach only such
  // a socket (tests: an address of their own).
  in_addr_t bindAddress = INADDR_ANY;
  std::uint32_t ttlSeconds = 300000;  // what answers say a name holds for
  int registrationTries = 3;
  std::chrono::milliseconds registrationInterval{250};
};

// The names held on the interface `interfaceName`, and its address; nullopt
// for an interface that is no LANA of ours.
struct HeldNames {
  in_addr address{};
  std::vector<wire::Name16> names;
};
using HeldNamesLookup = std::function<std::optional<HeldNames>(const std::string& interfaceName)>;

class NameServer {
 public:
  // Binds UDP `settings.port` on every address; throws nothing: Problem()
  // says what went wrong, and a server with a problem answers nothing.
  NameServer(NameServerSettings settings, HeldNamesLookup names,
             std::function<void(const std::string&)> trace);
  ~NameServer();
  NameServer(const NameServer&) = delete;
  NameServer& operator=(const NameServer&) = delete;

  // Empty when serving; else "UDP port 137 is in use by another program
  // (another NetBIOS server?)" or the failed call.
  const std::string& Problem() const { return problem_; }

  // Keeps `name` at `address` registered with the WINS server `server`:
  // refreshed there at half of `ttl`, until Forget.
  void Keep(const wire::Name16& name, in_addr address, in_addr server, std::chrono::seconds ttl);
  void Forget(const wire::Name16& name, in_addr address);

 private:
  void Run();
  void RefreshDue();

  struct Kept {
    wire::Name16 name;
    in_addr address;
    in_addr server;
    std::chrono::seconds every;
    std::chrono::steady_clock::time_point next;
  };
  void Answer(const std::uint8_t* packet, std::size_t size, const sockaddr_in& from,
              int interfaceIndex);

  const NameServerSettings settings_;
  const HeldNamesLookup names_;
  const std::function<void(const std::string&)> trace_;
  std::string problem_;
  int fd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex keptMutex_;
  std::vector<Kept> kept_;
  std::thread thread_;
};

// How registering a name on a subnet ended.
struct Registration {
  bool registered = false;
  std::string owner;    // refused: the address that holds the name ("10.1.2.3")
  std::string problem;  // neither: what failed locally
};

// Registers the unique `name` at `lana`'s address by broadcast: `tries`
// requests `interval` apart; a node that answers with a refusal owns the
// name. Nobody objecting, the registration ends with an overwrite demand.
// Blocks for tries x interval.
Registration RegisterOnSubnet(const LanaAddress& lana, const wire::Name16& name,
                              const NameServerSettings& settings);

// Broadcasts the release of `name` at `lana`'s address; does not wait.
void ReleaseOnSubnet(const LanaAddress& lana, const wire::Name16& name,
                     const NameServerSettings& settings);

// Registers `name` at `lana`'s address with the WINS server `server`: up to
// `tries` requests `interval` apart, and as long as the server asks to wait
// (at most `waitLimit` in all). Registered: `ttl` says for how long; refused:
// `owner` is the server's word that another node holds the name.
struct ServerRegistration {
  bool registered = false;
  bool answered = false;  // the server answered at all
  std::chrono::seconds ttl{0};
  std::string refusal;  // "the WINS server 10.1.2.3 says another node holds it"
};
ServerRegistration RegisterWithServer(const LanaAddress& lana, const wire::Name16& name,
                                      in_addr server, int tries, std::chrono::milliseconds interval,
                                      std::chrono::milliseconds waitLimit,
                                      const NameServerSettings& settings);

// Sends the release of `name` at `lana`'s address to the WINS server; does
// not wait.
void ReleaseWithServer(const LanaAddress& lana, const wire::Name16& name, in_addr server,
                       const NameServerSettings& settings);

}  // namespace lomp::platform::nbt
