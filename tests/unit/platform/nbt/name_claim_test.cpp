#include "platform/nbt/name_claim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "netbios/ncb_commands.h"
#include "platform/nbt/nbt_provider.h"
#include "support/child_process.h"

namespace lomp::platform::nbt {
namespace {

using namespace lomp::wire;

namespace fs = std::filesystem;
using lomp::testing::InChild;

class NameClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("lomp-claim-test-" + std::to_string(getpid()));
    fs::remove_all(base_);
  }
  void TearDown() override { fs::remove_all(base_); }
  fs::path base_;
};

TEST_F(NameClaimTest, OneHolderAtATimeUntilItsProcessEnds) {
  NameClaim mine;
  ASSERT_EQ(mine.Claim("BOB<03>", base_), ClaimResult::Claimed);
  NameClaim again;
  EXPECT_EQ(again.Claim("BOB<03>", base_), ClaimResult::Taken);
  EXPECT_EQ(InChild([&] {
              NameClaim other;
              return other.Claim("BOB<03>", base_) == ClaimResult::Taken ? 0 : 1;
            }),
            0);
  mine.Release();
  // A holder killed outright gives its names back.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    NameClaim held;
    const char result = held.Claim("BOB<03>", base_) == ClaimResult::Claimed ? 'y' : 'n';
    [[maybe_unused]] const auto written = write(ready[1], &result, 1);
    pause();
    _exit(0);
  }
  char result = 0;
  ASSERT_EQ(read(ready[0], &result, 1), 1);
  EXPECT_EQ(result, 'y');
  EXPECT_EQ(again.Claim("BOB<03>", base_), ClaimResult::Taken);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(again.Claim("BOB<03>", base_), ClaimResult::Claimed);
  close(ready[0]);
  close(ready[1]);
}

// Claims of names no longer in use leave nothing behind (thirty runs with
// thirty sender names used to leave thirty files), and a claim whose file
// a releasing holder removed under it is made again on a file of its own.
TEST_F(NameClaimTest, ReleasedClaimsLeaveNoFiles) {
  for (int run = 0; run < 30; ++run) {
    NameClaim claim;
    ASSERT_EQ(claim.Claim("SENDER" + std::to_string(run) + "<04>", base_), ClaimResult::Claimed);
  }
  const fs::path folder = ClaimFolder(base_);
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(fs::is_empty(folder));

  NameClaim first;
  ASSERT_EQ(first.Claim("BOB<03>", base_), ClaimResult::Claimed);
  NameClaim second;
  EXPECT_EQ(second.Claim("BOB<03>", base_), ClaimResult::Taken);
  first.Release();
  EXPECT_EQ(second.Claim("BOB<03>", base_), ClaimResult::Claimed);
  EXPECT_TRUE(fs::exists(folder / "BOB%3c03%3e"));
  NameClaim third;
  EXPECT_EQ(third.Claim("BOB<03>", base_), ClaimResult::Taken);
}

