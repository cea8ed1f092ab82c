// An in-memory NetBIOS provider that plays a script: LANAs, names taken by
// another process, remote names that answer or not, commands that stay
// pending, sessions whose SEND or RECEIVE fail, replies of any size, and
// callers arriving at a LISTEN. It records every NCB it is handed.
//
// Deterministic and fast: nothing completes on a timer; a pending command
// ends only when it is cancelled or the test completes it. Installs itself
// behind Netbios() for its lifetime. Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/netbios.h"

namespace lomp::testing {

using Bytes = std::vector<std::uint8_t>;

// The 16-byte name field of `text` padded with spaces and `suffix`.
std::string NameField(const std::string& text, std::uint8_t suffix);

class ScriptedNetbios : public platform::NetbiosProvider {
 public:
  // How a remote Messenger name answers a CALL, and its sessions behave.
  struct Peer {
    std::optional<std::uint8_t> callCode;  // none: the CALL stays pending
    std::deque<Bytes> replies;             // what RECEIVE returns, in order
    std::uint8_t sendCode = 0;             // non-zero: every SEND fails with it
    std::uint8_t receiveCode = 0;          // non-zero: RECEIVE fails with it
    // Consumed one per RECEIVE before anything else: non-zero fails that
    // RECEIVE with the code, zero lets it go on as usual.
    std::deque<std::uint8_t> receiveResults;

    static Peer Answering(std::uint8_t code = 0) {
      Peer peer;
      peer.callCode = code;
      return peer;
    }
    static Peer NeverAnswering() { return Peer{}; }
    Peer& Replying(std::deque<Bytes> messages) {
      replies = std::move(messages);
      return *this;
    }
    Peer& FailingSend(std::uint8_t code) {
      sendCode = code;
      return *this;
    }
    Peer& FailingReceive(std::uint8_t code) {
      receiveCode = code;
      return *this;
    }
    Peer& ReceiveResults(std::deque<std::uint8_t> codes) {
      receiveResults = std::move(codes);
      return *this;
    }
  };

  // A copy of what was submitted.
  struct Submission {
    std::uint8_t command = 0;
    std::uint8_t lana = 0;
    std::uint8_t lsn = 0;
    std::uint8_t num = 0;
    std::uint16_t length = 0;
    std::string callname;  // 16 bytes
    std::string name;      // 16 bytes
    std::uint8_t rto = 0;
    std::uint8_t sto = 0;
    bool hasEvent = false;
    bool hasBuffer = false;
    const platform::NCB* target = nullptr;  // CANCEL's ncb_buffer
  };

  ScriptedNetbios();
  ~ScriptedNetbios() override;

  std::uint8_t Submit(platform::NCB& ncb) override;

  // --- the script (set before the commands run) ---
  std::vector<std::uint8_t> lanas = {0};
  std::uint8_t enumCode = 0;
  std::map<std::uint8_t, std::uint8_t> resetCodes;  // by LANA; default 0
  std::optional<std::uint8_t> addNameCode;          // every ADD NAME fails with it
  std::optional<std::uint8_t> listenCode;           // every LISTEN fails with it

  // The name `field` (16 bytes) is held by another process on `lana`; ADD
  // NAME of it answers `code`.
  void TakeName(std::uint8_t lana, const std::string& field,
                std::uint8_t code = platform::NRC_DUPNAME);
  // Remote names not given a peer answer CALL with NRC_NOCALL.
  void AddPeer(const std::string& field, Peer peer);

  // --- driving pending commands ---
  // Completes the pending LISTEN on `lana` with a new session. False when
  // none is pending.
  bool ArriveCall(std::uint8_t lana);
  std::size_t PendingCount();

  // --- what happened ---
  std::vector<Submission> Submissions();
  int Count(std::uint8_t command);  // ASYNCH ignored
  std::vector<Bytes> SentOn(std::uint8_t lsn);
  // Everything sent on the sessions to `field`, in session order.
  std::vector<Bytes> SentTo(const std::string& field);
  // Sessions opened to `field`; `allHungUp` tells whether all were hung up.
  int SessionsTo(const std::string& field, bool* allHungUp = nullptr);
  bool HungUp(std::uint8_t lsn);
  std::map<std::string, std::uint8_t> RegisteredNames(std::uint8_t lana);  // field → number

 private:
  struct Session {
    std::string peer;
    std::vector<Bytes> sent;
    bool hungUp = false;
  };

  std::uint8_t Complete(platform::NCB& ncb, std::uint8_t code);
  std::uint8_t Pend(platform::NCB& ncb);
  std::uint8_t Run(platform::NCB& ncb);
  std::uint8_t NewSession(const std::string& peer);

  std::mutex mutex_;
  std::vector<Submission> submissions_;
  std::map<std::pair<std::uint8_t, std::string>, std::uint8_t> takenNames_;
  std::map<std::pair<std::uint8_t, std::string>, std::uint8_t> ownNames_;
  std::map<std::string, Peer> peers_;
  std::map<std::uint8_t, Session> sessions_;
  std::vector<platform::NCB*> pending_;
  std::uint8_t nextLsn_ = 1;
  std::uint8_t nextNameNumber_ = 2;
};

}  // namespace lomp::testing
