// The receiver service's side of the desktops: a local socket where each
// user's agent (lomp --agent) connects to be handed the notices meant for
// that user, and where Samba's message command (lomp --from-samba) hands
// over the messages smbd took.
//
// A peer is known by its user id (the kernel's, SO_PEERCRED). It says what
// it is with its first byte: 'A' for an agent, which is then sent frames
// (notice.h) and sends nothing that is read; 'S' for a submitter, which
// sends one frame and is answered 'K' (kept and passed on) or 'N' (not
// kept). Only root and the ids in `submitters` may submit.
//
// A notice for a user (`recipientOf` gives the user id) goes to that user's
// agents only; any other (to this computer, to a group) to every agent.
// What finds no agent is kept, bounded, and sent when one connects: a
// user's own notices, and the latest notices for everyone that the user's
// agents have not had.
//
// The hub owns its socket and one thread, which serves every peer; Deliver
// is called from any thread. The destructor ends the thread and closes
// every connection; what agents were not yet sent is lost with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/listen/notice.h"

namespace lomp {

struct DesktopHubLimits {
  std::size_t maxPeers = 64;
  std::size_t keptPerUser = 32;  // a user's own notices kept while no agent runs
  std::size_t keptForEveryone = 32;
  std::size_t maxUnsentBytes = std::size_t{256} * 1024;  // an agent that reads nothing is let go
  std::chrono::milliseconds helloTime{5000};
};

class DesktopHub {
 public:
  using RecipientOf = std::function<std::optional<unsigned>(const Notice&)>;
  using Keeper = std::function<bool(const Notice&)>;
  // Told of each notice after it went to the agents: whose it is (nothing:
  // everyone's) and which users have an agent; for the users who have none.
  using Agentless =
      std::function<void(const Notice&, std::optional<unsigned> user, const std::set<unsigned>&)>;

  // `listener` is a listening, non-blocking socket, owned by the hub from
  // now on. `keep` records a submitted notice before it is passed on (false:
  // not kept, and the submitter is told so).
  DesktopHub(int listener, RecipientOf recipientOf, Keeper keep, std::set<unsigned> submitters,
             std::ostream& diagnostics, DesktopHubLimits limits = {}, Agentless agentless = {});
  ~DesktopHub();
  DesktopHub(const DesktopHub&) = delete;
  DesktopHub& operator=(const DesktopHub&) = delete;

  // Passes a notice on to its agents, or keeps it for them. Never blocks on
  // a peer.
  void Deliver(const Notice& notice);

  // How many agents are connected now.
  std::size_t Agents();

 private:
  enum class Role { Unknown, Agent, Submitter, Closing };
  struct Peer {
    int socket = -1;
    unsigned uid = 0;
    Role role = Role::Unknown;
    std::string received;
    std::string unsent;
    std::chrono::steady_clock::time_point since;
  };
  struct Kept {
    std::uint64_t sequence = 0;
    std::string frame;
  };

  void Run();
  void Accept();
  // Read and Submit are called with `lock` held on mutex_; a submission
  // lets go of it while the notice is kept and while agentless_ runs.
  void Read(Peer& peer, std::unique_lock<std::mutex>& lock);
  void Write(Peer& peer);
  void BecomeAgent(Peer& peer);
  void Submit(Peer& peer, std::string_view payload, std::unique_lock<std::mutex>& lock);
  // Answers a submitter 'N' and lets it go.
  void Refuse(Peer& peer);
  // Passes the notice on; whose it is and the users with an agent then.
  std::pair<std::optional<unsigned>, std::set<unsigned>> DeliverLocked(const Notice& notice);
  void Send(Peer& peer, const std::string& frame);
  void Wake();
  void Say(const std::string& line);

  const int listener_;
  const int wake_;  // an eventfd that Deliver and the destructor signal
  const RecipientOf recipientOf_;
  const Keeper keep_;
  const Agentless agentless_;
  const std::set<unsigned> submitters_;
  std::ostream& diagnostics_;
  const DesktopHubLimits limits_;

  std::mutex mutex_;
  bool ending_ = false;
  std::vector<Peer> peers_;
  std::map<unsigned, std::deque<std::string>> keptForUser_;
  std::deque<Kept> keptForEveryone_;
  std::uint64_t lastSequence_ = 0;
  std::map<unsigned, std::uint64_t> seenByUser_;  // the last notice for everyone each user had
  std::thread thread_;
};

}  // namespace lomp
