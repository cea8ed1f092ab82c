// The receiving application: serves the sessions that the name ports
// accept and takes the group datagrams that the mailslot port finds, and
// hands each message to the destination.
//
// Everything a sender can make it hold is bounded: sessions at once and per
// address, the time a session may stay idle and may last, the length of a
// text, and the messages per second one address may deliver (what is over
// is refused or dropped, counted, and said on the diagnostics stream).
//
// Made by the receive mode and told about connections by the ports' worker
// threads; each accepted session is served on a thread of its own. Stop()
// ends every session and waits for its thread; the ports must be stopped
// first, so no connection comes after, and outlive the receiver's Stop().
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/listen/received_message.h"
#include "endpoint/port.h"

namespace lomp {

class CNetbiosConnection;
class CMailslotConnection;

struct ReceiverLimits {
  std::size_t maxSessions = 64;
  std::size_t maxSessionsPerAddress = 8;
  std::chrono::milliseconds idleTime{30000};  // between two requests of a session
  std::chrono::milliseconds sessionTime{120000};
  std::size_t maxTextBytes = 4096;
  // Messages one address may deliver: a burst, then so many a second. A
  // monitoring host's batch of alerts fits the burst; a flood does not.
  double burst = 1000;
  double perSecond = 100;
  std::chrono::milliseconds dropNoticeEvery{10000};
};

class Receiver final : public ConnectionListener {
 public:
  // `names` are the names received for, upper case OEM (15 bytes at most).
  Receiver(MessageDestination& destination, std::vector<std::string> names,
           std::ostream& diagnostics, ReceiverLimits limits = {});
  ~Receiver() override;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // A session from a name port, or a waiting datagram from the mailslot port.
  void OnConnection(CConnection* connection, int value) override;

  // Whether a destination name (ANSI, any case) is one received for.
  bool IsOurName(const std::string& ansi);

  // A name (upper case OEM) received for from now on, or no longer; from
  // any thread.
  void AddName(const std::string& name);
  void RemoveName(const std::string& name);

  // Ends every session and waits for their threads; says what was dropped.
  void Stop();

  // Messages refused or dropped for their sender's rate so far.
  std::size_t Dropped() const { return dropped_; }

 private:
  struct Served {
    CNetbiosConnection* connection;  // deleted by its thread when the session ends
    std::uint8_t lana = 0;
    std::uint8_t lsn = 0;
    std::string address;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  struct Rate {
    double tokens = 0;
    std::chrono::steady_clock::time_point refilled;
    std::size_t dropped = 0;  // since the last notice
    std::chrono::steady_clock::time_point noticed;
  };

  void Serve(Served& served);
  void TakeDatagram(CMailslotConnection& connection);
  // Whether `address` may deliver one more message now.
  bool Admit(const std::string& address);
  void ReapLocked();
  void Say(const std::string& line);

  MessageDestination& destination_;
  std::mutex namesMutex_;
  std::vector<std::string> names_;
  std::ostream& diagnostics_;
  const ReceiverLimits limits_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> dropped_{0};
  std::mutex mutex_;  // sessions_ and rates_
  std::list<Served> sessions_;
  std::map<std::string, Rate> rates_;
  std::mutex sayMutex_;
};

// The local time as the records show it: "2026-12-09 14:03:12".
std::string RecordTime();

}  // namespace lomp
