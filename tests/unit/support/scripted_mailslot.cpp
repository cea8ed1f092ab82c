#include "support/scripted_mailslot.h"

#include <cstring>

namespace lomp::testing {

using platform::kInvalidMailslotHandle;
using platform::MailslotHandle;

MailslotHandle ScriptedMailslot::OpenClient(const std::string& path) {
  const std::lock_guard lock(mutex_);
  opened_.push_back(path);
  if (refuseOpen) return kInvalidMailslotHandle;
  handles_[next_] = path;
  return next_++;
}

MailslotHandle ScriptedMailslot::Create(const std::string& path, std::uint32_t) {
  const std::lock_guard lock(mutex_);
  if (refuseCreate) return kInvalidMailslotHandle;
  handles_[next_] = path;
  waiting_[path];
  return next_++;
}

bool ScriptedMailslot::Write(MailslotHandle handle, const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t& written) {
  const std::lock_guard lock(mutex_);
  const auto found = handles_.find(handle);
  if (found == handles_.end()) return false;
  if (failWritesAfter == 0) return false;
  if (failWritesAfter > 0) --failWritesAfter;
  writes_.push_back({found->second, Bytes(data, data + length)});
  written = shortWrite != 0 ? shortWrite : length;
  return true;
}

bool ScriptedMailslot::GetInfo(MailslotHandle handle, std::uint32_t& nextSize,
                               std::uint32_t& count) {
  const std::lock_guard lock(mutex_);
  const auto found = handles_.find(handle);
  if (found == handles_.end()) return false;
  const auto& queue = waiting_[found->second];
  count = static_cast<std::uint32_t>(queue.size());
  nextSize = queue.empty() ? 0 : static_cast<std::uint32_t>(queue.front().size());
  return true;
}

bool ScriptedMailslot::Read(MailslotHandle handle, std::uint8_t* buffer, std::uint32_t capacity,
                            std::uint32_t& read) {
  const std::lock_guard lock(mutex_);
  const auto found = handles_.find(handle);
  if (found == handles_.end()) return false;
  auto& queue = waiting_[found->second];
  if (queue.empty() || queue.front().size() > capacity) return false;
  std::memcpy(buffer, queue.front().data(), queue.front().size());
  read = static_cast<std::uint32_t>(queue.front().size());
  queue.pop_front();
  return true;
}

void ScriptedMailslot::Close(MailslotHandle handle) {
  const std::lock_guard lock(mutex_);
  handles_.erase(handle);
}

void ScriptedMailslot::Arrive(const std::string& path, const Bytes& message) {
  const std::lock_guard lock(mutex_);
  waiting_[path].push_back(message);
}

std::vector<std::string> ScriptedMailslot::OpenedPaths() {
  const std::lock_guard lock(mutex_);
  return opened_;
}

std::vector<ScriptedMailslot::Write_> ScriptedMailslot::Writes() {
  const std::lock_guard lock(mutex_);
  return writes_;
}

int ScriptedMailslot::OpenHandles() {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::size_t ScriptedMailslot::Waiting(const std::string& path) {
  const std::lock_guard lock(mutex_);
  return waiting_[path].size();
}

}  // namespace lomp::testing
