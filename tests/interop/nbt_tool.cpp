// A helper for the network tests: holds names, listens, and plays peers that
// misbehave in ways Samba never does. One mode per run; it reports on
// standard output, a line at a time, and ends when told or killed.
//
//   nbt_tool hold NAME SUFFIX     register NAME<SUFFIX>; print "code N"; wait
//                                 for standard input to close
//   nbt_tool listen NAME          register NAME<03>, accept one call, answer
//                                 each message with "echo:" and the message
//   nbt_tool peer MODE PORT       a session service on PORT playing MODE:
//     negative   refuses every call (negative response 0x82)
//     mute       never answers a SESSION REQUEST
//     silent     accepts the session, never answers a message
//     close      accepts, closes after the first message
//     reset      accepts, resets after the first message
//     big        accepts, answers the first message with 2000 bytes
//     keepalive  accepts, sends a keep-alive, then answers "pong"
//     retarget   on PORT retargets to PORT+1000, where it answers "pong"
//     smb        a Messenger service: answers every SMB message
//     instant    as smb, serving each connection on the accepting thread, one
//                at a time: no thread to start before the first answer
//     garbage    accepts, then answers with a frame of an unknown type
//     stall      accepts, then announces 131071 bytes and sends none
//     trickle    accepts, then sends its reply one byte a second
//     resetN     answers N messages, then resets (N = 0..9)
//     flood      sends 100000 keep-alives before each answer
//     slow       answers a SESSION REQUEST after 2.6 s, then as smb; prints
//                "message TEXT" for each SMB request (printable bytes)
//     retargetlocal  retargets every call to 127.0.0.1:PORT+1000
//   Every peer prints "connection" for each connection it accepts.
//   nbt_tool badnames             answer every NAME QUERY on UDP 137 with
//                                 malformed, oversized and lying records
//   nbt_tool loopnames            answer every NAME QUERY on UDP 137 with
//                                 127.0.0.1
//   nbt_tool wackwins ADDRESS     a WINS server that answers every NAME QUERY
//                                 with a WAIT FOR ACKNOWLEDGEMENT of 4 s, and
//                                 2.5 s later with ADDRESS
//   nbt_tool status PORT NAME#XX[g]...
//                                 answer NODE STATUS on UDP 137 with these
//                                 names (g: a group); on PORT accept every
//                                 call, print "called NAME<XX>" and serve as
//                                 a Messenger service
//   nbt_tool deaf PORT            take every datagram on UDP PORT and never
//                                 answer (a DNS server gone deaf); print
//                                 "ready" once bound
//   nbt_tool baddatagrams ADDRESS WORKGROUP
//                                 send broken mailslot datagrams for MESSNGR to
//                                 ADDRESS:138, then one good one ("good")
//   nbt_tool mailslot NAME WORKGROUP COMPUTER
//                                 create the local mailslot NAME as a member of
//                                 WORKGROUP; print "ready", then each message
//                                 as hex, one a line, until killed
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "netbios/ncb_commands.h"
#include "platform/nbt/nbt_provider.h"
#include "platform/nbt/udp_mailslot_service.h"
#include "wire/mailslot_wire.h"
#include "wire/nbt_wire.h"

