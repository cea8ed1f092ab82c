#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

namespace lomp::platform {

Thread::~Thread() {
  Join();
}

bool Thread::Start(std::function<void()> body) {
  if (thread_.joinable()) return false;
  running_ = true;
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      {
        const std::lock_guard lock(priorityMutex_);
        kernelId_ = static_cast<pid_t>(syscall(SYS_gettid));
        ApplyPriorityLocked();
      }
      body();
      {
        const std::lock_guard lock(priorityMutex_);
        kernelId_ = 0;  // the id may be reused once the thread is gone
      }
      running_ = false;
    });
  } catch (const std::system_error&) {
    running_ = false;
    return false;
  }
  return true;
}

void Thread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Thread::SetPriority(ThreadPriority priority) {
  const std::lock_guard lock(priorityMutex_);
  priority_ = priority;
  ApplyPriorityLocked();
}

void Thread::ApplyPriorityLocked() {
  if (kernelId_ == 0 || !running_) return;
  // Linux schedules threads by their nice value; a higher priority is a lower
  // nice value, which only a privileged process may take. Failure is fine.
  int nice = 0;
  switch (priority_) {
    case ThreadPriority::Normal: nice = 0; break;
    case ThreadPriority::AboveNormal: nice = -1; break;
    case ThreadPriority::Highest: nice = -2; break;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(kernelId_), nice);
}

}  // namespace lomp::platform
