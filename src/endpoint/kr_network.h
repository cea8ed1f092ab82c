// A network made of interfaces (the NetBIOS LANAs derive from these).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "endpoint/kr_thread.h"

namespace lomp {

class KrShareable {
 public:
  KrLock lock;
};

// One interface of a network. Owned by its network's list.
class KrNetworkInterface {
 public:
  virtual ~KrNetworkInterface() = default;
  // Prepares the interface for use; returns the transport's result code.
  virtual std::uint8_t Reset() { return 0; }

  // 1 when the latest enumeration did not find this interface.
  std::int32_t staleMark = 0;
};

// The interfaces of one kind of network. Used from one thread at a time.
class KrNetwork : public KrShareable {
 public:
  KrNetwork() = default;
  virtual ~KrNetwork() {
    if (thread != nullptr) thread->Stop();
  }
  KrNetwork(const KrNetwork&) = delete;
  KrNetwork& operator=(const KrNetwork&) = delete;

  // Reconciles the list with the system; the base does nothing.
  virtual void UpdateInterfaces() {}
  // Rebuilds the list from scratch; the base empties it.
  virtual void EnumerateInterfaces() { interfaces.clear(); }

  KrThread* thread = nullptr;  // not owned; stopped at destruction
  bool changed = false;        // set when the list changed; never cleared
  std::vector<std::unique_ptr<KrNetworkInterface>> interfaces;
};

}  // namespace lomp
