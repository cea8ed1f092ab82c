#include "platform/login_watch.h"

#include <cstdint>
#include <cstring>

#include "platform/identity.h"
#include "platform/systemd_library.h"

namespace lomp::platform {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr std::uint64_t kWaitUs = 250'000;

sd_bus* Bus(void* bus) {
  return static_cast<sd_bus*>(bus);
}

// UserNew and UserRemoved: (u uid, o path).
int OnSignal(sd_bus_message* message, void* watch, sd_bus_error* /*error*/) {
  std::uint32_t uid = 0;
  const char* path = nullptr;
  const SystemdLibrary* sd = Systemd();  // loaded: the bus is open
  if (sd->bus_message_read(message, "uo", &uid, &path) < 0) return 0;
  const bool present = std::strcmp(sd->bus_message_get_member(message), "UserNew") == 0;
  if (const auto user = UserById(uid); user && !user->login.empty()) {
    (*static_cast<LoginWatch::Change*>(watch))(uid, user->login, present);
  }
  return 0;
}

}  // namespace

bool LoginWatch::Start(Change change, std::string& why) {
  change_ = std::move(change);
  const SystemdLibrary* sd = Systemd(&why);
  if (sd == nullptr) return false;
  sd_bus* bus = nullptr;
  int result = sd->bus_open_system(&bus);
  if (result < 0) {
    why = std::string("cannot connect to the system bus: ") + std::strerror(-result);
    return false;
  }
  bus_ = bus;
  // Subscribed before the list is asked for, so no login falls between.
  for (const char* member : {"UserNew", "UserRemoved"}) {
    if (result >= 0) {
      result = sd->bus_match_signal(bus, nullptr, kLogind, kManagerPath, kManager, member, OnSignal,
                                    &change_);
    }
  }
  sd_bus_error error{};  // as SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* reply = nullptr;
  if (result >= 0) {
    result =
        sd->bus_call_method(bus, kLogind, kManagerPath, kManager, "ListUsers", &error, &reply, "");
  }
  // a(uso): uid, name, object path.
  if (result >= 0) result = sd->bus_message_enter_container(reply, 'a', "(uso)");
  while (result > 0) {
    std::uint32_t uid = 0;
    const char* name = nullptr;
    const char* path = nullptr;
    result = sd->bus_message_read(reply, "(uso)", &uid, &name, &path);
    if (result > 0) change_(uid, name, true);
  }
  if (result >= 0) result = sd->bus_message_exit_container(reply);
  if (result < 0) {
    why = std::string("cannot follow logins: ") +
          (error.message != nullptr ? error.message : std::strerror(-result));
  }
  sd->bus_error_free(&error);
  sd->bus_message_unref(reply);
  if (result < 0) {
    sd->bus_flush_close_unref(bus);
    bus_ = nullptr;
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LoginWatch::Run() {
  while (!stop_) {
    const SystemdLibrary* sd = Systemd();  // loaded: the bus is open
    const int result = sd->bus_process(Bus(bus_), nullptr);
    if (result < 0) return;  // the bus went away: the users stay as they are
    if (result == 0) sd->bus_wait(Bus(bus_), kWaitUs);
  }
}

void LoginWatch::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (bus_ != nullptr) Systemd()->bus_flush_close_unref(Bus(bus_));
  bus_ = nullptr;
}

}  // namespace lomp::platform
