#include "app/listen/desktop_modes.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/listen/listen_options.h"
#include "app/listen/notice.h"
#include "app/listen/receiver.h"
#include "platform/desktop_notification.h"
#include "platform/identity.h"
#include "platform/local_socket.h"
#include "platform/samba_config.h"
#include "platform/system_service.h"

namespace lomp {
namespace {

constexpr int kPollMs = 500;
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLastRetry = std::chrono::seconds(30);
constexpr int kAnswerWaitMs = 10000;
constexpr std::size_t kMaxSambaText = 4096;

// The value of --socket among `arguments` from `first` on, the others left
// in `rest`; false with `error` on an unknown option.
bool SocketOption(const std::vector<std::string>& arguments, std::size_t first, std::string& socket,
                  std::vector<std::string>& rest, std::string& error) {
  socket = kDefaultAgentSocket;
  for (std::size_t index = first; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--socket" && index + 1 < arguments.size()) {
      socket = arguments[++index];
    } else if (argument.rfind("--socket=", 0) == 0) {
      socket = argument.substr(9);
    } else if (argument.rfind("--", 0) == 0) {
      error = "unknown option: " + argument;
      return false;
    } else {
      rest.push_back(argument);
    }
  }
  if (socket.empty()) {
    error = "--socket needs a path";
    return false;
  }
  return true;
}

bool SendAll(int socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t length = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (length <= 0) return false;
    sent += static_cast<std::size_t>(length);
  }
  return true;
}

// Line breaks as smbd may leave them (CR LF, or CR alone) become line feeds.
std::string UnixLines(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] == '\r') {
      lines += '\n';
      if (index + 1 < text.size() && text[index + 1] == '\n') ++index;
    } else {
      lines += text[index];
    }
  }
  return lines;
}

}  // namespace

bool IsAgentCommand(const std::vector<std::string>& arguments) {
  return arguments.size() >= 2 && arguments[1] == "--agent";
}

bool IsFromSambaCommand(const std::vector<std::string>& arguments) {
  return arguments.size() >= 2 && arguments[1] == "--from-samba";
}

int AgentMode::Run(const std::vector<std::string>& arguments) {
  const auto say = [&](const std::string& line) {
    diagnostics_ << "lomp: " << line << "\n";
    diagnostics_.flush();
  };
  std::string path;
  std::vector<std::string> rest;
  std::string error;
  if (!SocketOption(arguments, 2, path, rest, error) || !rest.empty()) {
    say(error.empty() ? "--agent takes no arguments but --socket PATH" : error);
    return kDesktopModeUsage;
  }
  // One agent per user: a second one (the autostart entry and the user unit
  // both enabled) would show everything twice.
  if (!platform::HoldUserInstance("lomp-agent", error)) {
    if (!error.empty()) {
      say(error);
      return kDesktopModeFailed;
    }
    say("another agent shows this user's messages already");
    return kDesktopModeDone;
  }
  platform::DesktopNotifier notifier;
  bool busConnected = notifier.Connect(error);
  if (!busConnected) say(error + "; messages go to standard output");

  const auto show = [&](const Notice& notice) {
    const std::string summary = NoticeSummary(notice);
    const std::string body = platform::EscapeMarkup(NoticeBody(notice));
    std::string why;
    // A bus or notification server that went away is tried once more.
    if (busConnected && notifier.Notify("lomp", summary, body, why)) return;
    busConnected = notifier.Connect(why) && notifier.Notify("lomp", summary, body, why);
    if (busConnected) return;
    say("cannot show a message on the desktop: " + why);
    out_ << NoticeRecord(notice);
    out_.flush();
  };

  bool waitingSaid = false;
  auto retryAfter = kFirstRetry;
  while (!stop_) {
    const int socket = platform::ConnectLocal(path, error);
    if (socket < 0 || !SendAll(socket, "A")) {
      if (socket >= 0) close(socket);
      if (!waitingSaid) say("waiting for the receiver service: " + error);
      waitingSaid = true;
      // A service that is not enabled here may never come: ask less often.
      const auto until = std::chrono::steady_clock::now() + retryAfter;
      retryAfter = std::min(retryAfter * 2, kLastRetry);
      while (!stop_ && std::chrono::steady_clock::now() < until) {
        poll(nullptr, 0, kPollMs);
      }
      continue;
    }
    retryAfter = kFirstRetry;
    say("showing the messages of the receiver service at " + path);
    std::string received;
    while (!stop_) {
      pollfd watched{socket, POLLIN, 0};
      if (poll(&watched, 1, kPollMs) <= 0) continue;
      char block[4096];
      const ssize_t length = recv(socket, block, sizeof block, 0);
      if (length <= 0) break;
      received.append(block, static_cast<std::size_t>(length));
      while (received.size() >= 4) {
        const std::uint32_t frame = NoticeFrameLength(received);
        if (frame > kMaxNoticeFrame) {
          received.clear();
          break;
        }
        if (received.size() - 4 < frame) break;
        if (const auto notice = DecodeNotice(std::string_view(received).substr(4, frame))) {
          show(*notice);
        }
        received.erase(0, 4 + std::size_t{frame});
      }
    }
    close(socket);
    if (!stop_) say("the receiver service went away; waiting for it");
    waitingSaid = true;
  }
  return kDesktopModeDone;
}

