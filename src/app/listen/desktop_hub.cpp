#include "app/listen/desktop_hub.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/local_socket.h"

namespace lomp {
namespace {

constexpr int kPollMs = 500;
constexpr std::size_t kReadBlock = 4096;

}  // namespace

DesktopHub::DesktopHub(int listener, RecipientOf recipientOf, Keeper keep,
                       std::set<unsigned> submitters, std::ostream& diagnostics,
                       DesktopHubLimits limits, Agentless agentless)
    : listener_(listener),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      recipientOf_(std::move(recipientOf)),
      keep_(std::move(keep)),
      agentless_(std::move(agentless)),
      submitters_(std::move(submitters)),
      diagnostics_(diagnostics),
      limits_(limits) {
  thread_ = std::thread([this] { Run(); });
}

DesktopHub::~DesktopHub() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  Wake();
  thread_.join();
  for (const Peer& peer : peers_) close(peer.socket);
  close(listener_);
  if (wake_ >= 0) close(wake_);
}

void DesktopHub::Wake() {
  const std::uint64_t one = 1;
  if (wake_ >= 0) (void)!write(wake_, &one, sizeof one);
}

void DesktopHub::Say(const std::string& line) {
  diagnostics_ << "lomp: " << line << "\n";
  diagnostics_.flush();
}

void DesktopHub::Deliver(const Notice& notice) {
  std::pair<std::optional<unsigned>, std::set<unsigned>> delivered;
  {
    const std::lock_guard lock(mutex_);
    delivered = DeliverLocked(notice);
  }
  Wake();
  if (agentless_) agentless_(notice, delivered.first, delivered.second);
}

std::pair<std::optional<unsigned>, std::set<unsigned>> DesktopHub::DeliverLocked(
    const Notice& notice) {
  const std::string frame = EncodeNotice(notice);
  const std::optional<unsigned> user = recipientOf_(notice);
  std::set<unsigned> withAgents;
  for (const Peer& peer : peers_) {
    if (peer.role == Role::Agent) withAgents.insert(peer.uid);
  }
  if (user) {
    bool sent = false;
    for (Peer& peer : peers_) {
      if (peer.role == Role::Agent && peer.uid == *user) {
        Send(peer, frame);
        sent = true;
      }
    }
    if (!sent) {
      auto& kept = keptForUser_[*user];
      kept.push_back(frame);
      if (kept.size() > limits_.keptPerUser) kept.pop_front();
    }
    return {user, withAgents};
  }
  keptForEveryone_.push_back({++lastSequence_, frame});
  if (keptForEveryone_.size() > limits_.keptForEveryone) keptForEveryone_.pop_front();
  for (Peer& peer : peers_) {
    if (peer.role == Role::Agent) {
      Send(peer, frame);
      seenByUser_[peer.uid] = lastSequence_;
    }
  }
  return {user, withAgents};
}

std::size_t DesktopHub::Agents() {
  const std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      peers_.begin(), peers_.end(), [](const Peer& peer) { return peer.role == Role::Agent; }));
}

void DesktopHub::Send(Peer& peer, const std::string& frame) {
  if (peer.role != Role::Agent) return;
  // Straight onto the socket while it takes it: what waits for the hub's
  // thread is only what the agent has not read yet.
  std::size_t sent = 0;
  if (peer.unsent.empty()) {
    const ssize_t length =
        send(peer.socket, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (length > 0) sent = static_cast<std::size_t>(length);
  }
  if (sent == frame.size()) return;
  if (peer.unsent.size() + frame.size() - sent > limits_.maxUnsentBytes) {
    Say("a desktop agent of user " + std::to_string(peer.uid) + " reads nothing; let go");
    peer.role = Role::Closing;
    peer.unsent.clear();
    return;
  }
  peer.unsent.append(frame, sent);
}

void DesktopHub::BecomeAgent(Peer& peer) {
  peer.role = Role::Agent;
  const auto own = keptForUser_.find(peer.uid);
  if (own != keptForUser_.end()) {
    for (const std::string& frame : own->second) Send(peer, frame);
    keptForUser_.erase(own);
  }
  // Notices for everyone that this user's agents have not had (all that are
  // kept, for a user whose agent never connected before).
  const std::uint64_t seen = seenByUser_.count(peer.uid) ? seenByUser_[peer.uid] : 0;
  for (const Kept& kept : keptForEveryone_) {
    if (kept.sequence > seen) Send(peer, kept.frame);
  }
  seenByUser_[peer.uid] = lastSequence_;
}

void DesktopHub::Submit(Peer& peer, std::string_view payload, std::unique_lock<std::mutex>& lock) {
  const std::optional<Notice> notice = DecodeNotice(payload);
  bool kept = false;
  if (!notice) {
    Say("a message handed over by user " + std::to_string(peer.uid) + " is malformed");
  } else {
    // The record comes first, outside the lock: it may take a moment, and
    // the notice is passed on only once it is kept.
    lock.unlock();
    kept = keep_(*notice);
    lock.lock();
    if (kept) {
      const auto delivered = DeliverLocked(*notice);
      lock.unlock();
      if (agentless_) agentless_(*notice, delivered.first, delivered.second);
      lock.lock();
    }
  }
  peer.unsent += kept ? 'K' : 'N';
  peer.role = Role::Closing;
}

void DesktopHub::Refuse(Peer& peer) {
  peer.role = Role::Closing;
  peer.unsent.clear();
  peer.unsent.push_back('N');
}

void DesktopHub::Accept() {
  for (;;) {
    const int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0) return;
    const std::optional<unsigned> uid = platform::LocalPeerUid(socket);
    if (!uid || peers_.size() >= limits_.maxPeers) {
      close(socket);
      continue;
    }
    Peer peer;
    peer.socket = socket;
    peer.uid = *uid;
    peer.since = std::chrono::steady_clock::now();
    peers_.push_back(std::move(peer));
  }
}

