// How many sessions a run may have under way at once: the one thing a
// delivery holds that costs the peer and the network something. A delivery
// that is only looking for its recipient's name, or waiting to look again,
// holds no slot; it takes one when it calls, and gives it back when the
// session ends (or the call fails).
//
// One set of slots per process, with no limit until the run sets one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

namespace lomp::platform {

class SessionSlots;

// A slot while held; given back when destroyed. Movable.
class SessionSlot {
 public:
  SessionSlot() = default;
  SessionSlot(SessionSlot&& other) noexcept : slots_(other.slots_) { other.slots_ = nullptr; }
  SessionSlot& operator=(SessionSlot&& other) noexcept;
  SessionSlot(const SessionSlot&) = delete;
  SessionSlot& operator=(const SessionSlot&) = delete;
  ~SessionSlot();
  explicit operator bool() const { return slots_ != nullptr; }

 private:
  friend class SessionSlots;
  explicit SessionSlot(SessionSlots* slots) : slots_(slots) {}
  SessionSlots* slots_ = nullptr;
};

class SessionSlots {
 public:
  static SessionSlots& Process();

  // At most `limit` slots held at once from now on; 0: no limit. Slots
  // held beyond a lowered limit stay held until given back.
  void SetLimit(std::size_t limit);

  // A slot, once one is free; an empty one when `deadline` passed first or
  // `cancelFd` (when not -1) became readable.
  SessionSlot Take(std::optional<std::chrono::steady_clock::time_point> deadline, int cancelFd);

  std::size_t held() const;

 private:
  friend class SessionSlot;
  void Give();

  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::size_t limit_ = 0;
  std::size_t held_ = 0;
};

}  // namespace lomp::platform
