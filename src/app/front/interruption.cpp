#include "app/front/interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <system_error>
#include <thread>

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
  consoleStream().flush();
  consoleErrorStream().flush();
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

std::thread& Watcher() {
  static std::thread watcher;
  return watcher;
}
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

void StartWatchingForInterruption() {
  if (Watcher().joinable()) return;
  const sigset_t watched = WatchedSignals();
  sigset_t waited = watched;
  sigaddset(&waited, kWake);
  try {
    Watcher() = std::thread([watched, waited] {
      int signal = NextSignal(waited);
      if (signal == 0) return;
      std::function<void()> handler;
      {
        const std::lock_guard lock(handlerMutex);
        handler = Handler();
      }
      if (handler) {
        handler();
        // A second signal ends the program at once.
        signal = NextSignal(waited);
        if (signal == 0) return;
        EndBy(signal, watched);
      }
      // From here a second signal ends the process at once: it is delivered
      // to this thread, the only one that does not block it.
      pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
      DeliveryPipeline::InterruptCurrent([&] { EndBy(signal, watched); });
      EndBy(signal, watched);
    });
  } catch (const std::system_error&) {
    // No thread to be had: the signals end the program as they always do.
    pthread_sigmask(SIG_UNBLOCK, &waited, nullptr);
  }
}

void StopWatchingForInterruption() {
  std::thread& watcher = Watcher();
  if (!watcher.joinable()) return;
  stopping = true;
  pthread_kill(watcher.native_handle(), kWake);
  watcher.join();
}

}  // namespace lomp
