// The runtime's lock and its stoppable worker thread.
#pragma once

#include <chrono>
#include <mutex>

#include "platform/sync.h"
#include "platform/thread.h"

namespace lomp {

// A re-entrant lock. Lock/Unlock for the system's callers, lock/unlock so
// that std::lock_guard works too.
class KrLock {
 public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// A thread that runs one function once and can be asked to stop.
//
// The object outlives its thread: destroying it stops and joins the thread.
// A stop request is final (the stop event stays set), so a thread object is
// started at most once. RequestStop, IsStopRequested and WaitForStop may be
// called from any thread.
class KrThread {
 public:
  KrThread() = default;
  virtual ~KrThread() { Stop(); }
  KrThread(const KrThread&) = delete;
  KrThread& operator=(const KrThread&) = delete;

  // Starts the thread, which runs InitInstance(). False when it cannot.
  bool CreateThread() {
    return thread_.Start([this] { InitInstance(); });
  }

  // Sets the stop event and lowers the thread to above-normal priority.
  void RequestStop() {
    stopEvent_.Set();
    thread_.SetPriority(platform::ThreadPriority::AboveNormal);
  }

  // Waits without limit until the thread has ended.
  void Join() { thread_.Join(); }

  // Requests a stop and joins, when the thread is running; else nothing.
  void Stop() {
    if (thread_.IsRunning()) {
      RequestStop();
      Join();
    }
    thread_.Join();  // a thread that ended by itself is still reaped
  }

  bool IsStopRequested() const { return stopEvent_.IsSet(); }

  // An interruptible sleep: returns after `timeoutMs` or at a stop request.
  void WaitForStop(std::chrono::milliseconds timeout) {
    platform::WaitForSingle(stopEvent_, timeout);
  }

  void SetPriority(platform::ThreadPriority priority) { thread_.SetPriority(priority); }
  bool IsRunning() const { return thread_.IsRunning(); }

  virtual void ThreadMain() {}

 protected:
  // Runs on the new thread.
  virtual void InitInstance() { ThreadMain(); }

 private:
  platform::Event stopEvent_;
  platform::Thread thread_;
};

// A thread that runs a member function of an object, handing it the thread.
template <class T>
class KrThreadClassFunction : public KrThread {
 public:
  // Stops here, while InitInstance of this class still exists.
  ~KrThreadClassFunction() override { Stop(); }

  void (T::*function)(KrThread*) = nullptr;
  T* object = nullptr;  // not owned

 protected:
  void InitInstance() override {
    if (object != nullptr && function != nullptr) (object->*function)(this);
  }
};

}  // namespace lomp
