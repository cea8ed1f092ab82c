// Mailslots over NetBIOS datagrams (UDP 138), for the program.
//
// A client write goes as one DIRECT_GROUP datagram to the server name with
// suffix 0x00, broadcast on every LANA ("*" is this machine's workgroup). A
// local mailslot takes the mailslot writes that arrive on UDP 138 for a name
// this machine answers to (its computer name, or its workgroup as a group),
// in order, up to its maximum message size. Datagrams are read from the
// socket when the mailslot is asked about them, so no thread is needed.
// Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mailslot.h"
#include "platform/nbt/name_claim.h"
#include "platform/nbt/nbt_provider.h"
#include "wire/nbt_wire.h"

namespace lomp::platform::nbt {

struct UdpMailslotSettings {
  std::uint16_t datagramPort = 138;
  std::string workgroup = "WORKGROUP";           // upper case, OEM
  std::string computerName;                      // upper case, OEM; the source of our datagrams
  std::string registryPrefix = "lomp-mailslot";  // claim keys (name_claim.h)
  std::string registryFolder;                    // empty: the running user's
  std::size_t maxQueuedMessages = 256;           // per local mailslot; later ones are dropped
  // Samba's `interfaces`: the LANAs to send on; empty: all (lana.h).
  std::vector<std::string> interfaces;
  // Further names this machine answers to with a datagram to the name
  // itself: the names its receiver registered. None when empty.
  std::function<bool(const wire::Name16&)> ownsName;
  // Where the LANAs to send on come from (the NetBIOS provider's, so that a
  // run lists the interfaces once); empty: listed for each client.
  std::function<std::vector<LanaAddress>()> lanas;
};

// The standard settings: this host's computer name, and the workgroup and
// interfaces of the host's Samba configuration (samba_config.h).
UdpMailslotSettings StandardMailslotSettings();

class UdpMailslotService : public MailslotService {
 public:
  explicit UdpMailslotService(UdpMailslotSettings settings);
  ~UdpMailslotService() override;

  MailslotHandle OpenClient(const std::string& path) override;
  MailslotHandle Create(const std::string& path, std::uint32_t maxMessageSize) override;
  bool Write(MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
             std::uint32_t& written) override;
  bool GetInfo(MailslotHandle handle, std::uint32_t& nextSize, std::uint32_t& count) override;
  bool Read(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
            std::uint32_t& read) override;
  void Close(MailslotHandle handle) override;
  // Binds the datagram port: "UDP port 138 is in use by another program
  // (another NetBIOS server?)" when another program holds it.
  std::string PrepareToListen() override;
  std::string NextSource(MailslotHandle handle) override;

 private:
  struct Client {
    std::string server;              // OEM, as given; "*" already replaced
    std::string mailslot;            // "\MAILSLOT\NAME"
    std::vector<LanaAddress> lanas;  // where its writes are broadcast, as found at open
  };
  struct Local {
    std::string mailslot;  // upper case
    std::uint32_t maxMessageSize = 0;
    struct Queued {
      wire::Bytes data;
      std::string source;  // the sender's address
    };
    std::deque<Queued> messages;
    NameClaim owner;  // holds the name for this process
  };

  void DrainLocked();
  std::string BindReceiverLocked();
  bool AddressedToUs(const wire::Name16& destination, std::uint8_t type) const;

  const UdpMailslotSettings settings_;
  std::mutex mutex_;
  std::map<MailslotHandle, Client> clients_;
  std::map<MailslotHandle, Local> locals_;
  MailslotHandle nextHandle_ = 1;
  int receiver_ = -1;  // UDP socket on the datagram port, opened with the first local mailslot
  std::uint16_t nextDatagramId_;
};

}  // namespace lomp::platform::nbt
