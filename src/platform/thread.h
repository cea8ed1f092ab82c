// A joinable thread whose scheduling priority can be raised or lowered.
//
// Owned by one object (the runtime's KrThread); Start, Join and the
// destructor are called from the owner's threads, SetPriority from any.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace lomp::platform {

enum class ThreadPriority { Normal, AboveNormal, Highest };

class Thread {
 public:
  Thread() = default;
  // Joins a thread that is still there: a thread never outlives its owner.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs `body` on a new thread. False when no thread could be made, or when
  // this object already started one.
  bool Start(std::function<void()> body);

  // Waits without limit until the thread has ended; at once when none runs.
  void Join();

  // True from Start until the body has returned.
  bool IsRunning() const { return running_.load(); }

  // Best effort: a priority the process may not set is left as it is.
  void SetPriority(ThreadPriority priority);

 private:
  void ApplyPriorityLocked();

  std::thread thread_;
  std::atomic<bool> running_{false};
  std::mutex priorityMutex_;
  ThreadPriority priority_ = ThreadPriority::Normal;
  pid_t kernelId_ = 0;  // known once the thread runs
};

}  // namespace lomp::platform
