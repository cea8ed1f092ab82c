// logind as the tests need it: owns org.freedesktop.login1 on the bus it is
// given (DBUS_SYSTEM_BUS_ADDRESS), answers Manager.ListUsers with its users,
// and changes them on command, one line each on standard input:
//
//   add UID NAME       the user logs in (signal UserNew)
//   remove UID NAME    the user logs out (signal UserRemoved)
//
//   fake_logind [UID NAME]...     the users logged in at the start
//
// Prints "ready" once it owns the name, and "ok" after each command.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

std::map<std::uint32_t, std::string> users;

std::string UserPath(std::uint32_t uid) {
  return std::string(kPath) + "/user/_" + std::to_string(uid);
}

int ListUsers(sd_bus_message* call, void* /*data*/, sd_bus_error* /*error*/) {
  sd_bus_message* reply = nullptr;
  int result = sd_bus_message_new_method_return(call, &reply);
  if (result >= 0) result = sd_bus_message_open_container(reply, 'a', "(uso)");
  for (const auto& [uid, name] : users) {
    if (result >= 0) {
      result = sd_bus_message_append(reply, "(uso)", uid, name.c_str(), UserPath(uid).c_str());
    }
  }
  if (result >= 0) result = sd_bus_message_close_container(reply);
  if (result >= 0) result = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return result;
}

const sd_bus_vtable kManagerTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListUsers", "", "a(uso)", ListUsers, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("UserNew", "uo", 0), SD_BUS_SIGNAL("UserRemoved", "uo", 0), SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char* argv[]) {
  for (int index = 1; index + 1 < argc; index += 2) {
    users[static_cast<std::uint32_t>(std::stoul(argv[index]))] = argv[index + 1];
  }
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result >= 0) {
    result = sd_bus_add_object_vtable(bus, nullptr, kPath, kManager, kManagerTable, nullptr);
  }
  if (result >= 0) result = sd_bus_request_name(bus, "org.freedesktop.login1", 0);
  if (result < 0) {
    std::fprintf(stderr, "fake_logind: %s\n", std::strerror(-result));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string pending;
  for (;;) {
    while ((result = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (result < 0) return 1;
    pollfd watched[2] = {{0, POLLIN, 0},
                         {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
    poll(watched, 2, 100);
    if ((watched[0].revents & (POLLIN | POLLHUP)) == 0) continue;
    char block[256];
    const ssize_t length = read(0, block, sizeof block);
    if (length <= 0) return 0;
    pending.append(block, static_cast<std::size_t>(length));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::istringstream line(pending.substr(0, end));
      pending.erase(0, end + 1);
      std::string command;
      std::uint32_t uid = 0;
      std::string name;
      if (!(line >> command >> uid >> name)) continue;
      const bool add = command == "add";
      if (add) {
        users[uid] = name;
      } else {
        users.erase(uid);
      }
      sd_bus_emit_signal(bus, kPath, kManager, add ? "UserNew" : "UserRemoved", "uo", uid,
                         UserPath(uid).c_str());
      sd_bus_flush(bus);
      std::printf("ok\n");
      std::fflush(stdout);
    }
  }
}
