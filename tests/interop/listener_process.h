// lomp --listen run beside a network test, and Samba's smbclient -M as a
// sender: what the receive mode's scenarios share.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "testbed_env.h"

namespace lomp::testing {

using namespace std::chrono_literals;

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// lomp --listen in network namespace `ns`; its output is read as it comes,
// on a thread of its own, so that a listener never waits for the test to
// read its records.
class Listener {
 public:
  // `environment`: more NAME=VALUE variables for it.
  Listener(const std::string& ns, std::vector<std::string> options,
           const std::vector<std::string>& environment = {})
      : errorFile_(std::filesystem::temp_directory_path() /
                   ("lomp-listen-" + std::to_string(getpid()) + "-" + std::to_string(++runs_))) {
    std::vector<std::string> command = {"env", "LC_ALL=C.UTF-8"};
    command.insert(command.end(), environment.begin(), environment.end());
    command.insert(command.end(), {"sh", "-c", "exec \"$@\" 2>\"" + errorFile_.string() + "\"",
                                   "sh", LOMP_BINARY, "--listen"});
    command.insert(command.end(), options.begin(), options.end());
    process_.emplace(InNamespace(ns, command));
    reader_ = std::thread([this] {
      for (;;) {
        const std::optional<std::string> line = process_->ReadLine(100ms);
        {
          const std::lock_guard lock(mutex_);
          if (line) {
            lines_.push_back(*line);
            arrived_.notify_all();
            continue;
          }
          if (stop_) return;
        }
        std::this_thread::sleep_for(20ms);  // the output may have ended
      }
    });
  }
  ~Listener() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    process_->Kill(SIGKILL);
    reader_.join();
    std::filesystem::remove(errorFile_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // True once it says it receives; false when it ended or said nothing in time.
  bool Ready() {
    for (auto waited = 0ms; waited < 10s; waited += 50ms) {
      if (Errors().find("lomp: receiving ") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::optional<std::string> NextLine(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return !lines_.empty(); })) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

  // The next record: its lines up to the empty line that ends it.
  std::string NextRecord(std::chrono::milliseconds timeout = 5s) {
    std::string record;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      const std::optional<std::string> line = NextLine(std::max(left, 1ms));
      if (!line) break;
      if (line->empty() && !record.empty()) return record;
      record += *line + "\n";
    }
    return record;
  }

  // Ends it with `signal`; its exit code.
  int Stop(int signal = SIGTERM) {
    process_->Kill(signal);
    return process_->Wait(10s);
  }
  int Wait() { return process_->Wait(10s); }
  std::string Errors() const { return ReadFile(errorFile_); }

 private:
  static inline int runs_ = 0;  // names each run's error file
  std::filesystem::path errorFile_;
  std::optional<ChildProcess> process_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> lines_;
  bool stop_ = false;
  std::thread reader_;
};

// smbclient -M: Samba's own Messenger client, from the client host.
inline int SmbclientMessage(const std::string& name, const std::string& address,
                            const std::string& text) {
  ChildProcess client(InNamespace(Env("LOMP_NS_CLIENT"),
                                  {"smbclient", "-M", name, "-I", address, "-U", "tester", "-N"}));
  client.WriteInput(text);
  client.CloseInput();
  client.ReadAll(20s);
  return client.Wait(20s);
}

}  // namespace lomp::testing
