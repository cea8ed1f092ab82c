#include "app/front/interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "app/front/console.h"
#include "app/front/delivery_pipeline.h"
#include "platform/sync.h"

namespace lomp {
namespace {

// The signals that end a run, less the ones the program was started with
// ignored.
sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&set, signal);
  }
  return set;
}

// `reportEnded`: the run ended and its report with it; else the report is
// ended with a line feed, as after a run that was not cut short.
[[noreturn]] void EndBy(int signal, const sigset_t& watched, bool reportEnded = false) {
  if (!reportEnded && consoleWritten()) consoleWrite(kMaskReport, "\n", true);
  consoleFlush();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
  raise(signal);  // ends the process, this thread's signal being unblocked
  _exit(128 + signal);
}

}  // namespace

namespace {

// Wakes the watching thread to end it. SIGURG is ignored by default, so
// taking it over changes nothing for anyone who sends it.
constexpr int kWake = SIGURG;

// The watching thread is a plain POSIX one whose work needs no heap: a
// thread that frees or allocates memory gets an allocation arena of its own,
// which costs more than all else it does in a short run.
struct Watching {
  pthread_t thread{};
  bool started = false;
  bool awaitingWait = false;  // to start at the run's first lasting wait
  sigset_t watched{};         // the signals that end a run, set once at the start
  sigset_t waited{};          // and the one that wakes the watcher
};
Watching watching;
std::mutex watchingMutex;  // guards `watching` while it starts or stops
std::atomic<bool> stopping{false};

std::mutex handlerMutex;
std::function<void()>& Handler() {
  static std::function<void()> handler;
  return handler;
}

// The next watched signal; 0 when the watcher is to end.
int NextSignal(const sigset_t& waited) {
  int signal = 0;
  do {
    if (sigwait(&waited, &signal) != 0 || (signal == kWake && stopping)) return 0;
  } while (signal == kWake);
  return signal;
}

}  // namespace

void SetInterruptionHandler(std::function<void()> handler) {
  const std::lock_guard lock(handlerMutex);
  Handler() = std::move(handler);
}

void WatchForInterruption() {
  const std::lock_guard lock(watchingMutex);
  watching.watched = WatchedSignals();
  watching.waited = watching.watched;
  sigaddset(&watching.waited, kWake);
  pthread_sigmask(SIG_BLOCK, &watching.waited, nullptr);
}

namespace {

void* WatchSignals(void* /*unused*/) {
  const sigset_t& watched = watching.watched;
  int signal = NextSignal(watching.waited);
  if (signal == 0) return nullptr;
  std::function<void()> handler;
  {
    const std::lock_guard lock(handlerMutex);
    handler = Handler();
  }
  if (handler) {
    handler();
    // A second signal ends the program at once.
    signal = NextSignal(watching.waited);
    if (signal == 0) return nullptr;
    EndBy(signal, watched);
  }
  // From here a second signal ends the process at once: it is delivered
  // to this thread, the only one that does not block it.
  pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
  DeliveryPipeline::InterruptCurrent([&] { EndBy(signal, watched); });
  EndBy(signal, watched);
}

// Starts the watching thread, `watchingMutex` held.
void StartLocked() {
  if (watching.started) return;
  if (pthread_create(&watching.thread, nullptr, WatchSignals, nullptr) != 0) {
    // No thread to be had: the signals end the program as they always do.
    pthread_sigmask(SIG_UNBLOCK, &watching.waited, nullptr);
    return;
  }
  watching.started = true;
}

// The hook of the run's first lasting wait; it may come from any thread,
// and after the run has ended it starts nothing.
void StartOnFirstLongWait() {
  const std::lock_guard lock(watchingMutex);
  if (!watching.awaitingWait) return;
  watching.awaitingWait = false;
  StartLocked();
}

}  // namespace

void StartWatchingForInterruption() {
  const std::lock_guard lock(watchingMutex);
  StartLocked();
}

void StartWatchingWhenTheRunWaits() {
  const std::lock_guard lock(watchingMutex);
  if (watching.started) return;
  watching.awaitingWait = true;
  platform::CallOnFirstLongWait(&StartOnFirstLongWait);
}

void StopWatchingForInterruption() {
  platform::CallOnFirstLongWait(nullptr);
  const std::lock_guard lock(watchingMutex);
  watching.awaitingWait = false;
  if (!watching.started) {
    // No wait lasted: a signal that came during the run has waited for its
    // end, and the run ends by it now, its report whole.
    const timespec noWait{};
    const int signal = sigtimedwait(&watching.watched, nullptr, &noWait);
    if (signal > 0) EndBy(signal, watching.watched, true);
    return;
  }
  stopping = true;
  pthread_kill(watching.thread, kWake);
  pthread_join(watching.thread, nullptr);
  watching.started = false;
}

}  // namespace lomp
