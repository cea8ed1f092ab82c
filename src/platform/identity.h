// Who and where this process runs: the computer name and the user name as the
// operating system reports them, in the console's character set.
#pragma once

#include <optional>
#include <string>

namespace lomp::platform {

// The host name up to its first dot. Empty when the system gives none.
std::optional<std::string> HostComputerName();

// The login name of the effective user; empty when the user has no entry.
std::optional<std::string> EffectiveUserName();

// The user id of the login `name` (as written, case counts); nothing when
// there is no such user. Thread-safe.
std::optional<unsigned> UserIdOf(const std::string& name);

// What the user database holds on one user, as far as this program asks.
struct UserEntry {
  unsigned uid = 0;
  std::string login;
  std::string home;  // empty when the entry names none
};

// The user database's entry for `uid`, or for the login `name` (as written);
// nothing when there is none or the database cannot be read. Thread-safe.
std::optional<UserEntry> UserById(unsigned uid);
std::optional<UserEntry> UserByName(const std::string& name);

}  // namespace lomp::platform
