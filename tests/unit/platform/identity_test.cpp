#include "platform/identity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/child_process.h"

namespace lomp::platform {
namespace {

// The answers agree with the user database as the C library reads it, by
// id and by name, and the effective user's name is among them.
TEST(Identity, UsersAreLookedUpByIdAndByName) {
  const passwd* expected = getpwuid(geteuid());
  ASSERT_NE(expected, nullptr) << "the test runs as a user without an entry";
  const std::string login = expected->pw_name;
  const std::string home = expected->pw_dir;

  const auto byId = UserById(geteuid());
  ASSERT_TRUE(byId.has_value());
  EXPECT_EQ(byId->uid, geteuid());
  EXPECT_EQ(byId->login, login);
  EXPECT_EQ(byId->home, home);

  const auto byName = UserByName(login);
  ASSERT_TRUE(byName.has_value());
  EXPECT_EQ(byName->uid, geteuid());
  EXPECT_EQ(UserIdOf(login), geteuid());
  EXPECT_EQ(EffectiveUserName(), login);
  EXPECT_EQ(UserIdOf("root"), 0U);
}

TEST(Identity, UnknownUsersAreNothing) {
  EXPECT_FALSE(UserByName("").has_value());
  EXPECT_FALSE(UserByName("no-such-user-here-7f3a").has_value());
  EXPECT_FALSE(UserIdOf("no-such-user-here-7f3a").has_value());
  EXPECT_FALSE(UserById(3'999'999'999U).has_value());
}

// Puts `passwd` in the place of /etc/passwd for this process alone (a mount
// namespace of its own, in a user namespace of its own when not root).
bool SeeOwnUserDatabase(const std::string& passwd) {
  const uid_t uid = geteuid();
  if (uid != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    const std::string map = std::to_string(uid) + " " + std::to_string(uid) + " 1";
    const int fd = open("/proc/self/uid_map", O_WRONLY);
    if (fd < 0) return false;
    const bool mapped = write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
    close(fd);
    if (!mapped) return false;
  } else if (unshare(CLONE_NEWNS) != 0) {
    return false;
  }
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0;
}

// An entry longer than the size the C library suggests for the buffer (a
// long GECOS field) is found all the same, by name and by id.
TEST(Identity, AnEntryLargerThanTheSuggestedBufferIsFound) {
  char path[] = "/tmp/lomp-passwd-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string gecos(3000, 'g');
  const std::string entry = "wide:x:4242:4242:" + gecos + ":/home/wide:/bin/sh\n";
  ASSERT_EQ(write(fd, entry.data(), entry.size()), static_cast<ssize_t>(entry.size()));
  close(fd);
  chmod(path, 0644);

  const int found = testing::InChild([&] {
    alarm(10);
    if (!SeeOwnUserDatabase(path)) return 77;
    const auto byName = UserByName("wide");
    const auto byId = UserById(4242);
    return byName && byName->uid == 4242 && byName->home == "/home/wide" && byId &&
                   byId->login == "wide"
               ? 0
               : 1;
  });
  unlink(path);
  if (found == 77) GTEST_SKIP() << "no mount namespace to be had";
  EXPECT_EQ(found, 0);
}

}  // namespace
}  // namespace lomp::platform
