#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace lomp::platform {
namespace {

struct Monitor {
  std::mutex mutex;
  std::condition_variable changed;
};

Monitor& TheMonitor() {
  static Monitor* const monitor = new Monitor();  // used until the process ends
  return *monitor;
}

class RealClock final : public SyncClock {
 public:
  SteadyClock::time_point Now() const override { return SteadyClock::now(); }
};

RealClock realClock;
std::atomic<SyncClock*> installedClock{&realClock};

SyncClock& TheClock() {
  return *installedClock.load();
}

// What the first wait that lasts calls; cleared as it is called.
std::atomic<void (*)()> longWaitHook{nullptr};

}  // namespace

void CallOnFirstLongWait(void (*hook)()) {
  longWaitHook = hook;
}

void NoteLongWait() {
  if (void (*const hook)() = longWaitHook.exchange(nullptr)) hook();
}

bool LongWaitAwaited() {
  return longWaitHook.load() != nullptr;
}

int PollNotingLongWait(pollfd* fds, nfds_t count, int timeoutMs) {
  const int moment = static_cast<int>(kMomentOfWait.count());
  if (!LongWaitAwaited() || (timeoutMs >= 0 && timeoutMs <= moment)) {
    return poll(fds, count, timeoutMs);
  }
  const SteadyClock::time_point began = SteadyClock::now();
  const int ready = poll(fds, count, moment);
  if (ready != 0) return ready;
  NoteLongWait();
  if (timeoutMs < 0) return poll(fds, count, -1);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - began).count();
  return poll(fds, count, static_cast<int>(std::max<long long>(timeoutMs - waited, 0)));
}

void InstallSyncClock(SyncClock* clock) {
  installedClock = clock != nullptr ? clock : &realClock;
}

void Event::Set() {
  Monitor& monitor = TheMonitor();
  {
    const std::lock_guard lock(monitor.mutex);
    signalled_ = true;
  }
  monitor.changed.notify_all();
}

void Event::Reset() {
  const std::lock_guard lock(TheMonitor().mutex);
  signalled_ = false;
}

bool Event::IsSet() const {
  const std::lock_guard lock(TheMonitor().mutex);
  return signalled_;
}

void WaitableTimer::SetRelative(std::chrono::milliseconds due) {
  Monitor& monitor = TheMonitor();
  {
    const std::lock_guard lock(monitor.mutex);
    deadline_ = TheClock().Now() + std::max(due, std::chrono::milliseconds(0));
  }
  // Waiters recompute how long they may sleep.
  monitor.changed.notify_all();
}

std::optional<std::chrono::milliseconds> WaitableTimer::Remaining() const {
  const std::lock_guard lock(TheMonitor().mutex);
  if (!deadline_) return std::nullopt;
  const auto left = *deadline_ - TheClock().Now();
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(left), std::chrono::milliseconds(0));
}

void WaitableTimer::Cancel() {
  const std::lock_guard lock(TheMonitor().mutex);
  deadline_.reset();
}

int WaitForAny(std::initializer_list<const Waitable*> objects,
               std::optional<std::chrono::milliseconds> timeout) {
  Monitor& monitor = TheMonitor();
  std::optional<SteadyClock::time_point> giveUp;
  SyncClock& clock = TheClock();
  if (timeout) giveUp = clock.Now() + std::max(*timeout, std::chrono::milliseconds(0));
  const SteadyClock::time_point began = SteadyClock::now();

  std::unique_lock lock(monitor.mutex);
  for (;;) {
    const auto now = clock.Now();
    int index = 0;
    for (const Waitable* object : objects) {
      if (object->IsSignalledLocked(now)) return index;
      ++index;
    }
    if (giveUp && now >= *giveUp) return kWaitTimeout;

    std::optional<SteadyClock::time_point> wake = giveUp;
    for (const Waitable* object : objects) {
      if (const auto deadline = object->DeadlineLocked()) {
        wake = wake ? std::min(*wake, *deadline) : *deadline;
      }
    }
    if (wake && clock.AdvanceTo(*wake)) continue;  // simulated time moves at once
    if (LongWaitAwaited()) {
      const SteadyClock::time_point momentEnds = began + kMomentOfWait;
      if (SteadyClock::now() < momentEnds) {
        monitor.changed.wait_until(lock, wake ? std::min(*wake, momentEnds) : momentEnds);
        continue;
      }
      NoteLongWait();
    }
    if (wake) {
      monitor.changed.wait_until(lock, *wake);
    } else {
      monitor.changed.wait(lock);
    }
  }
}

bool WaitForSingle(const Waitable& object, std::optional<std::chrono::milliseconds> timeout) {
  return WaitForAny({&object}, timeout) == 0;
}

void Sleep(std::chrono::milliseconds duration) {
  SyncClock& clock = TheClock();
  if (clock.AdvanceTo(clock.Now() + duration)) return;
  if (duration > kMomentOfWait) NoteLongWait();
  std::this_thread::sleep_for(duration);
}

}  // namespace lomp::platform
