#include "platform/identity.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

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

}  // namespace
}  // namespace lomp::platform
