#include "platform/session_slots.h"

#include <poll.h>

namespace lomp::platform {
namespace {

// How often a wait for a slot looks at its cancel descriptor.
constexpr auto kCancelCheck = std::chrono::milliseconds(20);

bool Cancelled(int cancelFd) {
  if (cancelFd < 0) return false;
  pollfd cancel{cancelFd, POLLIN, 0};
  return poll(&cancel, 1, 0) > 0;
}

}  // namespace

SessionSlot& SessionSlot::operator=(SessionSlot&& other) noexcept {
  if (this != &other) {
    if (slots_ != nullptr) slots_->Give();
    slots_ = other.slots_;
    other.slots_ = nullptr;
  }
  return *this;
}

SessionSlot::~SessionSlot() {
  if (slots_ != nullptr) slots_->Give();
}

SessionSlots& SessionSlots::Process() {
  // Never destroyed: sessions may end while the program does.
  static auto* slots = new SessionSlots;
  return *slots;
}

void SessionSlots::SetLimit(std::size_t limit) {
  {
    const std::lock_guard lock(mutex_);
    limit_ = limit;
  }
  freed_.notify_all();
}

SessionSlot SessionSlots::Take(std::optional<std::chrono::steady_clock::time_point> deadline,
                               int cancelFd) {
  std::unique_lock lock(mutex_);
  while (limit_ != 0 && held_ >= limit_) {
    auto until = std::chrono::steady_clock::now() + kCancelCheck;
    if (deadline && *deadline < until) until = *deadline;
    freed_.wait_until(lock, until);
    if (limit_ == 0 || held_ < limit_) break;
    if ((deadline && std::chrono::steady_clock::now() >= *deadline) || Cancelled(cancelFd)) {
      return {};
    }
  }
  ++held_;
  return SessionSlot(this);
}

std::size_t SessionSlots::held() const {
  const std::lock_guard lock(mutex_);
  return held_;
}

void SessionSlots::Give() {
  {
    const std::lock_guard lock(mutex_);
    if (held_ > 0) --held_;
  }
  freed_.notify_one();
}

}  // namespace lomp::platform
