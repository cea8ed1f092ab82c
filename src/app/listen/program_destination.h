// --exec PROGRAM: runs a program for each received message, without a
// shell: the text on its standard input, the rest in LOMP_FROM, LOMP_TO,
// LOMP_KIND (personal or group), LOMP_ADDRESS and LOMP_TIME, all in the
// console's character set with control characters made visible.
//
// The programs run one after another on a thread of this destination, each
// for at most `limit`; messages wait in a bounded queue. A slow or hanging
// program never holds up receiving: what does not fit the queue is dropped
// and said on the diagnostics stream, as is a program that fails.
// The destructor stops the program that runs, drops what is queued (and
// says how many), then ends the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/listen/received_message.h"

namespace lomp {

class ProgramDestination final : public MessageDestination {
 public:
  ProgramDestination(std::string program, std::ostream& diagnostics,
                     std::chrono::milliseconds limit = std::chrono::seconds(10),
                     std::size_t maxQueued = 32);
  ~ProgramDestination() override;
  ProgramDestination(const ProgramDestination&) = delete;
  ProgramDestination& operator=(const ProgramDestination&) = delete;

  // Queues the message for the program; true when queued.
  bool Take(const ReceivedMessage& message) override;

 private:
  void Run();
  void Say(const std::string& line);

  const std::string program_;
  std::ostream& diagnostics_;
  const std::chrono::milliseconds limit_;
  const std::size_t maxQueued_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ReceivedMessage> queue_;
  std::atomic<bool> ending_{false};
  std::thread thread_;
};

// Several destinations as one: a message is kept when the first keeps it;
// the others get it as well, once it is kept.
class DestinationList final : public MessageDestination {
 public:
  explicit DestinationList(std::vector<MessageDestination*> destinations)
      : destinations_(std::move(destinations)) {}
  bool Take(const ReceivedMessage& message) override {
    if (destinations_.empty() || !destinations_.front()->Take(message)) return false;
    for (std::size_t index = 1; index < destinations_.size(); ++index) {
      destinations_[index]->Take(message);
    }
    return true;
  }

 private:
  std::vector<MessageDestination*> destinations_;
};

}  // namespace lomp
