#include "platform/nbt/session_acceptor.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/nbt/socket_io.h"

namespace lomp::platform::nbt {
namespace {

// Two encoded names with scopes fit in 2 x 255 bytes.
constexpr std::size_t kMaxRequestPayload = std::size_t{2} * 255;
constexpr std::uint64_t kStop = 1ULL << 40;

struct Caller {
  int fd = -1;
  Clock::time_point deadline;
  std::uint32_t address = 0;
  wire::Bytes got;
  std::optional<std::pair<wire::Name16, wire::Name16>> request;
};

void Answer(int fd, std::span<const std::uint8_t> frame) {
  // A fresh socket has room for a few bytes; a caller that cannot take them
  // is gone anyway.
  [[maybe_unused]] const auto sent =
      ::send(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Reads what the caller sent so far; false when the caller is to be dropped
// (gone, or sending something other than a SESSION REQUEST).
bool ReadRequest(Caller& caller) {
  for (;;) {
    std::size_t want = wire::kFrameHeaderSize;
    if (caller.got.size() >= wire::kFrameHeaderSize) {
      const auto header = wire::ParseFrameHeader(
          std::span<const std::uint8_t, 4>(caller.got.data(), wire::kFrameHeaderSize));
      if (!header || header->type != wire::kSessionRequest || header->length > kMaxRequestPayload) {
        return false;
      }
      want += header->length;
    }
    if (caller.got.size() == want && want > wire::kFrameHeaderSize) {
      caller.request = wire::ParseSessionRequest(
          std::span<const std::uint8_t>(caller.got).subspan(wire::kFrameHeaderSize));
      return caller.request.has_value();
    }
    std::array<std::uint8_t, kMaxRequestPayload + wire::kFrameHeaderSize> chunk{};
    const ssize_t count = recv(caller.fd, chunk.data(), want - caller.got.size(), MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (count <= 0) return false;
    caller.got.insert(caller.got.end(), chunk.begin(), chunk.begin() + count);
  }
}

}  // namespace

SessionAcceptor::SessionAcceptor(int listenFd, AcceptLimits limits, Place place,
                                 std::function<void(const std::string&)> trace)
    : listenFd_(listenFd), limits_(limits), place_(std::move(place)), trace_(std::move(trace)) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    close(listenFd_);
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    close(wakeFd_);
    close(listenFd_);
    throw;
  }
}

SessionAcceptor::~SessionAcceptor() {
  const std::uint64_t stop = kStop;
  [[maybe_unused]] const auto written = write(wakeFd_, &stop, sizeof stop);
  thread_.join();
  close(wakeFd_);
  close(listenFd_);
}

void SessionAcceptor::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void SessionAcceptor::Run() {
  std::vector<Caller> callers;  // in the order they came
  const auto drop = [&](std::size_t index) {
    close(callers[index].fd);
    callers.erase(callers.begin() + static_cast<std::ptrdiff_t>(index));
  };
  for (;;) {
    std::vector<pollfd> watched{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::optional<Clock::time_point> nearest;
    for (const Caller& caller : callers) {
      watched.push_back({caller.fd, static_cast<short>(caller.request ? 0 : POLLIN), 0});
      nearest = std::min(nearest.value_or(caller.deadline), caller.deadline);
    }
    int timeoutMs = -1;
    if (nearest) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*nearest - Clock::now()).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    if (poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR) {
      if (trace_)
        trace_("Listen: poll: " + std::error_code(errno, std::generic_category()).message());
      return;
    }
    bool woken = false;
    if (watched[0].revents & POLLIN) {
      std::uint64_t value = 0;
      if (read(wakeFd_, &value, sizeof value) == sizeof value && value >= kStop) break;
      woken = true;
    }

    // What the waiting callers sent, and what becomes of them.
    for (std::size_t index = callers.size(); index-- > 0;) {
      Caller& caller = callers[index];
      const bool hadRequest = caller.request.has_value();
      if (!hadRequest && watched[2 + index].revents != 0 && !ReadRequest(caller)) {
        drop(index);
        continue;
      }
      if (!caller.request || (hadRequest && !woken)) continue;
      switch (place_(caller.request->first, caller.request->second, caller.fd)) {
        case Placement::Taken:
          callers.erase(callers.begin() + static_cast<std::ptrdiff_t>(index));
          break;
        case Placement::NotOurs:
          Answer(caller.fd, wire::NegativeSessionResponse(0x82));
          drop(index);
          break;
        case Placement::Waiting: break;
      }
    }
    const auto now = Clock::now();
    for (std::size_t index = callers.size(); index-- > 0;) {
      if (callers[index].deadline > now) continue;
      // Ours, but nobody came to listen on it in time.
      if (callers[index].request) Answer(callers[index].fd, wire::NegativeSessionResponse(0x80));
      drop(index);
    }

    // A flood of connections is taken a bounded batch at a time, so the
    // callers already waiting are still read between batches.
    for (std::size_t batch = 0; batch < limits_.maxWaiting; ++batch) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      const std::uint32_t address = from.sin_addr.s_addr;
      const auto fromThere = std::count_if(callers.begin(), callers.end(),
                                           [&](const Caller& c) { return c.address == address; });
      if (static_cast<std::size_t>(fromThere) >= limits_.maxWaitingPerAddress) {
        close(fd);
        continue;
      }
      if (callers.size() >= limits_.maxWaiting) drop(0);
      SendAtOnce(fd);
      callers.push_back({fd, now + limits_.requestTimeout, address, {}, std::nullopt});
    }
  }
  for (const Caller& caller : callers) close(caller.fd);
}

}  // namespace lomp::platform::nbt
