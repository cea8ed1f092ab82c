// Messages on the desktop: lomp --listen serving desktop agents, each
// lomp --agent on a session bus of its own (a real dbus-daemon) with a
// notification server that records what it is asked to show; senders are
// Samba's smbclient and lomp; and Samba's smbd handing its messages over
// through its message command.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listener_process.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/lomp_runner.h"
#include "testbed_env.h"

namespace lomp::testing {
namespace {

constexpr unsigned kNobody = 65534;

// A copy of `program` in `folder`, which every user may enter. The agents
// and Samba's message command run as other users, and the build tree may
// lie where they cannot reach it (under /root, in a 0700 temporary folder).
std::string SharedCopy(const std::filesystem::path& folder, const std::string& program) {
  const std::filesystem::path copy = folder / std::filesystem::path(program).filename();
  if (!std::filesystem::exists(copy)) {
    std::filesystem::copy_file(program, copy);
    std::filesystem::permissions(copy, std::filesystem::perms(0755));
  }
  return copy.string();
}

// A user's desktop: a session bus, a notification server recording into
// `notes`, and (once started) the user's lomp --agent.
class Desktop {
 public:
  Desktop(const std::filesystem::path& folder, unsigned uid)
      : uid_(uid), lomp_(SharedCopy(folder, LOMP_BINARY)) {
    home_ = folder / ("user-" + std::to_string(uid));
    std::filesystem::create_directories(home_);
    if (chown(home_.c_str(), uid, uid) != 0) ADD_FAILURE() << "cannot give " << home_ << " away";
    notes_ = home_ / "notes";
    bus_.emplace(AsUser({"dbus-daemon", "--session", "--nofork", "--print-address",
                         "--address=unix:path=" + (home_ / "bus").string()}));
    EXPECT_TRUE(bus_->ReadLine(10s)) << "the session bus of user " << uid << " did not start";
    recorder_.emplace(AsUser({SharedCopy(folder, NOTIFICATION_RECORDER), notes_.string()}));
    const auto ready = recorder_->ReadLine(10s);
    EXPECT_EQ(ready.value_or("nothing"), "ready");
  }
  ~Desktop() {
    agent_.reset();
    recorder_.reset();
    bus_.reset();
  }

  // Starts lomp --agent; true once it is connected to the service.
  bool StartAgent(const std::string& socket) {
    agent_.emplace(
        AsUser({"sh", "-c", "exec \"$@\" 2>&1", "sh", lomp_, "--agent", "--socket", socket}));
    for (auto line = agent_->ReadLine(10s); line; line = agent_->ReadLine(10s)) {
      if (line->find("showing the messages") != std::string::npos) return true;
    }
    return false;
  }
  void StopAgent() { agent_.reset(); }

  // What a second agent of the same user says, and its exit code.
  std::pair<std::string, int> SecondAgent(const std::string& socket) const {
    ChildProcess second(
        AsUser({"sh", "-c", "exec \"$@\" 2>&1", "sh", lomp_, "--agent", "--socket", socket}));
    std::string said = second.ReadAll(10s);
    return {said, second.Wait(10s)};
  }

  // The notifications shown: application, summary and body per line.
  std::string Notes() const { return ReadFile(notes_); }
  bool Shows(const std::string& part) {
    return Eventually(
        "\"" + part + "\" on the desktop of user " + std::to_string(uid_),
        [&] { return Notes().find(part) != std::string::npos; }, 10s);
  }

 private:
  std::vector<std::string> AsUser(std::vector<std::string> command) const {
    std::vector<std::string> full;
    if (uid_ != 0) {
      full = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(uid_),
              "--clear-groups"};
    }
    full.insert(full.end(),
                {"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home_ / "bus").string(),
                 "XDG_RUNTIME_DIR=" + home_.string()});
    full.insert(full.end(), command.begin(), command.end());
    return full;
  }

  unsigned uid_;
  std::string lomp_;
  std::filesystem::path home_;
  std::filesystem::path notes_;
  std::optional<ChildProcess> bus_;
  std::optional<ChildProcess> recorder_;
  std::optional<ChildProcess> agent_;
};

class DesktopMessages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { AssertInsideTestbed(); }
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("lomp-desktop-" + std::to_string(getpid()) + "-" + std::to_string(++runs_));
    std::filesystem::create_directories(folder_);
    chmod(folder_.c_str(), 0755);  // every user's agent reaches the socket
    socket_ = (folder_ / "agent.sock").string();
  }
  void TearDown() override {
    // What a failed scenario leaves (smbd's logs among it) is kept.
    if (!HasFailure()) std::filesystem::remove_all(folder_);
  }

  static inline int runs_ = 0;
  std::filesystem::path folder_;
  std::string socket_;
};

