// Deliveries that overlap: up to `jobs` recipients at once, reported as if
// they had gone one after the other. With one job nothing overlaps: Submit
// delivers each recipient on the calling thread before it returns, and no
// thread is started.
//
// The caller (the main thread) submits the recipient lists of one or more
// messages in order. Worker threads of the pipeline deliver them; the report
// is written in submission order: "\nTrying to send message to NAME... " once
// every recipient before NAME has been reported, its outcome once NAME's
// delivery has ended. Whichever thread ends the delivery at the head of the
// report writes what has become due, under the pipeline's lock, so the report
// never waits for the main thread (which may be blocked reading a message
// file).
//
// Two deliveries to the same recipient (the same name after upper-casing, the
// same address, or the same group) never overlap, and go in the order
// submitted; nor do one to a name and one to an address, which may be the
// same host. At most `jobs` sessions are under way at once (SessionSlots):
// a delivery that is only looking for its recipient's name, or waiting to
// look again, holds none, so recipients that are switched off cost one
// time-out together instead of one each per `jobs` of them. Up to
// kWaitingDeliveries of those run beside the `jobs`; beyond that, a
// delivery waits for a thread as it waits for a slot. At most a bounded
// window of recipients is held (submitted but not yet reported): Submit
// blocks while the window is full, so a long batch is read as it is
// delivered.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/front/delivery_steps.h"
#include "app/messenger/message_record.h"

namespace lomp {

// Recipients held per job (submitted but not yet reported): enough that a
// slow recipient at the head of the report does not leave the other jobs
// idle for long. The window holds jobs × this at most.
inline constexpr std::size_t kWindowPerJob = 8;
// Deliveries that may look for their recipients' names beside the `jobs`
// that hold sessions: each is a thread that waits, with a small stack in
// use and one datagram socket while it asks. Not with one job, which
// delivers one recipient after the other on the submitting thread.
inline constexpr std::size_t kWaitingDeliveries = 256;

class DeliveryPipeline {
 public:
  // Told the result of one submitted list once its last recipient has been
  // reported: 0 when at least one recipient was reached and none failed,
  // else 4. Runs under the pipeline's lock: it must not call the pipeline.
  using ListDone = std::function<void(int result)>;

  // `deliver` must stay callable from any thread until the pipeline is
  // destroyed. `jobs` is held within 1..64.
  DeliveryPipeline(Deliverer deliver, int jobs);
  // Waits for every submitted delivery to be reported, then ends the workers.
  ~DeliveryPipeline();
  DeliveryPipeline(const DeliveryPipeline&) = delete;
  DeliveryPipeline& operator=(const DeliveryPipeline&) = delete;

  // Queues one message for every recipient of `list`, stamped with the
  // local time of this call. Blocks while the window is full; with one job,
  // until the list is delivered and reported. An empty list reports nothing
  // and is done at once with 4.
  void Submit(const RecipientList& list, const std::string& message, ListDone done);

  // Blocks until everything submitted has been reported.
  void Drain();

  // Stops the pipeline for good, as a signal to end the program asks: no
  // delivery starts any more. Every delivery that has sent nothing yet (not
  // started, or still looking for its recipient), the rest of a list being
  // submitted and every one submitted from now on is reported " Not sent.
  // Interrupted" and sends nothing; the ones that have begun to send end as
  // they would, so no message is left half-sent. Once every line is
  // written, calls `atRest` under the pipeline's lock (so nothing can start
  // or be written meanwhile), then returns.
  void Interrupt(const std::function<void()>& atRest);
  bool interrupted() const;

  // Interrupt() on the pipeline of this process that is delivering now (the
  // latest one constructed and not yet drained and destroyed), or just
  // `atRest` when there is none. Callable from any thread.
  static void InterruptCurrent(const std::function<void()>& atRest);

 private:
  struct List;
  struct Item;
  // The list a Submit is queueing: its entries from `next` on are not yet
  // in the window.
  struct Submission {
    const RecipientList* list = nullptr;
    const std::string* message = nullptr;
    std::uint64_t timestamp = 0;
    std::shared_ptr<List> shared;
    std::size_t next = 0;
  };

  // Appends the next entry of submission_ to the window; as not sent when
  // the pipeline is interrupted.
  void QueueNextLocked();
  // Whether `item` may begin to send: false once it was withdrawn.
  bool MayStart(Item& item);
  void Work();
  // Runs the item at `index`, with the lock released while it is delivered,
  // and reports what became due.
  void RunLocked(std::unique_lock<std::mutex>& lock, std::size_t index);
  // The index in window_ of the first item a worker may start, or npos.
  std::size_t NextStartableLocked() const;
  // How many items a worker may start now, counted up to `atMost`.
  std::size_t StartableLocked(std::size_t atMost) const;
  // Calls `found` with each item a worker may start, in order, until it
  // returns false.
  void ForEachStartableLocked(const std::function<bool(std::size_t)>& found) const;
  // Writes every report line that has become due.
  void ReportLocked();

  const Deliverer deliver_;
  const std::size_t jobs_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Submission order; front: next to report. A delivery withdrawn by an
  // interruption may still run after its item left the window: its thread
  // shares the item.
  std::deque<std::shared_ptr<Item>> window_;
  std::size_t idleWorkers_ = 0;
  // Workers at most: `jobs`, or fewer once a thread could not be started.
  // At most one: everything is delivered on the submitting thread.
  std::size_t workerLimit_;
  bool stopping_ = false;
  bool interrupted_ = false;
  Submission submission_;  // list == nullptr: no Submit under way
  std::vector<std::thread> workers_;
};

// The key under which deliveries must not overlap: kind and upper-cased name,
// "*" as the host's workgroup, an IPv4 address in its one written form.
std::string RecipientKey(const RecipientEntry& entry);

}  // namespace lomp
