#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace lomp::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(HostLookup, OnlyDotsAndLongNamesAreHostNames) {
  EXPECT_TRUE(IsHostName("pc7.corp.example"));
  EXPECT_TRUE(IsHostName("pc7."));
  EXPECT_TRUE(IsHostName("a-name-of-16-chr"));
  EXPECT_FALSE(IsHostName("fifteen-chars15"));
  EXPECT_FALSE(IsHostName("PEER"));
  EXPECT_FALSE(IsHostName("10.1.2.7"));
  EXPECT_FALSE(IsHostName("255.255.255.255"));
  EXPECT_TRUE(IsHostName("10.1.2.300"));  // no address: a name with dots
}

// A stand-in for getent: a script that prints `output` and exits with
// `status`, after `pause` seconds.
class FakeGetent {
 public:
  FakeGetent(const std::string& output, int status, const std::string& pause = "0") {
    std::ofstream out(path_);
    out << "#!/bin/sh\n"
        << "[ \"$1 $2\" = 'ahostsv4 --' ] || exit 9\n"
        << "sleep " << pause << "\nprintf '%s' '" << output << "'\nexit " << status << "\n";
    out.close();
    chmod(path_.c_str(), 0700);
  }
  ~FakeGetent() { fs::remove(path_); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_ =
      (fs::temp_directory_path() / ("lomp-getent-" + std::to_string(getpid()))).string();
};

TEST(HostLookup, TheFirstAddressOfTheAnswerIsTaken) {
  const FakeGetent getent("10.1.2.7       STREAM pc7.corp.example\n10.1.2.7 DGRAM\n10.9.9.9 RAW\n",
                          0);
  const HostLookup found = LookUpHost("pc7.corp.example", 5s, nullptr, getent.path());
  ASSERT_EQ(found.outcome, HostLookup::Outcome::Found) << found.why;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &found.address, text, sizeof text);
  EXPECT_STREQ(text, "10.1.2.7");
}

TEST(HostLookup, UnknownNamesAndBrokenAnswersAreTold) {
  EXPECT_EQ(LookUpHost("nobody.example", 5s, nullptr, FakeGetent("", 2).path()).outcome,
            HostLookup::Outcome::Unknown);
  // An answer that holds no address is no address.
  EXPECT_EQ(LookUpHost("odd.example", 5s, nullptr, FakeGetent("garbage here\n", 0).path()).outcome,
            HostLookup::Outcome::Unknown);
  const HostLookup broken = LookUpHost("x.example", 5s, nullptr, FakeGetent("", 1).path());
  EXPECT_EQ(broken.outcome, HostLookup::Outcome::Failed);
  EXPECT_EQ(broken.why, "getent ended with status 1");
  const HostLookup missing = LookUpHost("x.example", 5s, nullptr, "/nonexistent/getent");
  EXPECT_EQ(missing.outcome, HostLookup::Outcome::Failed);
  EXPECT_NE(missing.why.find("No such file"), std::string::npos) << missing.why;
}

// A resolver that hangs is given up at the limit, or as soon as the caller
// abandons it, and killed: it is not left running.
TEST(HostLookup, AHangingResolverIsKilledAtTheLimit) {
  const FakeGetent getent("10.1.2.7 STREAM x\n", 0, "30");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(LookUpHost("slow.example", 300ms, nullptr, getent.path()).outcome,
            HostLookup::Outcome::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);

  std::atomic<bool> abandon{true};
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(LookUpHost("slow.example", 20s, &abandon, getent.path()).outcome,
            HostLookup::Outcome::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  // Every child was reaped: none is left to wait for.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
}  // namespace lomp::platform
