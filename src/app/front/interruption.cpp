#include "app/front/interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "app/front/console.h"
#include "app/front/delivery_pipeline.h"

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

[[noreturn]] void EndBy(int signal, const sigset_t& watched) {
  // The report ends with a line feed, as after a run that was not cut short.
  if (consoleWritten()) consoleWrite(kMaskReport, "\n", true);
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
  sigset_t watched{};
  sigset_t waited{};
};
Watching watching;
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
  sigset_t waited = WatchedSignals();
  sigaddset(&waited, kWake);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
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

}  // namespace

void StartWatchingForInterruption() {
  if (watching.started) return;
  watching.watched = WatchedSignals();
  watching.waited = watching.watched;
  sigaddset(&watching.waited, kWake);
  if (pthread_create(&watching.thread, nullptr, WatchSignals, nullptr) != 0) {
    // No thread to be had: the signals end the program as they always do.
    pthread_sigmask(SIG_UNBLOCK, &watching.waited, nullptr);
    return;
  }
  watching.started = true;
}

void StopWatchingForInterruption() {
  if (!watching.started) return;
  stopping = true;
  pthread_kill(watching.thread, kWake);
  pthread_join(watching.thread, nullptr);
  watching.started = false;
}

}  // namespace lomp
