// Desktop notifications: the notification server of a desktop session
// (org.freedesktop.Notifications on the session bus) shows a summary and a
// body. One DesktopNotifier is one connection to the bus; it is used from
// one thread and lives as long as its owner keeps it.
#pragma once

#include <string>

struct sd_bus;

namespace lomp::platform {

class DesktopNotifier {
 public:
  DesktopNotifier() = default;
  ~DesktopNotifier();
  DesktopNotifier(const DesktopNotifier&) = delete;
  DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS, or the user's
  // bus under XDG_RUNTIME_DIR). False with the reason in `why`.
  bool Connect(std::string& why);

  // Asks the notification server to show a notification from `application`.
  // The texts must be UTF-8; the body may hold the server's markup, so
  // text from elsewhere must be escaped first (EscapeMarkup). Blocks until
  // the server answers, at most five seconds. False with the reason in `why`
  // (not connected, no notification server, no answer).
  bool Notify(const std::string& application, const std::string& summary, const std::string& body,
              std::string& why);

 private:
  sd_bus* bus_ = nullptr;
};

// `text` with the characters that notification markup gives a meaning
// (& < > ' ") written as entities, so that it shows as it is.
std::string EscapeMarkup(const std::string& text);

}  // namespace lomp::platform
