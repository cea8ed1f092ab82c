#include "platform/desktop_notification.h"

#include <cstdint>
#include <cstring>

#include "platform/systemd_library.h"

namespace lomp::platform {
namespace {

constexpr std::uint64_t kNotifyTimeoutUs = 5'000'000;

}  // namespace

DesktopNotifier::~DesktopNotifier() {
  if (bus_ != nullptr) Systemd()->bus_flush_close_unref(bus_);
}

bool DesktopNotifier::Connect(std::string& why) {
  const SystemdLibrary* sd = Systemd(&why);
  if (sd == nullptr) return false;
  if (bus_ != nullptr) sd->bus_flush_close_unref(bus_);
  bus_ = nullptr;
  const int result = sd->bus_open_user(&bus_);
  if (result < 0) {
    why = std::string("cannot connect to the session bus: ") + std::strerror(-result);
    bus_ = nullptr;
    return false;
  }
  return true;
}

bool DesktopNotifier::Notify(const std::string& application, const std::string& summary,
                             const std::string& body, std::string& why) {
  if (bus_ == nullptr) {
    why = "not connected to the session bus";
    return false;
  }
  const SystemdLibrary* sd = Systemd();  // loaded: the bus is open
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};  // as SD_BUS_ERROR_NULL, without its C compound literal
  int result = sd->bus_message_new_method_call(bus_, &call, "org.freedesktop.Notifications",
                                               "/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "Notify");
  // app name, replaces id, icon, summary, body, actions, hints, expiry
  // (-1: the server's default).
  if (result >= 0) {
    result = sd->bus_message_append(call, "susssasa{sv}i", application.c_str(), 0u, "",
                                    summary.c_str(), body.c_str(), 0, 0, -1);
  }
  if (result >= 0) result = sd->bus_call(bus_, call, kNotifyTimeoutUs, &error, &reply);
  if (result < 0) {
    why = error.message != nullptr ? error.message : std::strerror(-result);
  }
  sd->bus_error_free(&error);
  sd->bus_message_unref(reply);
  sd->bus_message_unref(call);
  return result >= 0;
}

std::string EscapeMarkup(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '\'': escaped += "&apos;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace lomp::platform
