// Who is logged in to this machine, as logind tells it on the system bus
// (org.freedesktop.login1: ListUsers, then the UserNew and UserRemoved
// signals). The bus is DBUS_SYSTEM_BUS_ADDRESS, or the system's.
//
// One LoginWatch follows logins on a thread of its own from Start() until
// Stop() or its destructor; the callback runs on that thread, once for each
// user logged in at the start and for each that comes or goes later (a
// user with several sessions counts once).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace lomp::platform {

class LoginWatch {
 public:
  // uid, login name, and whether the user is now logged in.
  using Change = std::function<void(unsigned uid, const std::string& login, bool present)>;

  LoginWatch() = default;
  ~LoginWatch() { Stop(); }
  LoginWatch(const LoginWatch&) = delete;
  LoginWatch& operator=(const LoginWatch&) = delete;

  // Connects to the bus, reports the users logged in now (before it
  // returns) and follows the changes. False with the reason in `why` (no
  // system bus, no logind).
  bool Start(Change change, std::string& why);
  // Ends the thread; no callback runs after it returns.
  void Stop();

 private:
  void Run();

  Change change_;
  void* bus_ = nullptr;  // sd_bus*
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lomp::platform
