// A desktop's notification server for the tests: owns
// org.freedesktop.Notifications on the session bus it is given
// (DBUS_SESSION_BUS_ADDRESS) and writes each Notify call to a file, one line
// each: application, summary and body, separated by tabs, with line breaks
// and tabs of the texts written as \n and \t.
//
//   notification_recorder FILE
//
// Prints "ready" once it owns the name; runs until killed.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Escaped(const char* text) {
  std::string out;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at == '\n') {
      out += "\\n";
    } else if (*at == '\t') {
      out += "\\t";
    } else {
      out += *at;
    }
  }
  return out;
}

std::uint32_t lastId = 0;

int Notify(sd_bus_message* call, void* file, sd_bus_error* /*error*/) {
  const char* application = nullptr;
  std::uint32_t replaces = 0;
  const char* icon = nullptr;
  const char* summary = nullptr;
  const char* body = nullptr;
  const int result =
      sd_bus_message_read(call, "susss", &application, &replaces, &icon, &summary, &body);
  if (result < 0) return result;
  const std::string line =
      Escaped(application) + "\t" + Escaped(summary) + "\t" + Escaped(body) + "\n";
  std::fputs(line.c_str(), static_cast<FILE*>(file));
  std::fflush(static_cast<FILE*>(file));
  return sd_bus_reply_method_return(call, "u", ++lastId);
}

const sd_bus_vtable kNotifications[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", Notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: notification_recorder FILE\n");
    return 2;
  }
  FILE* file = std::fopen(argv[1], "a");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  sd_bus* bus = nullptr;
  int result = sd_bus_open_user(&bus);
  if (result >= 0) {
    result = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", kNotifications, file);
  }
  if (result >= 0) result = sd_bus_request_name(bus, "org.freedesktop.Notifications", 0);
  if (result < 0) {
    std::fprintf(stderr, "notification_recorder: %s\n", std::strerror(-result));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    result = sd_bus_process(bus, nullptr);
    if (result < 0) break;
    if (result == 0) sd_bus_wait(bus, UINT64_MAX);
  }
  return 1;
}
