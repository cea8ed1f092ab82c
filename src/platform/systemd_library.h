// libsystemd, loaded when a mode first needs it (the service manager's
// notifications, the journal, the desktop's and logind's buses) rather than
// at every start: most runs send a message and end, and the library with
// the seven it needs would cost each of them more than its delivery.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <string>

namespace lomp::platform {

// The functions the program uses, named as in the library without "sd_".
struct SystemdLibrary {
  decltype(&::sd_notify) notify = nullptr;
  decltype(&::sd_journal_sendv) journal_sendv = nullptr;
  decltype(&::sd_bus_open_user) bus_open_user = nullptr;
  decltype(&::sd_bus_open_system) bus_open_system = nullptr;
  decltype(&::sd_bus_flush_close_unref) bus_flush_close_unref = nullptr;
  decltype(&::sd_bus_message_new_method_call) bus_message_new_method_call = nullptr;
  decltype(&::sd_bus_message_append) bus_message_append = nullptr;
  decltype(&::sd_bus_call) bus_call = nullptr;
  decltype(&::sd_bus_call_method) bus_call_method = nullptr;
  decltype(&::sd_bus_error_free) bus_error_free = nullptr;
  decltype(&::sd_bus_message_unref) bus_message_unref = nullptr;
  decltype(&::sd_bus_message_read) bus_message_read = nullptr;
  decltype(&::sd_bus_message_get_member) bus_message_get_member = nullptr;
  decltype(&::sd_bus_match_signal) bus_match_signal = nullptr;
  decltype(&::sd_bus_message_enter_container) bus_message_enter_container = nullptr;
  decltype(&::sd_bus_message_exit_container) bus_message_exit_container = nullptr;
  decltype(&::sd_bus_process) bus_process = nullptr;
  decltype(&::sd_bus_wait) bus_wait = nullptr;
};

// The library, loaded on the first call; nullptr when it cannot be (then
// `why`, when given, says why). Thread-safe.
const SystemdLibrary* Systemd(std::string* why = nullptr);

}  // namespace lomp::platform