int RunFromSamba(const std::vector<std::string>& arguments, std::ostream& diagnostics) {
  const auto fail = [&](const std::string& line) {
    diagnostics << "lomp: " << line << "\n";
    diagnostics.flush();
    return kDesktopModeFailed;
  };
  std::string path;
  std::vector<std::string> rest;
  std::string error;
  if (!SocketOption(arguments, 2, path, rest, error)) return fail(error);
  // smbd runs the command without a shell: an '&' copied from a guide
  // that backgrounds it arrives as an argument of its own.
  if (!rest.empty() && rest.back() == "&") rest.pop_back();
  if (rest.size() != 2 && rest.size() != 3) {
    std::string given;
    for (const std::string& argument : rest) given += " \"" + argument + "\"";
    return fail("usage: lomp --from-samba FILE FROM [TO] [--socket PATH] (given:" + given + ")");
  }
  const std::string& file = rest[0];
  std::string refusal;
  const std::optional<std::string> text = platform::ReadConfigFile(file, &refusal);
  if (!text) return fail("cannot read " + file + (refusal.empty() ? "" : ": " + refusal));

  Notice notice;
  notice.kind = MessageKind::Personal;
  notice.from = HarmlessUtf8(rest[1], false);
  // smbd cannot say which of its names a message was for (its %t is the
  // time): without TO, this computer's.
  notice.to =
      HarmlessUtf8(rest.size() == 3 ? rest[2] : platform::HostComputerName().value_or(""), false);
  notice.time = RecordTime();
  std::string lines = UnixLines(*text);
  if (lines.size() > kMaxSambaText) {
    lines.resize(kMaxSambaText);
    notice.cut = true;
  }
  notice.text = HarmlessUtf8(lines, true);

  const int socket = platform::ConnectLocal(path, error);
  if (socket < 0) return fail(error + "; the message stays in " + file);
  char answer = 0;
  pollfd watched{socket, POLLIN, 0};
  const bool answered = SendAll(socket, "S" + EncodeNotice(notice)) &&
                        poll(&watched, 1, kAnswerWaitMs) == 1 && recv(socket, &answer, 1, 0) == 1;
  close(socket);
  if (!answered || answer != 'K') {
    return fail(std::string("the receiver service ") +
                (answered ? "did not keep the message" : "did not answer") + "; it stays in " +
                file);
  }
  if (std::remove(file.c_str()) != 0)
    return fail("the message was passed on but " + file + " stays");
  return kDesktopModeDone;
}

}  // namespace lomp
