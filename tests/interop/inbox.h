// smbd's inbox in the test bed: its message command writes each message it
// receives to a file msg-SENDER-... of LOMP_INBOX (PEER's; FAR's is
// LOMP_FAR_INBOX), and PEER's journals the file names in LOMP_INBOX.order.
// Every helper takes the folder, PEER's unless told.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testbed_env.h"

namespace lomp::testing {

struct InboxMessage {
  std::string fileName;  // msg-SENDER-...
  std::string text;
};

// The messages in the inbox, oldest first: in the order of the folder's
// journal (FOLDER.order, one file name a line) where it has one, else by
// the files' times.
inline std::vector<InboxMessage> InboxMessages(const std::string& folder = Env("LOMP_INBOX")) {
  namespace fs = std::filesystem;
  std::map<std::string, std::size_t> journal;  // file name: its last line
  std::ifstream order(fs::path(folder).lexically_normal().string() + ".order");
  std::size_t line = 0;
  for (std::string name; std::getline(order, name);) journal[name] = ++line;

  std::vector<std::pair<std::pair<std::size_t, fs::file_time_type>, InboxMessage>> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::string name = entry.path().filename().string();
    const auto journaled = journal.find(name);
    const std::size_t place = journaled == journal.end() ? 0 : journaled->second;
    files.push_back({{place, entry.last_write_time()}, {std::move(name), content.str()}});
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<InboxMessage> messages;
  for (auto& [time, message] : files) messages.push_back(std::move(message));
  return messages;
}

// The texts of the inbox, oldest first.
inline std::vector<std::string> Inbox(const std::string& folder = Env("LOMP_INBOX")) {
  std::vector<std::string> texts;
  for (auto& message : InboxMessages(folder)) texts.push_back(std::move(message.text));
  return texts;
}

// Waits (at most 5 s) until `text` is in the inbox `count` times; true when
// it is there exactly that often.
inline bool ArrivedTimes(const std::string& text, std::size_t count) {
  std::size_t seen = 0;
  for (int i = 0; i < 100; ++i) {
    const auto texts = Inbox();
    seen = static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
    if (seen >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return seen == count;
}

// Waits (at most 5 s) for smbd to hand `text` to its message command.
inline bool Arrived(const std::string& text, const std::string& folder = Env("LOMP_INBOX")) {
  for (int i = 0; i < 100; ++i) {
    for (const std::string& message : Inbox(folder)) {
      if (message == text) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

inline void ClearInbox(const std::string& folder = Env("LOMP_INBOX")) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::filesystem::remove(entry.path());
  }
}

// A suite in the test bed whose tests each start with PEER's inbox empty.
class InboxSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { AssertInsideTestbed(); }
  void SetUp() override { ClearInbox(); }
};

}  // namespace lomp::testing