namespace {

using namespace lomp::wire;

using namespace lomp;
using namespace lomp::platform;
using namespace lomp::platform::nbt;

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

void WaitForInputToClose() {
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
}

int Hold(const std::string& name, int suffix) {
  NbtProvider provider;
  InstallNetbiosProvider(&provider);
  NBReset(0, 250, 250);
  std::uint8_t number = 0;
  Say("code " + std::to_string(NBAddName(0, name, static_cast<std::uint8_t>(suffix), number)));
  WaitForInputToClose();
  InstallNetbiosProvider(nullptr);
  return 0;
}

int ListenOnce(const std::string& name) {
  NbtProvider provider;
  InstallNetbiosProvider(&provider);
  NBReset(0, 250, 250);
  std::uint8_t number = 0;
  if (NBAddName(0, name, 0x03, number) != 0) return 3;
  Say("listening");
  Event event;
  std::uint8_t lsn = 0;
  std::string caller;
  const std::uint8_t code = NBListenAsy3(0, name, 10, lsn, caller, event);
  Say("listen " + std::to_string(code));
  if (code != 0) return 4;
  for (;;) {
    std::uint8_t buffer[1024];
    std::uint32_t length = sizeof buffer;
    const std::uint8_t received = NBRecv(0, 20, lsn, buffer, length);
    if (received != 0) {
      Say("receive " + std::to_string(received));
      break;
    }
    std::string reply = "echo:" + std::string(reinterpret_cast<char*>(buffer), length);
    NBSend(0, 20, lsn, reinterpret_cast<const std::uint8_t*>(reply.data()),
           static_cast<std::uint16_t>(reply.size()));
  }
  InstallNetbiosProvider(nullptr);
  return 0;
}

int ListenSocket(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
    std::perror("bind");
    std::exit(5);
  }
  return fd;
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(fd, data + got, count - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one frame; its type, or -1 when the connection ended.
int ReadFrame(int fd) {
  std::uint8_t header[4];
  if (!ReadAll(fd, header, 4)) return -1;
  const std::size_t length = (header[1] & 1 ? 0x10000u : 0u) | header[2] << 8 | header[3];
  std::vector<std::uint8_t> payload(length);
  if (length > 0 && !ReadAll(fd, payload.data(), length)) return -1;
  return header[0];
}

void SendBytes(int fd, const std::vector<std::uint8_t>& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void SendMessage(int fd, const std::string& text) {
  const auto header = wire::SessionMessageHeader(static_cast<std::uint32_t>(text.size()));
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  frame.insert(frame.end(), text.begin(), text.end());
  SendBytes(fd, frame);
}

// What a Messenger service answers to `request`: the header with the reply
// flag, and the group id 1 for a start command.
std::string SmbReply(const std::vector<std::uint8_t>& request) {
  std::string reply(32, '\0');
  for (std::size_t i = 0; i < 32 && i < request.size(); ++i)
    reply[i] = static_cast<char>(request[i]);
  reply[9] = static_cast<char>(0x80);
  if (request.size() > 4 && request[4] == 0xD5) {
    reply += std::string("\x01\x01\x00", 3);
  } else {
    reply.push_back('\0');
  }
  reply += std::string(2, '\0');
  return reply;
}

// Reads one session message; empty with `ok` false when the connection ended.
std::vector<std::uint8_t> ReadMessage(int fd, bool& ok) {
  std::uint8_t header[4];
  ok = ReadAll(fd, header, 4);
  if (!ok) return {};
  const std::size_t length = (header[1] & 1 ? 0x10000u : 0u) | header[2] << 8 | header[3];
  std::vector<std::uint8_t> payload(length);
  ok = length == 0 || ReadAll(fd, payload.data(), length);
  return payload;
}

void Hostile(int fd, const std::string& mode) {
  for (int answered = 0;; ++answered) {
    bool ok = false;
    const auto request = ReadMessage(fd, ok);
    if (!ok) return;
    if (mode == "slow") {
      std::string text;
      for (const std::uint8_t byte : request) {
        if (byte >= 0x20 && byte < 0x7F) text.push_back(static_cast<char>(byte));
      }
      Say("message " + text);
    }
    if (mode == "garbage") {
      SendBytes(fd, {0x42, 0x42, 0x42, 0x42, 0x13, 0x37});
      continue;
    }
    if (mode == "stall") {
      SendBytes(fd, {0x00, 0x01, 0xFF, 0xFF});
      pause();
    }
    if (mode == "trickle") {
      const std::string reply = SmbReply(request);
      const auto header = wire::SessionMessageHeader(static_cast<std::uint32_t>(reply.size()));
      SendBytes(fd, {header.begin(), header.end()});
      for (const char c : reply) {
        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
      continue;
    }
    if (mode.rfind("reset", 0) == 0 && answered >= mode[5] - '0') {
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      return;
    }
    if (mode == "flood") {
      std::vector<std::uint8_t> keepAlives;
      for (int i = 0; i < 100000; ++i)
        keepAlives.insert(keepAlives.end(), {wire::kKeepAlive, 0, 0, 0});
      SendBytes(fd, keepAlives);
    }
    SendMessage(fd, SmbReply(request));
  }
}

void Serve(int fd, const std::string& mode, int port) {
  if (mode == "mute") {
    pause();
    return;
  }
  if (ReadFrame(fd) != wire::kSessionRequest) return;
  if (mode == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  if (mode == "negative") {
    const auto refusal = wire::NegativeSessionResponse(0x82);
    SendBytes(fd, {refusal.begin(), refusal.end()});
    return;
  }
  if (mode == "retarget" || mode == "retargetlocal") {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    if (mode == "retargetlocal") inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    const int target = port + 1000;
    std::vector<std::uint8_t> retarget = {wire::kRetargetResponse, 0, 0, 6};
    std::uint8_t ip[4];
    std::memcpy(ip, &local.sin_addr.s_addr, sizeof ip);
    for (const std::uint8_t byte : ip) retarget.push_back(byte);
    retarget.push_back(static_cast<std::uint8_t>(target >> 8));
    retarget.push_back(static_cast<std::uint8_t>(target & 0xFF));
    SendBytes(fd, retarget);
    return;
  }
  const auto accept = wire::PositiveSessionResponse();
  SendBytes(fd, {accept.begin(), accept.end()});
  const bool resetAfter = mode.size() == 6 && mode.rfind("reset", 0) == 0 &&
                          std::isdigit(static_cast<unsigned char>(mode[5]));
  if (mode == "smb" || mode == "slow" || mode == "garbage" || mode == "stall" ||
      mode == "trickle" || mode == "flood" || resetAfter) {
    Hostile(fd, mode);
    return;
  }
  if (ReadFrame(fd) != wire::kSessionMessage) return;
  if (mode == "silent") {
    pause();
  } else if (mode == "reset") {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  } else if (mode == "big") {
    SendMessage(fd, std::string(2000, 'B'));
    ReadFrame(fd);
  } else if (mode == "keepalive") {
    SendBytes(fd, {wire::kKeepAlive, 0, 0, 0});
    SendMessage(fd, "pong");
    ReadFrame(fd);
  } else if (mode == "pong") {
    SendMessage(fd, "pong");
    ReadFrame(fd);
  }
}

int Peer(const std::string& mode, int port) {
  const int listener = ListenSocket(port);
  int second = -1;
  if (mode == "retarget") second = ListenSocket(port + 1000);
  Say("ready");
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {second, POLLIN, 0}};
    if (poll(fds, second >= 0 ? 2 : 1, -1) <= 0) continue;
    const bool onSecond = second >= 0 && fds[1].revents;
    const int fd = accept(onSecond ? second : listener, nullptr, nullptr);
    if (fd < 0) continue;
    Say("connection");
    if (mode == "instant") {
      Serve(fd, "smb", port);
      close(fd);
      continue;
    }
    std::thread([fd, mode, port, onSecond] {
      Serve(fd, onSecond ? "pong" : mode, port);
      close(fd);
    }).detach();
  }
}

int Mailslot(const std::string& name, const std::string& workgroup, const std::string& computer) {
  UdpMailslotSettings settings;
  settings.workgroup = workgroup;
  settings.computerName = computer;
  UdpMailslotService service(settings);
  InstallMailslotService(&service);
  const MailslotHandle handle = CreateMailslot("\\\\.\\MAILSLOT\\" + name, 400);
  if (handle == kInvalidMailslotHandle) {
    Say("create failed");
    return 3;
  }
  Say("ready");
  for (;;) {
    std::uint32_t nextSize = 0;
    std::uint32_t count = 0;
    if (GetMailslotInfo(handle, nextSize, count) && count > 0) {
      std::uint8_t message[400];
      std::uint32_t read = 0;
      if (ReadMailslot(handle, message, sizeof message, read)) {
        std::string hex;
        for (std::uint32_t i = 0; i < read; ++i) {
          char digits[3];
          std::snprintf(digits, sizeof digits, "%02x", message[i]);
          hex += digits;
        }
        Say(hex);
      }
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Sends one NAME QUERY RESPONSE to the query's asker: its id, `flags`,
// `count` answer records, then `record` as it is.
using Answer = std::function<void(std::uint16_t flags, std::uint16_t count,
                                  const std::vector<std::uint8_t>& record)>;

// Answers every NAME QUERY that reaches UDP 137 of any address: `respond`
// gets the question's encoded name (34 bytes) and sends what it likes.
int AnswerNameQueries(const std::function<void(const std::vector<std::uint8_t>& name,
                                               const Answer& answer)>& respond) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(137);
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 5;
  Say("ready");
  for (;;) {
    std::uint8_t query[600];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 50) continue;
    // The question as asked: id, then name at 12..45.
    const std::vector<std::uint8_t> id(query, query + 2);
    const std::vector<std::uint8_t> name(query + 12, query + 46);
    respond(name, [&](std::uint16_t flags, std::uint16_t count,
                      const std::vector<std::uint8_t>& record) {
      std::vector<std::uint8_t> packet = id;
      packet.insert(
          packet.end(),
          {static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags), 0, 0,
           static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0, 0, 0, 0});
      packet.insert(packet.end(), record.begin(), record.end());
      sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    });
  }
}

// The type NB, class IN and TTL 0 of an answer record, after its name.
const std::vector<std::uint8_t> kNbRecord = {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 0};

std::vector<std::uint8_t> Joined(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Answers every NAME QUERY with a burst of broken responses.
int BadNames() {
  return AnswerNameQueries([](const std::vector<std::uint8_t>& name, const Answer& answer) {
    const auto& nb = kNbRecord;
    answer(0x8500, 1, {});                                                         // no record
    answer(0x8500, 1, Joined(name, Joined(nb, {0xFF, 0xFF, 0, 0, 10, 0, 0, 1})));  // RDLENGTH lies
    answer(0x8500, 1, Joined(name, Joined(nb, {0x00, 0x06, 0x80, 0, 10, 0, 0, 1})));  // group only
    answer(0x8500, 1, Joined({0xC0, 0x0C}, Joined(nb, {0x00, 0x06, 0, 0, 10, 0, 0, 1})));  // loop
    answer(0x8503, 1, Joined(name, Joined(nb, {0x00, 0x00})));  // negative
    std::vector<std::uint8_t> huge = Joined(name, Joined(nb, {0x05, 0x70}));
    huge.resize(huge.size() + 1392, 0x41);                             // oversized, 232 entries
    for (std::size_t i = 44; i < huge.size(); i += 6) huge[i] = 0x80;  // all groups
    answer(0x8500, 1, huge);
    const std::vector<std::uint8_t> truncatedName(name.begin(), name.begin() + 20);
    answer(0x8500, 1, truncatedName);  // cut inside the name
  });
}

// Answers every NAME QUERY: the name is at 127.0.0.1 (a lie no host may tell).
int LoopNames() {
  return AnswerNameQueries([](const std::vector<std::uint8_t>& name, const Answer& answer) {
    answer(0x8500, 1, Joined(name, Joined(kNbRecord, {0x00, 0x06, 0, 0, 127, 0, 0, 1})));
  });
}

// A WINS server that is slow to make up its mind.
int WackWins(const std::string& address) {
  in_addr owner{};
  if (inet_pton(AF_INET, address.c_str(), &owner) != 1) return 2;
  std::uint8_t ip[4];
  std::memcpy(ip, &owner.s_addr, sizeof ip);
  return AnswerNameQueries([&](const std::vector<std::uint8_t>& name, const Answer& answer) {
    // Opcode 7 with the wait in the TTL; RDATA repeats the request's flags.
    answer(0xBC00, 1, Joined(name, {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 4, 0x00, 0x02, 0x01, 0x00}));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    answer(0x8500, 1,
           Joined(name, Joined(kNbRecord, {0x00, 0x06, 0, 0, ip[0], ip[1], ip[2], ip[3]})));
  });
}

// A UDP server that takes every datagram on `port` and never answers (a
// DNS server that is up but has gone deaf).
int DeafServer(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) return 1;
  Say("ready");
  std::uint8_t packet[1500];
  for (;;) {
    if (recv(fd, packet, sizeof packet, 0) < 0 && errno != EINTR) return 1;
  }
}

// A node with a name table: NODE STATUS on UDP 137, sessions on `port`.
int StatusNode(int port, const std::vector<std::string>& entries) {
  std::vector<std::uint8_t> table = {static_cast<std::uint8_t>(entries.size())};
  for (const std::string& entry : entries) {
    const auto hash = entry.find('#');
    std::string text = entry.substr(0, hash);
    text.resize(15, ' ');
    table.insert(table.end(), text.begin(), text.end());
    table.push_back(static_cast<std::uint8_t>(std::stoi(entry.substr(hash + 1, 2), nullptr, 16)));
    table.push_back(entry.back() == 'g' ? 0x84 : 0x04);  // active, group or unique
    table.push_back(0x00);
  }
  table.resize(table.size() + 46, 0);  // statistics
  const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(137);
  if (bind(udp, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 5;
  std::thread([udp, table] {
    for (;;) {
      std::uint8_t request[600];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          recvfrom(udp, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n != 50 || request[47] != 0x21) continue;  // node status questions only
      std::vector<std::uint8_t> answer = {request[0], request[1], 0x84, 0x00, 0, 0,
                                          0,          1,          0,    0,    0, 0};
      answer.insert(answer.end(), request + 12, request + 46);
      answer.insert(answer.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0,
                                   static_cast<std::uint8_t>(table.size() >> 8),
                                   static_cast<std::uint8_t>(table.size())});
      answer.insert(answer.end(), table.begin(), table.end());
      sendto(udp, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }).detach();
  const int listener = ListenSocket(port);
  Say("ready");
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread([fd] {
      std::uint8_t header[4];
      std::vector<std::uint8_t> payload(68);
      if (ReadAll(fd, header, 4) && header[0] == wire::kSessionRequest && header[3] == 68 &&
          ReadAll(fd, payload.data(), payload.size())) {
        if (const auto names = wire::ParseSessionRequest(payload)) {
          Say("called " + wire::NameWithSuffix(names->first));
          const auto accept = wire::PositiveSessionResponse();
          SendBytes(fd, {accept.begin(), accept.end()});
          Hostile(fd, "smb");
        }
      }
      close(fd);
    }).detach();
  }
}

// Sends broken mailslot datagrams, then a good one.
int BadDatagrams(const std::string& address, const std::string& workgroup) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(138);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  wire::MailslotDatagram datagram;
  datagram.source = wire::Name16{};
  datagram.source.fill(' ');
  std::memcpy(datagram.source.data(), "ROGUE", 5);
  datagram.source[15] = 0;
  datagram.destination.fill(' ');
  std::memcpy(datagram.destination.data(), workgroup.data(),
              std::min<std::size_t>(workgroup.size(), 15));
  datagram.destination[15] = 0;
  datagram.mailslot = "\\MAILSLOT\\MESSNGR";
  const std::string good("ROGUE\0GROUP\0good\0", 17);
  datagram.data.assign(good.begin(), good.end());
  const wire::Bytes whole = *wire::BuildMailslotDatagram(datagram);
  auto send = [&](const wire::Bytes& packet) {
    sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  for (std::size_t size = 0; size < whole.size(); size += 7) {
    send(wire::Bytes(whole.begin(), whole.begin() + static_cast<long>(size)));  // truncated
  }
  const std::size_t smb = 82;
  for (const auto& [at, value] :
       std::vector<std::pair<std::size_t, std::uint8_t>>{{10, 0xFF},
                                                         {smb + 33 + 22, 0xFF},
                                                         {smb + 33 + 24, 0xFF},
                                                         {smb + 33 + 24, 0x01},
                                                         {smb + 33 + 34, 0x00},
                                                         {smb + 32, 0x00}}) {
    wire::Bytes lying = whole;  // counts and offsets that lie
    lying[at] = value;
    send(lying);
  }
  wire::Bytes oversized = whole;
  oversized.resize(1400, 'x');
  send(oversized);
  wire::MailslotDatagram tooLong = datagram;
  tooLong.data.assign(401, 'y');  // more than the mailslot takes
  if (auto packet = wire::BuildMailslotDatagram(tooLong)) send(*packet);
  send(whole);
  Say("sent");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "hold") return Hold(args[1], std::stoi(args[2], nullptr, 0));
  if (args.size() == 2 && args[0] == "listen") return ListenOnce(args[1]);
  if (args.size() == 3 && args[0] == "peer") return Peer(args[1], std::stoi(args[2]));
  if (args.size() == 4 && args[0] == "mailslot") return Mailslot(args[1], args[2], args[3]);
  if (args.size() == 1 && args[0] == "badnames") return BadNames();
  if (args.size() == 1 && args[0] == "loopnames") return LoopNames();
  if (args.size() == 3 && args[0] == "baddatagrams") return BadDatagrams(args[1], args[2]);
  if (args.size() == 2 && args[0] == "wackwins") return WackWins(args[1]);
  if (args.size() == 2 && args[0] == "deaf") return DeafServer(std::stoi(args[1]));
  if (args.size() >= 2 && args[0] == "status") {
    return StatusNode(std::stoi(args[1]), {args.begin() + 2, args.end()});
  }
  std::cerr << "usage: nbt_tool hold NAME SUFFIX | listen NAME | peer MODE PORT\n";
  return 2;
}
