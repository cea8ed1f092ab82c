// What SIGINT, SIGTERM and SIGHUP do to a run: no delivery starts any more,
// the ones under way end as they would (none is left half-sent), the report
// says what became of every recipient submitted (" Not sent. Interrupted"
// for the ones never started), and the program ends by the same signal, so
// that its caller sees the conventional status (130 for SIGINT in a shell).
// A second signal ends the program at once.
//
// A signal that was ignored when the program started (nohup, a background
// job without job control) stays ignored.
//
// The signals are waited for by a thread of their own. A run of one message
// starts it only when it first has to wait longer than a moment
// (platform::kMomentOfWait): a signal that comes earlier waits for it, or
// for the run's end, which then comes by that signal. A run that never waits
// (one message to a receiver that answers at once) is spared the thread,
// which would cost it more than the delivery.
#pragma once

#include <functional>

namespace lomp {

// Blocks the signals in the calling thread. Called first thing in main,
// before any other thread starts, so that every thread inherits the
// blocked signals.
void WatchForInterruption();

// Starts the thread that waits for the signals (once; later calls do
// nothing). A signal that came before waits for it. Called as soon as a run
// that may wait long (a batch, the receiving modes) is more than printing
// its usage or version.
void StartWatchingForInterruption();

// Starts that thread at the run's first wait that lasts, or at the first
// thread that will be waited for (platform::NoteLongWait); until then the
// signals wait. For a run of one message.
void StartWatchingWhenTheRunWaits();

// Makes the first signal call `handler` (on the watching thread) instead of
// interrupting the deliveries; a second signal still ends the program at
// once. Set before the signals may come; the handler must not block.
void SetInterruptionHandler(std::function<void()> handler);

// Ends the thread that waits for the signals, as the program ends normally;
// a signal that comes after it stays blocked, as the program is about to
// return from main. When the thread never started, a signal that came
// during the run ends the program now, by that signal, its report whole.
void StopWatchingForInterruption();

}  // namespace lomp
