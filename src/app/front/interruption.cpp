#include "app/front/interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

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

void WatchForInterruption() {
  const sigset_t watched = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &watched, nullptr);
  try {
    std::thread([watched] {
      int signal = 0;
      if (sigwait(&watched, &signal) != 0) return;
      // From here a second signal ends the process at once: it is delivered
      // to this thread, the only one that does not block it.
      pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
      DeliveryPipeline::InterruptCurrent([&] { EndBy(signal, watched); });
      EndBy(signal, watched);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the signals end the program as they always do.
    pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
  }
}

}  // namespace lomp
