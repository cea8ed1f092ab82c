// The machine's LANAs as the program sees them: one KrNetbiosInterface per
// LANA that NetBIOS enumerates.
//
// One network object serves the program; the messaging service enumerates it
// once, on the main thread, before any name port exists. Neither operation
// takes a lock: nothing may read the list while they run.
#pragma once

#include <cstdint>

#include "endpoint/kr_network.h"

namespace lomp {

class KrNetbiosInterface : public KrNetworkInterface {
 public:
  explicit KrNetbiosInterface(std::uint8_t lanaNumber) : lana(lanaNumber) {}

  // Resets the LANA for this process with room for 250 sessions and 250
  // names. Marks the interface reset whatever the result; returns the code.
  std::uint8_t Reset() override;

  std::uint8_t isReset = 0;
  const std::uint8_t lana;
};

class KrNetbiosNetwork : public KrNetwork {
 public:
  // Reconciles the list with a fresh enumeration: known LANAs keep their
  // objects and order, new ones are appended, vanished ones are deleted;
  // `changed` is set when anything changed. A failed enumeration empties it.
  void UpdateInterfaces() override;

  // Rebuilds the list: one new interface per enumerated LANA, in order;
  // empty when the enumeration fails.
  void EnumerateInterfaces() override;

  KrNetbiosInterface& Interface(std::size_t index) {
    return static_cast<KrNetbiosInterface&>(*interfaces.at(index));
  }
};

}  // namespace lomp
