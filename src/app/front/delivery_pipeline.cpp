#include "app/front/delivery_pipeline.h"

#include <arpa/inet.h>

#include <algorithm>
#include <exception>
#include <system_error>

#include "platform/samba_config.h"
#include "platform/session_slots.h"
#include "platform/sync.h"
#include "runtime/check.h"
#include "runtime/text_conversion.h"
#include "runtime/trace_log.h"

namespace lomp {
namespace {

// Key prefixes of a personal recipient named by name and by IPv4 address.
constexpr const char* kNameKey = "P:";
constexpr const char* kAddressKey = "A:";

// The pipeline that is delivering now, for a signal to interrupt. Never
// destroyed: a signal may come while the program ends.
std::mutex& CurrentMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
DeliveryPipeline* current = nullptr;

}  // namespace

struct DeliveryPipeline::List {
  std::size_t unreported = 0;
  int successes = 0;
  int failures = 0;
  ListDone done;
};

struct DeliveryPipeline::Item {
  enum class State { Queued, Running, Done };

  MessageRecord record;
  std::string key;
  std::shared_ptr<List> list;
  State state = State::Queued;
  bool committed = false;        // it has begun to send: it runs to its end
  bool withdrawn = false;        // interrupted before it sent anything
  bool announced = false;        // its "Trying to send..." line is written
  const char* reason = nullptr;  // when done: nullptr for delivered
};

std::string RecipientKey(const RecipientEntry& entry) {
  const bool group = entry.kind == RecipientKind::Group;
  in_addr address{};
  if (!group && inet_pton(AF_INET, entry.name.c_str(), &address) == 1) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string(kAddressKey) + text;
  }
  // "*" is this host's workgroup: one group, whichever way it is named.
  std::string name =
      group && entry.name == "*" ? platform::HostSambaConfig().workgroup : entry.name;
  ToUpper(name);
  return (group ? "G:" : std::string(kNameKey)) + name;
}

DeliveryPipeline::DeliveryPipeline(Deliverer deliver, int jobs)
    : deliver_(std::move(deliver)),
      jobs_(static_cast<std::size_t>(std::clamp(jobs, 1, kMaxJobs))),
      capacity_(jobs_ * kWindowPerJob + (jobs_ > 1 ? kWaitingDeliveries : 0)),
      workerLimit_(jobs_ > 1 ? jobs_ + kWaitingDeliveries : 1) {
  platform::SessionSlots::Process().SetLimit(jobs_);
  const std::lock_guard lock(CurrentMutex());
  current = this;
}

DeliveryPipeline::~DeliveryPipeline() {
  Drain();
  {
    // Waits for an interruption under way, which ends at rest: drained.
    const std::lock_guard lock(CurrentMutex());
    if (current == this) current = nullptr;
  }
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void DeliveryPipeline::Submit(const RecipientList& list, const std::string& message,
                              ListDone done) {
  if (list.empty()) {
    // Under the lock, as for every other list: workers may be telling
    // earlier lists' results to the same callback.
    const std::lock_guard lock(mutex_);
    done(4);
    return;
  }
  auto shared = std::make_shared<List>();
  shared->unreported = list.size();
  shared->done = std::move(done);

  std::unique_lock lock(mutex_);
  submission_ = {&list, &message, CurrentLocalFileTime(), std::move(shared), 0};
  // An interruption may queue the rest of the list itself.
  while (submission_.next < list.size()) {
    changed_.wait(lock, [&] { return window_.size() < capacity_ || interrupted_; });
    if (submission_.next == list.size()) break;
    QueueNextLocked();
    if (interrupted_) continue;
    // One more worker while more deliveries could start now than idle
    // workers would take, up to the limit: the threads come only as the run
    // needs them (a batch to one recipient needs one).
    if (workerLimit_ > 1 && workers_.size() < workerLimit_ &&
        StartableLocked(idleWorkers_ + 1) > idleWorkers_) {
      // Threads that will be waited for: what waits for the run's first
      // lasting wait (the signal watcher) is needed from here on.
      platform::NoteLongWait();
      try {
        workers_.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        // No thread to be had (a process or memory limit): the workers
        // there are deliver the rest, or this thread when there are none.
        workerLimit_ = workers_.size();
      }
    }
    if (workers_.empty()) {
      // One at a time: delivered here, in order, before the next is queued.
      if (const std::size_t index = NextStartableLocked(); index != std::string::npos) {
        RunLocked(lock, index);
      }
      continue;
    }
    changed_.notify_all();
  }
  submission_ = {};
  changed_.notify_all();
}

void DeliveryPipeline::QueueNextLocked() {
  auto item = std::make_shared<Item>();
  const RecipientEntry& entry = (*submission_.list)[submission_.next++];
  item->record = RecordFor(entry, *submission_.message, submission_.timestamp);
  item->key = RecipientKey(entry);
  item->list = submission_.shared;
  if (interrupted_) {
    item->state = Item::State::Done;
    item->reason = kNotSent;
  }
  window_.push_back(std::move(item));
  ReportLocked();
}

void DeliveryPipeline::Drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return window_.empty(); });
}