// An unusable folder is refused, and the reason names it and says what is
// wrong, so that a run can tell the user once.
TEST_F(NameClaimTest, AnUnusableFolderIsRefusedWithItsReason) {
  const auto problem = [&] { return FindClaimFolder(base_).problem; };
  fs::create_directories(base_);
  chmod(base_.c_str(), 0777);
  NameClaim claim;
  EXPECT_EQ(claim.Claim("X", base_), ClaimResult::Failed);
  EXPECT_EQ(problem(), base_.string() + " is open to other users (mode 0777)");
  fs::remove_all(base_);

  const fs::path target = base_.string() + "-target";
  fs::create_directories(target);
  chmod(target.c_str(), 0700);
  fs::create_directory_symlink(target, base_);
  EXPECT_EQ(claim.Claim("X", base_), ClaimResult::Failed);
  EXPECT_EQ(problem(), base_.string() + " is a symbolic link");
  fs::remove(base_);
  fs::remove_all(target);

  { std::ofstream file(base_); }
  EXPECT_EQ(problem(), base_.string() + " is not a folder");
  fs::remove(base_);
  EXPECT_EQ(
      FindClaimFolder("/proc/lomp-claims").problem.rfind("/proc/lomp-claims cannot be made: ", 0),
      0u);

  if (geteuid() == 0) {
    fs::create_directories(base_);
    chmod(base_.c_str(), 0700);
    ASSERT_EQ(chown(base_.c_str(), 65533, 65533), 0);
    EXPECT_EQ(problem(), base_.string() + " belongs to another user (uid 65533)");
    fs::remove_all(base_);
  }

  // Made afresh, it is ours alone.
  EXPECT_EQ(claim.Claim("X", base_), ClaimResult::Claimed);
  EXPECT_EQ(problem(), "");
  struct stat status {};
  ASSERT_EQ(stat(base_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// A user without a runtime folder (cron, system accounts) keeps his claims
// under his home, where nobody else can make the folder first: a folder
// another user made in /tmp under his name does not stop him. Only a user
// with no home of his own falls back to /tmp, and then hears why it fails.
TEST_F(NameClaimTest, AUserWithoutARuntimeFolderClaimsUnderHisHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  const fs::path squatted = "/tmp/lomp-65534";
  fs::remove_all(squatted);
  fs::create_directories(squatted);
  chmod(squatted.c_str(), 0700);
  ASSERT_EQ(chown(squatted.c_str(), 65533, 65533), 0);
  const fs::path home = base_ / "home";
  fs::create_directories(home);
  ASSERT_EQ(chown(base_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  chmod(home.c_str(), 0755);

  const auto asNobody = [](const std::string& homeValue, const std::function<int()>& body) {
    return InChild([&] {
      if (homeValue.empty()) {
        unsetenv("HOME");
      } else {
        setenv("HOME", homeValue.c_str(), 1);
      }
      if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
      return body();
    });
  };
  EXPECT_EQ(asNobody(home,
                     [&] {
                       const ClaimPlace place = FindClaimFolder();
                       NameClaim claim;
                       return place.folder.rfind(home.string() + "/.cache/lomp-", 0) == 0 &&
                                      claim.Claim("BOB<03>") == ClaimResult::Claimed
                                  ? 0
                                  : 1;
                     }),
            0);
  // nobody's home in the password database, /nonexistent, is not his.
  EXPECT_EQ(asNobody("",
                     [&] {
                       return FindClaimFolder().problem ==
                                      "/tmp/lomp-65534 belongs to another user (uid 65533)"
                                  ? 0
                                  : 1;
                     }),
            0);
  fs::remove_all(squatted);
}

// An unprivileged user who binds every abstract socket a name could be held
// by, and tries to create claims of his own, cannot keep root's lomp from
// registering its names.
TEST(NameSquatting, AnotherUserCannotBlockTheNamesOfRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  const std::string prefix = "lomp-squat-" + std::to_string(getpid());
  NbtSettings settings;
  in_addr loopback{};
  inet_pton(AF_INET, "127.0.0.1", &loopback);
  in_addr broadcast{};
  inet_pton(AF_INET, "127.255.255.255", &broadcast);
  settings.lanas = {{"lo", loopback, broadcast}};
  settings.registryPrefix = prefix;  // the running user's own folder: /run/lomp

  // The squatter runs as nobody and holds on until told to stop.
  int ready[2];
  int stop[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(stop), 0);
  const pid_t squatter = fork();
  if (squatter == 0) {
    close(stop[1]);
    close(ready[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int squatted = 0;
    for (int suffix = 0x04; suffix <= 0x2F; ++suffix) {
      std::uint8_t field[16];
      NBFormatName(field, "SQUAT", static_cast<std::uint8_t>(suffix));
      std::string hex;
      for (const std::uint8_t byte : field) {
        static constexpr char kHex[] = "0123456789abcdef";
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0F];
      }
      // Where names used to be held: abstract sockets anybody may bind.
      for (const std::string& key : {prefix + "/lo/" + hex, prefix + "-lo-" + hex}) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, key.data(), key.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size())) == 0) {
          ++squatted;
        }
      }
      // And a claim in root's folder, if only it could.
      NameClaim claim;
      claim.Claim(prefix + "-lo-" + hex, "/run/lomp");
    }
    const char done = squatted > 0 ? 'y' : 'n';
    [[maybe_unused]] const auto written = write(ready[1], &done, 1);
    char byte = 0;
    [[maybe_unused]] const auto got = read(stop[0], &byte, 1);
    _exit(0);
  }
  char done = 0;
  ASSERT_EQ(read(ready[0], &done, 1), 1);
  EXPECT_EQ(done, 'y');

  {
    NbtProvider provider(settings);
    InstallNetbiosProvider(&provider);
    ASSERT_EQ(NBReset(0, 16, 64), NRC_GOODRET);
    for (int suffix = 0x04; suffix <= 0x2F; ++suffix) {
      std::uint8_t number = 0;
      EXPECT_EQ(NBAddName(0, "SQUAT", static_cast<std::uint8_t>(suffix), number), NRC_GOODRET)
          << suffix;
    }
    InstallNetbiosProvider(nullptr);
  }
  close(stop[1]);
  waitpid(squatter, nullptr, 0);
  close(stop[0]);
  close(ready[0]);
  close(ready[1]);
  // The claims folder of root is root's alone.
  struct stat status {};
  ASSERT_EQ(stat("/run/lomp", &status), 0);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  for (const auto& entry : fs::directory_iterator(ClaimFolder())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) fs::remove(entry.path());
  }
}

}  // namespace
}  // namespace lomp::platform::nbt