void DesktopHub::Read(Peer& peer, std::unique_lock<std::mutex>& lock) {
  char block[kReadBlock];
  const ssize_t length = read(peer.socket, block, sizeof block);
  if (length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR)) {
    peer.role = Role::Closing;
    peer.unsent.clear();
    return;
  }
  if (length < 0) return;
  if (peer.role == Role::Agent || peer.role == Role::Closing) return;  // an agent says nothing
  peer.received.append(block, static_cast<std::size_t>(length));
  if (peer.role == Role::Unknown) {
    const char role = peer.received[0];
    peer.received.erase(0, 1);
    if (role == 'A') {
      BecomeAgent(peer);
      return;
    }
    if (role != 'S' || (peer.uid != 0 && submitters_.count(peer.uid) == 0)) {
      Say("user " + std::to_string(peer.uid) + " may not hand over messages; refused");
      Refuse(peer);
      return;
    }
    peer.role = Role::Submitter;
  }
  if (peer.received.size() < 4) return;
  const std::uint32_t length32 = NoticeFrameLength(peer.received);
  if (length32 > kMaxNoticeFrame) {
    Say("a message handed over by user " + std::to_string(peer.uid) + " is too long");
    Refuse(peer);
    return;
  }
  if (peer.received.size() - 4 < length32) return;
  Submit(peer, std::string_view(peer.received).substr(4, length32), lock);
}

void DesktopHub::Write(Peer& peer) {
  while (!peer.unsent.empty()) {
    const ssize_t length = send(peer.socket, peer.unsent.data(), peer.unsent.size(), MSG_NOSIGNAL);
    if (length < 0) {
      if (errno != EAGAIN && errno != EINTR) {
        peer.unsent.clear();
        peer.role = Role::Closing;
      }
      return;
    }
    peer.unsent.erase(0, static_cast<std::size_t>(length));
  }
}

void DesktopHub::Run() {
  std::unique_lock lock(mutex_);
  while (!ending_) {
    std::vector<pollfd> watched = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Peer& peer : peers_) {
      const short events = static_cast<short>((peer.role == Role::Closing ? 0 : POLLIN) |
                                              (peer.unsent.empty() ? 0 : POLLOUT));
      watched.push_back({peer.socket, events, 0});
    }
    lock.unlock();
    poll(watched.data(), watched.size(), kPollMs);
    lock.lock();
    if (ending_) break;
    if (watched[0].revents != 0) {
      std::uint64_t count = 0;
      (void)!read(wake_, &count, sizeof count);
    }
    // Peers that came while the lock was released keep their place after
    // the ones polled.
    for (std::size_t index = 0; index + 2 < watched.size() && index < peers_.size(); ++index) {
      Peer& peer = peers_[index];
      const short events = watched[index + 2].revents;
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) Read(peer, lock);
    }
    for (Peer& peer : peers_) Write(peer);
    if (watched[1].revents != 0) Accept();
    const auto now = std::chrono::steady_clock::now();
    for (Peer& peer : peers_) {
      const bool silent = peer.role == Role::Unknown || peer.role == Role::Submitter;
      if (silent && now - peer.since > limits_.helloTime) {
        peer.role = Role::Closing;
        peer.unsent.clear();
      }
    }
    const auto done = std::remove_if(peers_.begin(), peers_.end(), [](const Peer& peer) {
      if (peer.role != Role::Closing || !peer.unsent.empty()) return false;
      close(peer.socket);
      return true;
    });
    peers_.erase(done, peers_.end());
  }
}

}  // namespace lomp
