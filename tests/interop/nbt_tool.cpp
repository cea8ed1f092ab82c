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
//   nbt_tool mailslot NAME WORKGROUP COMPUTER
//                                 create the local mailslot NAME as a member of
//                                 WORKGROUP; print "ready", then each message
//                                 as hex, one a line, until killed
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "netbios/ncb_commands.h"
#include "platform/nbt_provider.h"
#include "platform/nbt_wire.h"
#include "platform/udp_mailslot_service.h"

namespace {

using namespace lomp;
using namespace lomp::platform;

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
  const auto header = nbt::SessionMessageHeader(static_cast<std::uint32_t>(text.size()));
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  frame.insert(frame.end(), text.begin(), text.end());
  SendBytes(fd, frame);
}

void Serve(int fd, const std::string& mode, int port) {
  if (mode == "mute") {
    pause();
    return;
  }
  if (ReadFrame(fd) != nbt::kSessionRequest) return;
  if (mode == "negative") {
    const auto refusal = nbt::NegativeSessionResponse(0x82);
    SendBytes(fd, {refusal.begin(), refusal.end()});
    return;
  }
  if (mode == "retarget") {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    const int target = port + 1000;
    std::vector<std::uint8_t> retarget = {nbt::kRetargetResponse, 0, 0, 6};
    std::uint8_t ip[4];
    std::memcpy(ip, &local.sin_addr.s_addr, sizeof ip);
    for (const std::uint8_t byte : ip) retarget.push_back(byte);
    retarget.push_back(static_cast<std::uint8_t>(target >> 8));
    retarget.push_back(static_cast<std::uint8_t>(target & 0xFF));
    SendBytes(fd, retarget);
    return;
  }
  const auto accept = nbt::PositiveSessionResponse();
  SendBytes(fd, {accept.begin(), accept.end()});
  if (ReadFrame(fd) != nbt::kSessionMessage) return;
  if (mode == "silent") {
    pause();
  } else if (mode == "reset") {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  } else if (mode == "big") {
    SendMessage(fd, std::string(2000, 'B'));
    ReadFrame(fd);
  } else if (mode == "keepalive") {
    SendBytes(fd, {nbt::kKeepAlive, 0, 0, 0});
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

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "hold") return Hold(args[1], std::stoi(args[2], nullptr, 0));
  if (args.size() == 2 && args[0] == "listen") return ListenOnce(args[1]);
  if (args.size() == 3 && args[0] == "peer") return Peer(args[1], std::stoi(args[2]));
  if (args.size() == 4 && args[0] == "mailslot") return Mailslot(args[1], args[2], args[3]);
  std::cerr << "usage: nbt_tool hold NAME SUFFIX | listen NAME | peer MODE PORT\n";
  return 2;
}