TEST_F(DesktopMessages, EachUserSeesTheirOwnAndEveryonesEscaped) {
  Listener listener(Env("LOMP_NS_SPARE"),
                    {"--name", "root", "--name", "nobody", "--no-terminals", "--socket", socket_});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  Desktop root(folder_, 0);
  Desktop nobody(folder_, kNobody);
  ASSERT_TRUE(root.StartAgent(socket_));
  ASSERT_TRUE(nobody.StartAgent(socket_));

  // To the computer: everyone's, its markup shown as text.
  ASSERT_EQ(SmbclientMessage("SPARE", Env("LOMP_SPARE_ADDR"), "Backup <b>done</b> & \"ok\""), 0);
  const std::string everyone =
      "lomp\tMessage from tester to SPARE\tBackup &lt;b&gt;done&lt;/b&gt; &amp; &quot;ok&quot;";
  EXPECT_TRUE(root.Shows(everyone)) << root.Notes();
  EXPECT_TRUE(nobody.Shows(everyone)) << nobody.Notes();

  // To a user's name: that user's alone, from Samba and from lomp.
  ASSERT_EQ(SmbclientMessage("ROOT", Env("LOMP_SPARE_ADDR"), "for root only"), 0);
  const LompRun sent = Lomp({"nobody", "for nobody only\nsecond line"}, "", Env("LOMP_NS_CLIENT"));
  EXPECT_EQ(sent.exitCode, 0) << sent.output;
  EXPECT_TRUE(root.Shows("to ROOT\tfor root only")) << root.Notes();
  EXPECT_TRUE(nobody.Shows("\tfor nobody only\\nsecond line")) << nobody.Notes();
  // Each record came after the other user's was shown; nothing strayed.
  EXPECT_EQ(root.Notes().find("for nobody only"), std::string::npos) << root.Notes();
  EXPECT_EQ(nobody.Notes().find("for root only"), std::string::npos) << nobody.Notes();
  EXPECT_EQ(listener.Stop(), 0);
}

TEST_F(DesktopMessages, AMessageWaitsUntilTheUsersAgentConnects) {
  Listener listener(Env("LOMP_NS_SPARE"),
                    {"--name", "nobody", "--no-terminals", "--socket", socket_});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  Desktop nobody(folder_, kNobody);
  const LompRun sent = Lomp({"nobody", "sent while away"}, "", Env("LOMP_NS_CLIENT"));
  EXPECT_EQ(sent.exitCode, 0) << sent.output;
  // The record says it arrived; no desktop has shown it yet.
  EXPECT_NE(listener.NextRecord().find("sent while away"), std::string::npos);
  EXPECT_TRUE(nobody.Notes().empty());
  ASSERT_TRUE(nobody.StartAgent(socket_));
  EXPECT_TRUE(nobody.Shows("\tsent while away")) << nobody.Notes();
  // One agent per user: a second one leaves at once.
  const auto [said, code] = nobody.SecondAgent(socket_);
  EXPECT_EQ(code, 0);
  EXPECT_NE(said.find("another agent shows this user's messages already"), std::string::npos)
      << said;
  EXPECT_EQ(listener.Stop(), 0);
}

