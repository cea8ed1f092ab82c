// An in-memory mailslot service: records client opens and writes, lets a
// test refuse opens or writes, and feeds messages to local mailslots.
// Installs itself for its lifetime. Thread-safe.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mailslot.h"

namespace lomp::testing {

class ScriptedMailslot : public platform::MailslotService {
 public:
  using Bytes = std::vector<std::uint8_t>;

  ScriptedMailslot() { platform::InstallMailslotService(this); }
  ~ScriptedMailslot() override { platform::InstallMailslotService(nullptr); }

  platform::MailslotHandle OpenClient(const std::string& path) override;
  platform::MailslotHandle Create(const std::string& path, std::uint32_t maxMessageSize) override;
  bool Write(platform::MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
             std::uint32_t& written) override;
  bool GetInfo(platform::MailslotHandle handle, std::uint32_t& nextSize,
               std::uint32_t& count) override;
  bool Read(platform::MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
            std::uint32_t& read) override;
  void Close(platform::MailslotHandle handle) override;

  // --- the script ---
  bool refuseOpen = false;
  bool refuseCreate = false;
  int failWritesAfter = -1;      // writes that succeed before all fail; -1: never fail
  std::uint32_t shortWrite = 0;  // non-zero: writes report this many bytes
  // Messages waiting in the local mailslot at `path` (also before Create).
  void Arrive(const std::string& path, const Bytes& message);

  // --- what happened ---
  struct Write_ {
    std::string path;
    Bytes bytes;
  };
  std::vector<std::string> OpenedPaths();
  std::vector<Write_> Writes();
  int OpenHandles();  // client and local handles not closed yet
  std::size_t Waiting(const std::string& path);

 private:
  std::mutex mutex_;
  std::map<platform::MailslotHandle, std::string> handles_;  // handle → path
  std::map<std::string, std::deque<Bytes>> waiting_;         // local path → messages
  std::vector<std::string> opened_;
  std::vector<Write_> writes_;
  platform::MailslotHandle next_ = 100;
};

}  // namespace lomp::testing
