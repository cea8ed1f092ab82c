// The NetBIOS interface: the Network Control Block, the command and return
// codes, and Netbios(), which hands one NCB to the installed provider.
//
// The provider is what really does NetBIOS: over TCP/IP for the program, or
// a scripted one in tests. What callers may rely on:
// - a command without ASYNCH returns completed, with ncb_retcode set;
// - a command with ASYNCH returns at once with ncb_retcode NRC_PENDING, its
//   ncb_event reset on acceptance and set on completion (also when it fails
//   at once);
// - CANCEL with ncb_buffer pointing at a pending NCB ends that command with
//   NRC_CMDCAN before the CANCEL returns; from then on the provider touches
//   neither that NCB nor its buffer;
// - NetbiosWithin() runs a command without ASYNCH on the calling thread,
//   complete by its time limit, when the provider can bound it so.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/sync.h"

namespace lomp::platform {

// The unit of the NCB's time-out fields (ncb_rto, ncb_sto) and of a command's
// time-out given in units.
inline constexpr std::chrono::milliseconds kNcbTimeUnit{500};

inline constexpr int NCBNAMSZ = 16;
inline constexpr int MAX_LANA = 254;

// Commands.
inline constexpr std::uint8_t NCBCALL = 0x10;
inline constexpr std::uint8_t NCBLISTEN = 0x11;
inline constexpr std::uint8_t NCBHANGUP = 0x12;
inline constexpr std::uint8_t NCBSEND = 0x14;
inline constexpr std::uint8_t NCBRECV = 0x15;
inline constexpr std::uint8_t NCBADDNAME = 0x30;
inline constexpr std::uint8_t NCBDELNAME = 0x31;
inline constexpr std::uint8_t NCBRESET = 0x32;
inline constexpr std::uint8_t NCBCANCEL = 0x35;
inline constexpr std::uint8_t NCBENUM = 0x37;
inline constexpr std::uint8_t ASYNCH = 0x80;

// Return codes.
inline constexpr std::uint8_t NRC_GOODRET = 0x00;
inline constexpr std::uint8_t NRC_BUFLEN = 0x01;
inline constexpr std::uint8_t NRC_ILLCMD = 0x03;
inline constexpr std::uint8_t NRC_CMDTMO = 0x05;
inline constexpr std::uint8_t NRC_INCOMP = 0x06;
inline constexpr std::uint8_t NRC_BADDR = 0x07;
inline constexpr std::uint8_t NRC_SNUMOUT = 0x08;
inline constexpr std::uint8_t NRC_NORES = 0x09;
inline constexpr std::uint8_t NRC_SCLOSED = 0x0A;
inline constexpr std::uint8_t NRC_CMDCAN = 0x0B;
inline constexpr std::uint8_t NRC_DUPNAME = 0x0D;
inline constexpr std::uint8_t NRC_NAMTFUL = 0x0E;
inline constexpr std::uint8_t NRC_ACTSES = 0x0F;
inline constexpr std::uint8_t NRC_LOCTFUL = 0x11;
inline constexpr std::uint8_t NRC_REMTFUL = 0x12;
inline constexpr std::uint8_t NRC_ILLNN = 0x13;
inline constexpr std::uint8_t NRC_NOCALL = 0x14;
inline constexpr std::uint8_t NRC_NOWILD = 0x15;
inline constexpr std::uint8_t NRC_INUSE = 0x16;
inline constexpr std::uint8_t NRC_NAMERR = 0x17;
inline constexpr std::uint8_t NRC_SABORT = 0x18;
inline constexpr std::uint8_t NRC_NAMCONF = 0x19;
inline constexpr std::uint8_t NRC_IFBUSY = 0x21;
inline constexpr std::uint8_t NRC_TOOMANY = 0x22;
inline constexpr std::uint8_t NRC_BRIDGE = 0x23;
inline constexpr std::uint8_t NRC_CANOCCR = 0x24;
inline constexpr std::uint8_t NRC_CANCEL = 0x26;
inline constexpr std::uint8_t NRC_DUPENV = 0x30;
inline constexpr std::uint8_t NRC_ENVNOTDEF = 0x34;
inline constexpr std::uint8_t NRC_OSRESNOTAV = 0x35;
inline constexpr std::uint8_t NRC_MAXAPPS = 0x36;
inline constexpr std::uint8_t NRC_NOSAPS = 0x37;
inline constexpr std::uint8_t NRC_NORESOURCES = 0x38;
inline constexpr std::uint8_t NRC_INVADDRESS = 0x39;
inline constexpr std::uint8_t NRC_INVDDID = 0x3B;
inline constexpr std::uint8_t NRC_LOCKFAIL = 0x3C;
inline constexpr std::uint8_t NRC_OPENERR = 0x3F;
inline constexpr std::uint8_t NRC_SYSTEM = 0x40;
inline constexpr std::uint8_t NRC_PENDING = 0xFF;

// The ENUM buffer: a count, then that many LANA numbers. 256 bytes.
struct LANA_ENUM {
  std::uint8_t length = 0;
  std::uint8_t lana[MAX_LANA + 1] = {};
};
static_assert(sizeof(LANA_ENUM) == 256);

struct NCB;
using NcbPostRoutine = void (*)(NCB*);

// The published NCB fields, in their order. A fresh NCB is all zeros.
// ncb_retcode and ncb_cmd_cplt are written by the provider's thread while the
// caller may read them, so they are atomic.
struct NCB {
  std::uint8_t ncb_command = 0;
  std::atomic<std::uint8_t> ncb_retcode{0};
  std::uint8_t ncb_lsn = 0;
  std::uint8_t ncb_num = 0;
  std::uint8_t* ncb_buffer = nullptr;  // CANCEL: the NCB to cancel
  std::uint16_t ncb_length = 0;
  std::uint8_t ncb_callname[NCBNAMSZ] = {};
  std::uint8_t ncb_name[NCBNAMSZ] = {};
  std::uint8_t ncb_rto = 0;  // receive time-out, 500 ms units, 0 = none
  std::uint8_t ncb_sto = 0;  // send time-out, same units
  NcbPostRoutine ncb_post = nullptr;
  std::uint8_t ncb_lana_num = 0;
  std::atomic<std::uint8_t> ncb_cmd_cplt{0};
  std::uint8_t ncb_reserve[18] = {};
  Event* ncb_event = nullptr;  // manual-reset; set when an ASYNCH command completes
};

class NetbiosProvider {
 public:
  virtual ~NetbiosProvider() = default;
  // Carries out one command under the rules above and returns what
  // Netbios() returns (ncb_retcode for a synchronous command, NRC_GOODRET for
  // an accepted asynchronous one).
  virtual std::uint8_t Submit(NCB& ncb) = 0;
  // Runs `ncb`, a command without ASYNCH, on the calling thread and returns
  // with it complete within `limit`: a command still under way then ends
  // with NRC_CMDTMO, and the provider holds neither the NCB nor its buffer.
  // False, with the NCB untouched, when this provider cannot bound a
  // command so; the caller then runs it asynchronously under a timer.
  virtual bool RunWithin(NCB& /*ncb*/, std::chrono::milliseconds /*limit*/) { return false; }
  // Why no name can be registered for the running user on this host (where
  // names are held is unusable), in words naming the place; empty when names
  // can be registered.
  virtual std::string NamesUnavailable() const { return {}; }
  // Readies the listening side (the session port on every LANA); what stops
  // it in words, empty when it is ready.
  virtual std::string PrepareToListen() { return {}; }
  // The address of the other end of session `lsn` on `lana`, as text;
  // empty when unknown.
  virtual std::string SessionPeer(std::uint8_t /*lana*/, std::uint8_t /*lsn*/) { return {}; }
  // Who refused the last registration of the 16-byte name `ncbName` on
  // `lana` (ADD NAME's NRC_DUPNAME), in words ("10.1.2.3 holds the name on
  // the network"); empty when no node did.
  virtual std::string NameOwner(std::uint8_t /*lana*/, const std::uint8_t* /*ncbName*/) {
    return {};
  }
};

// Hands `ncb` to the installed provider. With none installed every command
// fails with NRC_OPENERR. ncb_post must be null (completion is reported
// through ncb_event), and ncb_event must be null unless ASYNCH is set:
// otherwise NRC_ILLCMD.
std::uint8_t Netbios(NCB* ncb);
// Hands `ncb` (without ASYNCH, no event, no post routine) to the installed
// provider to run within `limit` (NetbiosProvider::RunWithin); false when
// it cannot, with the NCB untouched.
bool NetbiosWithin(NCB* ncb, std::chrono::milliseconds limit);

// Installs the provider behind Netbios(); not owned. Installed before the
// first command and kept until the last one has completed or been cancelled.
void InstallNetbiosProvider(NetbiosProvider* provider);
// Installs a provider that `make` makes on first use, so that a run that
// issues no command (--help, a bad command line) never makes one.
void InstallNetbiosProviderMaker(NetbiosProvider* (*make)());
NetbiosProvider* InstalledNetbiosProvider();

// The installed provider's NamesUnavailable(); empty with none installed.
std::string NetbiosNamesUnavailable();

// The installed provider's PrepareToListen() and SessionPeer(); with none
// installed, "no NetBIOS provider" and empty.
std::string NetbiosPrepareToListen();
std::string NetbiosSessionPeer(std::uint8_t lana, std::uint8_t lsn);
std::string NetbiosNameOwner(std::uint8_t lana, const std::uint8_t* ncbName);

}  // namespace lomp::platform