// logind (a fake of our own on a bus of the test's) tells the receiver who
// logs in and out: each user's name is registered while the user is logged
// in, and messages to it reach that user's desktop.
TEST_F(DesktopMessages, TheUsersLoggedInAreReceivedFor) {
  const std::string bus = "unix:path=" + (folder_ / "system-bus").string();
  ChildProcess busDaemon(
      {"dbus-daemon", "--session", "--nofork", "--print-address", "--address=" + bus});
  ASSERT_TRUE(busDaemon.ReadLine(10s));
  ChildProcess logind({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus, FAKE_LOGIND, "65534", "nobody"});
  ASSERT_EQ(logind.ReadLine(10s).value_or("nothing"), "ready");
  Listener listener(Env("LOMP_NS_SPARE"), {"--logins", "--no-terminals", "--socket", socket_},
                    {"DBUS_SYSTEM_BUS_ADDRESS=" + bus});
  ASSERT_TRUE(listener.Ready()) << listener.Errors();
  EXPECT_NE(listener.Errors().find("receiving messages for NOBODY, who logged in"),
            std::string::npos)
      << listener.Errors();
  Desktop nobody(folder_, kNobody);
  ASSERT_TRUE(nobody.StartAgent(socket_));
  const std::string client = Env("LOMP_NS_CLIENT");
  const LompRun toNobody = Lomp({"nobody", "hello nobody"}, "", client);
  EXPECT_EQ(toNobody.exitCode, 0) << toNobody.output;
  EXPECT_TRUE(nobody.Shows("to nobody\thello nobody")) << nobody.Notes();

  // root logs in, nobody logs out.
  logind.WriteInput("add 0 root\n");
  ASSERT_EQ(logind.ReadLine(10s).value_or("nothing"), "ok");
  logind.WriteInput("remove 65534 nobody\n");
  ASSERT_EQ(logind.ReadLine(10s).value_or("nothing"), "ok");
  ASSERT_TRUE(Eventually(
      "the logins followed",
      [&] {
        const std::string said = listener.Errors();
        return said.find("receiving messages for ROOT, who logged in") != std::string::npos &&
               said.find("no longer receiving for NOBODY, who logged out") != std::string::npos;
      },
      10s))
      << listener.Errors();
  const LompRun toRoot = Lomp({"root", "hello root"}, "", client);
  EXPECT_EQ(toRoot.exitCode, 0) << toRoot.output;
  const LompRun gone = Lomp({"/t:1000", "nobody", "anyone there?"}, "", client);
  EXPECT_NE(gone.exitCode, 0) << gone.output;
  EXPECT_NE(gone.output.find("Recipient not found"), std::string::npos) << gone.output;
  EXPECT_EQ(listener.Stop(), 0);
}

// smbd on the second spare host, whose message command hands each message
// to lomp --listen --samba there.
TEST_F(DesktopMessages, SambasMessageCommandHandsOverToTheDesktop) {
  const std::filesystem::path samba = folder_ / "samba";
  for (const char* sub : {"lock", "state", "cache", "pid", "private", "ncalrpc", "log"}) {
    std::filesystem::create_directories(samba / sub);
  }
  const std::filesystem::path config = samba / "smb.conf";
  std::ofstream(config) << "[global]\n  netbios name = SPARE2\n  workgroup = LOMPTEST\n"
                        << "  interfaces = eth-t\n  bind interfaces only = yes\n"
                        << "  server min protocol = NT1\n  smb ports = 139\n"
                        << "  disable netbios = no\n"
                        << "  message command = " << SharedCopy(folder_, LOMP_BINARY)
                        << " --from-samba %s %f --socket " << socket_ << "\n"
                        << "  lock directory = " << (samba / "lock").string() << "\n"
                        << "  state directory = " << (samba / "state").string() << "\n"
                        << "  cache directory = " << (samba / "cache").string() << "\n"
                        << "  pid directory = " << (samba / "pid").string() << "\n"
                        << "  private dir = " << (samba / "private").string() << "\n"
                        << "  ncalrpc dir = " << (samba / "ncalrpc").string() << "\n"
                        << "  log file = " << (samba / "log").string() << "/%m.log\n"
                        << "  load printers = no\n  printcap name = /dev/null\n"
                        << "  disable spoolss = yes\n";
  Listener service(Env("LOMP_NS_SPARE2"), {"--samba", "--no-terminals", "--socket", socket_});
  ASSERT_TRUE(service.Ready()) << service.Errors();
  // In a session of its own: smbd signals its whole process group as it ends.
  std::vector<std::string> startSmbd = InNamespace(
      Env("LOMP_NS_SPARE2"), {"smbd", "--foreground", "--no-process-group", "-s", config.string()});
  startSmbd.insert(startSmbd.begin(), "setsid");
  ChildProcess smbd(startSmbd);
  ASSERT_TRUE(Eventually(
      "smbd to listen",
      [&] {
        ChildProcess probe(InNamespace(Env("LOMP_NS_SPARE2"), {"ss", "-ltn"}));
        const std::string sockets = probe.ReadAll(5s);
        probe.Wait(5s);
        return sockets.find(":139 ") != std::string::npos;
      },
      30s));
  Desktop root(folder_, 0);
  ASSERT_TRUE(root.StartAgent(socket_));
  ASSERT_EQ(SmbclientMessage("SPARE2", Env("LOMP_SPARE2_ADDR"), "via <i>smbd</i>\nline two"), 0);
  EXPECT_TRUE(
      root.Shows("lomp\tMessage from tester to SPARE2\tvia &lt;i&gt;smbd&lt;/i&gt;\\nline two"))
      << root.Notes() << service.Errors();
  // The record of the service has it too.
  EXPECT_NE(service.NextRecord().find("via <i>smbd</i>"), std::string::npos);
  smbd.Kill(SIGTERM);
  smbd.Wait(10s);
  EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
}  // namespace lomp::testing
