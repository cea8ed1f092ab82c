// Synchronisation in the shape the transports use it: manual-reset events,
// waitable timers armed once with a relative due time, "wait for any" that
// reports the lowest signalled index, and Sleep.
//
// All waitable objects share one process-wide monitor, so a wait on several
// of them needs no per-object wiring. Objects may be set from any thread;
// an object must outlive every wait on it.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace lomp::platform {

using SteadyClock = std::chrono::steady_clock;

inline constexpr int kWaitTimeout = -1;

// Where the timers, waits and sleeps of this file take their time from: the
// steady clock, unless a test installs another.
class SyncClock {
 public:
  virtual ~SyncClock() = default;
  virtual SteadyClock::time_point Now() const = 0;
  // Asked by a wait that would block until `until` with nothing signalled
  // (the monitor held): true when the clock moved there itself, false to
  // wait in real time.
  virtual bool AdvanceTo(SteadyClock::time_point /*until*/) { return false; }
};

// Installs `clock` for every wait from now on; nullptr: the steady clock.
// Only while no wait is in progress.
void InstallSyncClock(SyncClock* clock);

class Waitable {
 public:
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;

 protected:
  Waitable() = default;
  ~Waitable() = default;

 private:
  friend int WaitForAny(std::initializer_list<const Waitable*>,
                        std::optional<std::chrono::milliseconds>);
  // Both are called with the monitor held.
  virtual bool IsSignalledLocked(SteadyClock::time_point now) const = 0;
  virtual std::optional<SteadyClock::time_point> DeadlineLocked() const { return std::nullopt; }
};

// A manual-reset event: stays signalled from Set until Reset.
class Event final : public Waitable {
 public:
  explicit Event(bool initiallySignalled = false) : signalled_(initiallySignalled) {}
  void Set();
  void Reset();
  bool IsSet() const;

 private:
  bool IsSignalledLocked(SteadyClock::time_point) const override { return signalled_; }
  bool signalled_;
};

// A manual-reset timer: unsignalled until armed, signalled from its due time
// on. Arming again replaces the due time.
class WaitableTimer final : public Waitable {
 public:
  // Due `due` from now; zero or negative is due at once.
  void SetRelative(std::chrono::milliseconds due);
  void Cancel();
  // The time until it is due, rounded up to whole milliseconds; zero when
  // it is due, nullopt when it is not armed.
  std::optional<std::chrono::milliseconds> Remaining() const;

 private:
  bool IsSignalledLocked(SteadyClock::time_point now) const override {
    return deadline_ && now >= *deadline_;
  }
  std::optional<SteadyClock::time_point> DeadlineLocked() const override { return deadline_; }
  std::optional<SteadyClock::time_point> deadline_;
};

// Blocks until one of `objects` is signalled and returns the lowest index
// among the signalled ones, or kWaitTimeout when `timeout` passes first
// (no timeout: wait without limit).
int WaitForAny(std::initializer_list<const Waitable*> objects,
               std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// True when `object` was signalled within `timeout`.
bool WaitForSingle(const Waitable& object,
                   std::optional<std::chrono::milliseconds> timeout = std::nullopt);

void Sleep(std::chrono::milliseconds duration);

// The first wait that lasts.
//
// Some of the program's work needs a thread of its own only once a run has
// to wait for something (the signal watcher: a signal that comes earlier
// waits for it), and a thread costs more than a whole delivery to a
// receiver that answers at once. So every wait that may block waits first
// for at most kMomentOfWait and, when it has to go on waiting, calls the
// hook installed here: once, on whichever thread gets there first. The
// waits above (WaitForAny, Sleep) do so themselves.
inline constexpr std::chrono::milliseconds kMomentOfWait{10};

// Installs `hook` for the first wait that lasts from now on; nullptr
// removes it.
void CallOnFirstLongWait(void (*hook)());

// Calls the hook, if one is installed and has not been called yet. For a
// wait that is known to last, and before a thread that will be waited for
// is started.
void NoteLongWait();

// True while a hook waits to be called.
bool LongWaitAwaited();

// poll(2), which calls the hook when it has waited a moment and must go on.
// `timeoutMs` as for poll: negative waits without limit.
int PollNotingLongWait(pollfd* fds, nfds_t count, int timeoutMs);

}  // namespace lomp::platform
