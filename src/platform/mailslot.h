// Mailslots as the mailslot port uses them: client paths "\\X\MAILSLOT\NAME"
// opened for writing (each write one datagram to the computers of X), and
// local mailslots "\\.\MAILSLOT\NAME" that queue the datagrams addressed to
// them. The calls go to the installed service: the UDP one for the program,
// a scripted one in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lomp::platform {

using MailslotHandle = std::intptr_t;
inline constexpr MailslotHandle kInvalidMailslotHandle = -1;

class MailslotService {
 public:
  virtual ~MailslotService() = default;
  // A client handle for writing to `path`, or kInvalidMailslotHandle.
  virtual MailslotHandle OpenClient(const std::string& path) = 0;
  // A new local mailslot, or kInvalidMailslotHandle (the name is taken, the
  // path is not local, ...). A read never waits: the read time-out is 0.
  virtual MailslotHandle Create(const std::string& path, std::uint32_t maxMessageSize) = 0;
  // Sends one message; false when nothing could be sent.
  virtual bool Write(MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
                     std::uint32_t& written) = 0;
  // The size of the next waiting message and the number waiting.
  virtual bool GetInfo(MailslotHandle handle, std::uint32_t& nextSize, std::uint32_t& count) = 0;
  // Takes the next message; false when none waits or it is larger than
  // `capacity` (it then stays).
  virtual bool Read(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
                    std::uint32_t& read) = 0;
  virtual void Close(MailslotHandle handle) = 0;
  // Readies the receiving side (the datagram port); what stops it in
  // words, empty when it is ready.
  virtual std::string PrepareToListen() { return {}; }
  // The sender's address of the next waiting message of a local mailslot,
  // as text; empty when unknown or none waits.
  virtual std::string NextSource(MailslotHandle /*handle*/) { return {}; }
};

// The installed service (not owned); none installed makes every open fail.
void InstallMailslotService(MailslotService* service);
// Installs a service that `make` makes on first use.
void InstallMailslotServiceMaker(MailslotService* (*make)());
MailslotService* InstalledMailslotService();

// The calls of the mailslot port, dispatched to the installed service.
MailslotHandle CreateMailslotFile(const std::string& path);
MailslotHandle CreateMailslot(const std::string& path, std::uint32_t maxMessageSize);
bool WriteMailslot(MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t& written);
bool GetMailslotInfo(MailslotHandle handle, std::uint32_t& nextSize, std::uint32_t& count);
bool ReadMailslot(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
                  std::uint32_t& read);
void CloseMailslot(MailslotHandle handle);
// The installed service's PrepareToListen() ("no mailslot service" with
// none) and NextSource() (empty with none).
std::string PrepareMailslotsToListen();
std::string NextMailslotSource(MailslotHandle handle);

// Splits "\\SERVER\MAILSLOT\NAME" (MAILSLOT in any case) into server and
// "\MAILSLOT\NAME"; false for anything else.
bool SplitMailslotPath(const std::string& path, std::string& server, std::string& mailslot);

}  // namespace lomp::platform