void DeliveryPipeline::Interrupt(const std::function<void()>& atRest) {
  std::unique_lock lock(mutex_);
  interrupted_ = true;
  for (const auto& item : window_) {
    const bool queued = item->state == Item::State::Queued;
    if (!queued && (item->state != Item::State::Running || item->committed)) continue;
    // Nothing of it was sent, and nothing will be: its thread may go on
    // looking for the recipient, but it is told not to start.
    item->withdrawn = item->state == Item::State::Running;
    item->state = Item::State::Done;
    item->reason = kNotSent;
  }
  ReportLocked();
  changed_.notify_all();
  // The deliveries that have begun to send end as they would.
  changed_.wait(lock, [&] { return window_.empty(); });
  while (submission_.list != nullptr && submission_.next < submission_.list->size()) {
    QueueNextLocked();
  }
  atRest();
}

bool DeliveryPipeline::interrupted() const {
  const std::lock_guard lock(mutex_);
  return interrupted_;
}

void DeliveryPipeline::InterruptCurrent(const std::function<void()>& atRest) {
  const std::lock_guard lock(CurrentMutex());
  if (current == nullptr) {
    atRest();
  } else {
    current->Interrupt(atRest);
  }
}

std::size_t DeliveryPipeline::NextStartableLocked() const {
  std::size_t next = std::string::npos;
  ForEachStartableLocked([&](std::size_t index) {
    next = index;
    return false;
  });
  return next;
}

std::size_t DeliveryPipeline::StartableLocked(std::size_t atMost) const {
  std::size_t count = 0;
  ForEachStartableLocked([&](std::size_t) { return ++count < atMost; });
  return count;
}

void DeliveryPipeline::ForEachStartableLocked(const std::function<bool(std::size_t)>& found) const {
  if (interrupted_) return;
  // Keys of earlier deliveries that have not ended: a later one to the same
  // recipient waits for them. Whether a name and an address are one host is
  // known only once the name is looked up, so a recipient named by address
  // also waits for every earlier one named by name, and the other way round.
  std::set<std::string> busy;
  bool namesBusy = false;
  bool addressesBusy = false;
  for (std::size_t index = 0; index < window_.size(); ++index) {
    const Item& item = *window_[index];
    if (item.state == Item::State::Done) continue;
    const bool byName = item.key.rfind(kNameKey, 0) == 0;
    const bool byAddress = item.key.rfind(kAddressKey, 0) == 0;
    const bool waits =
        busy.count(item.key) != 0 || (byName && addressesBusy) || (byAddress && namesBusy);
    if (item.state == Item::State::Queued && !waits && !found(index)) return;
    busy.insert(item.key);
    namesBusy = namesBusy || byName;
    addressesBusy = addressesBusy || byAddress;
  }
}

void DeliveryPipeline::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    std::size_t index = NextStartableLocked();
    if (index == std::string::npos) {
      if (stopping_) return;
      ++idleWorkers_;
      changed_.wait(lock, [&] {
        index = NextStartableLocked();
        return stopping_ || index != std::string::npos;
      });
      --idleWorkers_;
      if (index == std::string::npos) return;
    }
    RunLocked(lock, index);
  }
}

bool DeliveryPipeline::MayStart(Item& item) {
  const std::lock_guard lock(mutex_);
  if (item.withdrawn) return false;
  item.committed = true;
  return true;
}

void DeliveryPipeline::RunLocked(std::unique_lock<std::mutex>& lock, std::size_t index) {
  LOMP_CHECK(index < window_.size());
  const std::shared_ptr<Item> item = window_[index];
  item->state = Item::State::Running;
  MessageRecord record = item->record;
  record.mayStart = [this, raw = item.get()] { return MayStart(*raw); };
  lock.unlock();
  // An error outside the network family goes on to the caller, once the item
  // is settled, so that nothing waits for it.
  const char* reason = " Unknown error";
  std::exception_ptr error;
  try {
    // A group message costs its datagrams' socket for a moment: it holds a
    // slot as a session does, so /j bounds what the run has open.
    platform::SessionSlot slot;
    if (record.kind == RecipientKind::Group) {
      slot = platform::SessionSlots::Process().Take(std::nullopt, -1);
    }
    reason = DeliverAndClassify(deliver_, record);
  } catch (const DeliveryWithdrawn&) {
    reason = kNotSent;
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  if (item->withdrawn) return;  // reported when it was withdrawn
  item->reason = reason;
  item->state = Item::State::Done;
  ReportLocked();
  changed_.notify_all();
  if (error) std::rethrow_exception(error);
}

void DeliveryPipeline::ReportLocked() {
  while (!window_.empty()) {
    Item& head = *window_.front();
    if (!head.announced) {
      head.announced = true;
      ReportTrying(head.record.recipient);
    }
    if (head.state != Item::State::Done) return;
    List& list = *head.list;
    ++(head.reason == nullptr ? list.successes : list.failures);
    ReportOutcome(head.reason);
    LOMP_CHECK(list.unreported > 0);
    if (--list.unreported == 0) list.done(ListResult(list.successes, list.failures));
    window_.pop_front();
  }
}

}  // namespace lomp
