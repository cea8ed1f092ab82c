// A name service of the test's own on a loopback address: it hears the
// NAME QUERY and NODE STATUS requests sent to it and answers as the test
// says, with the answer builders below. Nothing leaves loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wire/nbt_wire.h"

namespace lomp::testing {

inline wire::Name16 NetbiosName(const std::string& text, std::uint8_t suffix) {
  wire::Name16 name;
  name.fill(' ');
  std::memcpy(name.data(), text.data(), std::min<std::size_t>(text.size(), 15));
  name[15] = suffix;
  return name;
}

// The header of an answer to `query` (its id), `flags` and one answer
// record, and the record's name as the query asked it.
inline wire::Bytes AnswerStart(const wire::Bytes& query, std::uint16_t flags) {
  wire::Bytes answer(query.begin(), query.begin() + 2);
  wire::AppendBig16(answer, flags);
  wire::AppendBig16(answer, 0);  // no question
  wire::AppendBig16(answer, 1);  // one answer
  wire::AppendBig16(answer, 0);
  wire::AppendBig16(answer, 0);
  answer.insert(answer.end(), query.begin() + 12, query.begin() + 12 + wire::kEncodedNameSize);
  return answer;
}

// "NAME is at `address`", as an owner or a WINS server says it.
inline wire::Bytes PositiveAnswer(const wire::Bytes& query, const char* address) {
  wire::Bytes answer = AnswerStart(query, 0x8500);
  answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x06, 0x00, 0x00});
  in_addr at{};
  inet_pton(AF_INET, address, &at);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&at.s_addr);
  answer.insert(answer.end(), bytes, bytes + 4);
  return answer;
}

// "NAME does not exist" (RCODE 3), as a WINS server says it.
inline wire::Bytes NegativeAnswer(const wire::Bytes& query) {
  wire::Bytes answer = AnswerStart(query, 0x8503);
  answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x00});
  return answer;
}

// WAIT FOR ACKNOWLEDGEMENT for `seconds`.
inline wire::Bytes WackAnswer(const wire::Bytes& query, std::uint8_t seconds) {
  wire::Bytes answer = AnswerStart(query, 0xBC00);
  answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x01, 0, 0, 0, seconds, 0x00, 0x02, 0x01, 0x00});
  return answer;
}

// A node status answer with transaction `id`, as nmbd gives it.
inline wire::Bytes StatusAnswer(std::uint16_t id, const std::vector<wire::NodeStatusName>& names) {
  wire::Bytes answer;
  wire::AppendBig16(answer, id);
  wire::AppendBig16(answer, 0x8400);
  wire::AppendBig16(answer, 0);
  wire::AppendBig16(answer, 1);
  wire::AppendBig16(answer, 0);
  wire::AppendBig16(answer, 0);
  wire::Name16 wildcard{};
  wildcard[0] = '*';
  wire::AppendEncodedName(answer, wildcard);
  wire::AppendBig16(answer, 0x0021);
  wire::AppendBig16(answer, 0x0001);
  answer.insert(answer.end(), {0, 0, 0, 0});
  wire::AppendBig16(answer, static_cast<std::uint16_t>(1 + 18 * names.size() + 46));
  answer.push_back(static_cast<std::uint8_t>(names.size()));
  for (const wire::NodeStatusName& entry : names) {
    answer.insert(answer.end(), entry.name.begin(), entry.name.end());
    wire::AppendBig16(answer, entry.flags);
  }
  answer.insert(answer.end(), 46, 0);  // statistics
  return answer;
}

class NameServicePeer {
 public:
  // Sends one datagram back to the asker.
  using Reply = std::function<void(const wire::Bytes& answer)>;
  // Called on the peer's thread for every request; may reply any number of
  // times, and may take its time.
  using Handler = std::function<void(const wire::Bytes& request, const Reply& reply)>;

  // Hears UDP `port` of `address` (0: a free port, see port()). A broadcast
  // address hears broadcasts; the answers then come from 127.0.0.1.
  NameServicePeer(const char* address, std::uint16_t port, Handler handler)
      : handler_(std::move(handler)) {
    hear_ = Bound(address, port);
    sockaddr_in at{};
    socklen_t length = sizeof at;
    if (hear_ >= 0) getsockname(hear_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
    const bool broadcast = std::string(address).ends_with(".255");
    answer_ = broadcast ? Bound("127.0.0.1", 0) : hear_;
    thread_ = std::thread([this] { Run(); });
  }
  ~NameServicePeer() {
    stop_ = true;
    thread_.join();
    if (answer_ != hear_ && answer_ >= 0) close(answer_);
    if (hear_ >= 0) close(hear_);
  }
  NameServicePeer(const NameServicePeer&) = delete;
  NameServicePeer& operator=(const NameServicePeer&) = delete;

  bool ok() const { return hear_ >= 0 && answer_ >= 0; }
  std::uint16_t port() const { return port_; }
  int requests() const { return requests_; }

 private:
  static int Bound(const char* address, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    inet_pton(AF_INET, address, &at.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  void Run() {
    while (!stop_ && hear_ >= 0) {
      pollfd ready{hear_, POLLIN, 0};
      if (poll(&ready, 1, 5) <= 0) continue;
      std::uint8_t packet[1500];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(hear_, packet, sizeof packet, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 12 + static_cast<ssize_t>(wire::kEncodedNameSize)) continue;
      ++requests_;
      handler_(wire::Bytes(packet, packet + n), [&](const wire::Bytes& answer) {
        sendto(answer_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
               length);
      });
    }
  }

  const Handler handler_;
  int hear_ = -1;
  int answer_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> requests_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lomp::testing
