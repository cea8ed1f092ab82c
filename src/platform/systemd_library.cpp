#include "platform/systemd_library.h"

#include <dlfcn.h>

namespace lomp::platform {
namespace {

struct Loaded {
  SystemdLibrary library;
  bool complete = false;
  std::string why;
};

template <class Function>
bool Resolve(void* handle, const char* name, Function& function, std::string& why) {
  function = reinterpret_cast<Function>(dlsym(handle, name));
  if (function == nullptr && why.empty()) why = std::string("libsystemd has no ") + name;
  return function != nullptr;
}

Loaded Load() {
  Loaded loaded;
  // Kept loaded until the process ends.
  void* handle = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    loaded.why = error != nullptr ? error : "libsystemd.so.0 cannot be loaded";
    return loaded;
  }
  SystemdLibrary& sd = loaded.library;
  std::string& why = loaded.why;
  bool all = Resolve(handle, "sd_notify", sd.notify, why);
  all &= Resolve(handle, "sd_journal_sendv", sd.journal_sendv, why);
  all &= Resolve(handle, "sd_bus_open_user", sd.bus_open_user, why);
  all &= Resolve(handle, "sd_bus_open_system", sd.bus_open_system, why);
  all &= Resolve(handle, "sd_bus_flush_close_unref", sd.bus_flush_close_unref, why);
  all &= Resolve(handle, "sd_bus_message_new_method_call", sd.bus_message_new_method_call, why);
  all &= Resolve(handle, "sd_bus_message_append", sd.bus_message_append, why);
  all &= Resolve(handle, "sd_bus_call", sd.bus_call, why);
  all &= Resolve(handle, "sd_bus_call_method", sd.bus_call_method, why);
  all &= Resolve(handle, "sd_bus_error_free", sd.bus_error_free, why);
  all &= Resolve(handle, "sd_bus_message_unref", sd.bus_message_unref, why);
  all &= Resolve(handle, "sd_bus_message_read", sd.bus_message_read, why);
  all &= Resolve(handle, "sd_bus_message_get_member", sd.bus_message_get_member, why);
  all &= Resolve(handle, "sd_bus_match_signal", sd.bus_match_signal, why);
  all &= Resolve(handle, "sd_bus_message_enter_container", sd.bus_message_enter_container, why);
  all &= Resolve(handle, "sd_bus_message_exit_container", sd.bus_message_exit_container, why);
  all &= Resolve(handle, "sd_bus_process", sd.bus_process, why);
  all &= Resolve(handle, "sd_bus_wait", sd.bus_wait, why);
  loaded.complete = all;
  return loaded;
}

}  // namespace

const SystemdLibrary* Systemd(std::string* why) {
  static const Loaded loaded = Load();
  if (!loaded.complete) {
    if (why != nullptr) *why = loaded.why;
    return nullptr;
  }
  return &loaded.library;
}

}  // namespace lomp::platform
