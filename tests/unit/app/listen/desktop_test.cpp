// What the receiver service hands to the desktops: notices and their
// frames, the hub that routes them to each user's agents, and what a
// notification shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmpx.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/listen/desktop_hub.h"
#include "app/listen/notice.h"
#include "app/listen/service_destinations.h"
#include "platform/desktop_notification.h"
#include "platform/local_socket.h"
#include "support/eventually.h"

namespace lomp {
namespace {

constexpr unsigned kNobody = 65534;

Notice MakeNotice(MessageKind kind, std::string to, std::string text) {
  Notice notice;
  notice.kind = kind;
  notice.from = "ALICE";
  notice.to = std::move(to);
  notice.time = "2026-12-09 14:03:12";
  notice.address = "10.1.2.3";
  notice.text = std::move(text);
  return notice;
}

TEST(Notice, FramesCarryEveryFieldAndRefuseWhatIsNoNotice) {
  Notice notice = MakeNotice(MessageKind::Group, "LOMPTEST", "two\nlines\tand a tab");
  notice.cut = true;
  const std::string frame = EncodeNotice(notice);
  ASSERT_GE(frame.size(), 4u);
  const std::uint32_t length = (std::uint32_t{static_cast<unsigned char>(frame[0])} << 24) |
                               (std::uint32_t{static_cast<unsigned char>(frame[1])} << 16) |
                               (std::uint32_t{static_cast<unsigned char>(frame[2])} << 8) |
                               std::uint32_t{static_cast<unsigned char>(frame[3])};
  ASSERT_EQ(length, frame.size() - 4);
  const std::string payload = frame.substr(4);
  const auto decoded = DecodeNotice(payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->kind, MessageKind::Group);
  EXPECT_EQ(decoded->from, "ALICE");
  EXPECT_EQ(decoded->to, "LOMPTEST");
  EXPECT_EQ(decoded->time, "2026-12-09 14:03:12");
  EXPECT_EQ(decoded->address, "10.1.2.3");
  EXPECT_EQ(decoded->text, "two\nlines\tand a tab");
  EXPECT_TRUE(decoded->cut);

  // Every shorter payload lacks a field; one more field, an unknown kind
  // and a NUL smuggled into a field are refused or neutralised.
  for (std::size_t size = 0; size < payload.size(); ++size) {
    EXPECT_FALSE(DecodeNotice(payload.substr(0, size))) << "prefix of " << size << " bytes";
  }
  EXPECT_FALSE(DecodeNotice(payload + std::string("x\0", 2)));
  std::string unknownKind = payload;
  unknownKind.replace(0, 5, "admin");
  EXPECT_FALSE(DecodeNotice(unknownKind));
  Notice smuggled = MakeNotice(MessageKind::Personal, std::string("BOB\0group", 9), "x");
  const auto neutral = DecodeNotice(EncodeNotice(smuggled).substr(4));
  ASSERT_TRUE(neutral);
  EXPECT_EQ(neutral->to, "BOB?group");
  EXPECT_EQ(neutral->kind, MessageKind::Personal);
}

TEST(Notice, TextFromElsewhereIsMadeHarmless) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"caf\xC3\xA9", "caf\xC3\xA9"},        // valid UTF-8 stays
      {"\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},  // a three-byte sign
      {"a\x1B[2Jb", "a\\x1B[2Jb"},           // a terminal's escape
      {"\xC2\x9B"
       "31m",
       "\\x9B31m"},                                                              // its C1 form
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},  // a sequence cut short
      {"line\nnext\ttab", "line\nnext\ttab"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(HarmlessUtf8(input, true), expected) << input;
  }
  EXPECT_EQ(HarmlessUtf8("name\nline", false), "name\\x0Aline");
}

TEST(Notice, WhatPeopleSee) {
  Notice notice = MakeNotice(MessageKind::Personal, "BOB", "<b>Backup</b> & \"done\"'\n");
  EXPECT_EQ(NoticeSummary(notice), "Message from ALICE to BOB");
  EXPECT_EQ(platform::EscapeMarkup(NoticeBody(notice)),
            "&lt;b&gt;Backup&lt;/b&gt; &amp; &quot;done&quot;&apos;");
  notice.cut = true;
  EXPECT_NE(NoticeBody(notice).find("the rest was not kept"), std::string::npos);

  std::map<std::string, std::string> fields;
  for (const auto& field : JournalFieldsOf(notice)) fields[field.name] = field.value;
  EXPECT_EQ(fields["LOMP_FROM"], "ALICE");
  EXPECT_EQ(fields["LOMP_TO"], "BOB");
  EXPECT_EQ(fields["LOMP_KIND"], "personal");
  EXPECT_EQ(fields["LOMP_ADDRESS"], "10.1.2.3");
  EXPECT_EQ(fields["LOMP_CUT"], "1");
  EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "lomp");
  EXPECT_EQ(fields["MESSAGE"].rfind("Message from ALICE to BOB: <b>Backup</b>", 0), 0u);
}

TEST(Notice, AMessageToAUserIsThatUsersAlone) {
  const std::vector<std::string> computer = {"SPARE", "ALIAS"};
  EXPECT_EQ(UserRecipient(MakeNotice(MessageKind::Personal, "ROOT", ""), computer), 0u);
  EXPECT_EQ(UserRecipient(MakeNotice(MessageKind::Personal, "nobody", ""), computer), kNobody);
  EXPECT_FALSE(UserRecipient(MakeNotice(MessageKind::Personal, "SPARE", ""), computer));
  EXPECT_FALSE(UserRecipient(MakeNotice(MessageKind::Personal, "alias", ""), computer));
  EXPECT_FALSE(UserRecipient(MakeNotice(MessageKind::Personal, "NOSUCHUSER9", ""), computer));
  EXPECT_FALSE(UserRecipient(MakeNotice(MessageKind::Group, "ROOT", ""), computer));
}

// A hub on a socket in a folder of its own, and peers connected as any user.
class Hub : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to connect as another user";
    }
    char folder[] = "/tmp/lomp-hub-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    chmod(folder, 0755);  // other users' agents must reach the socket
    path_ = folder_ + "/agent.sock";
  }
  void TearDown() override {
    hub_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  void StartHub(std::set<unsigned> submitters = {}, DesktopHubLimits limits = {}) {
    std::string why;
    const int socket = platform::ListenLocal(path_, why);
    ASSERT_GE(socket, 0) << why;
    hub_.emplace(
        socket, [](const Notice& notice) { return UserRecipient(notice, {"SPARE"}); },
        [this](const Notice& notice) {
          const std::lock_guard lock(mutex_);
          kept_.push_back(notice.text);
          return keepSubmissions_.load();
        },
        std::move(submitters), diagnostics_, limits);
  }

  // A socket connected to the hub by a process running as `uid` (a child
  // that connects and exits; the connection keeps its credentials).
  int ConnectAs(unsigned uid) {
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    const pid_t child = fork();
    if (child == 0) {
      if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(2);
      _exit(connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                              : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      close(socket);
      return -1;
    }
    return socket;
  }

  int AgentAs(unsigned uid) {
    const int socket = ConnectAs(uid);
    if (socket >= 0) {
      EXPECT_EQ(send(socket, "A", 1, MSG_NOSIGNAL), 1);
    }
    return socket;
  }

  // The texts of the notices that arrive on `socket` until none has come
  // for `waitMs`.
  static std::vector<std::string> Texts(int socket, int waitMs = 300) {
    std::vector<std::string> texts;
    std::string received;
    for (;;) {
      pollfd watched{socket, POLLIN, 0};
      if (poll(&watched, 1, waitMs) != 1) break;
      char block[4096];
      const ssize_t length = recv(socket, block, sizeof block, 0);
      if (length <= 0) break;
      received.append(block, static_cast<std::size_t>(length));
      while (received.size() >= 4) {
        const std::size_t frame = (std::size_t{static_cast<unsigned char>(received[2])} << 8) |
                                  static_cast<unsigned char>(received[3]);
        if (received.size() < 4 + frame) break;
        const auto notice = DecodeNotice(std::string_view(received).substr(4, frame));
        texts.push_back(notice ? notice->text : "(not a notice)");
        received.erase(0, 4 + frame);
      }
    }
    return texts;
  }

  // Hands a notice over as `uid`; the hub's one-byte answer, or '?'.
  char Submit(unsigned uid, const std::string& bytes) {
    const int socket = ConnectAs(uid);
    if (socket < 0) return '?';
    char answer = '?';
    pollfd watched{socket, POLLIN, 0};
    if (send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size()) ||
        poll(&watched, 1, 5000) != 1 || recv(socket, &answer, 1, 0) != 1) {
      answer = '?';
    }
    close(socket);
    return answer;
  }

  std::string folder_;
  std::string path_;
  std::ostringstream diagnostics_;
  std::optional<DesktopHub> hub_;
  std::mutex mutex_;
  std::vector<std::string> kept_;
  std::atomic<bool> keepSubmissions_{true};
};

TEST_F(Hub, EachUserGetsTheirOwnAndEveryoneTheCommon) {
  StartHub();
  const int root = AgentAs(0);
  const int nobody = AgentAs(kNobody);
  ASSERT_GE(root, 0);
  ASSERT_GE(nobody, 0);
  Texts(root, 100);  // both agents are in before the first notice
  hub_->Deliver(MakeNotice(MessageKind::Personal, "ROOT", "for root"));
  hub_->Deliver(MakeNotice(MessageKind::Personal, "SPARE", "for the computer"));
  hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", "for the group"));
  hub_->Deliver(MakeNotice(MessageKind::Personal, "NOBODY", "for nobody"));
  EXPECT_EQ(Texts(root),
            (std::vector<std::string>{"for root", "for the computer", "for the group"}));
  EXPECT_EQ(Texts(nobody),
            (std::vector<std::string>{"for the computer", "for the group", "for nobody"}));
  close(root);
  close(nobody);
}

TEST_F(Hub, WhatCameWhileNoAgentRanIsShownOnceItConnects) {
  DesktopHubLimits limits;
  limits.keptPerUser = 2;
  limits.keptForEveryone = 2;
  StartHub({}, limits);
  hub_->Deliver(MakeNotice(MessageKind::Personal, "NOBODY", "first for nobody"));
  hub_->Deliver(MakeNotice(MessageKind::Personal, "NOBODY", "second for nobody"));
  hub_->Deliver(MakeNotice(MessageKind::Personal, "NOBODY", "third for nobody"));
  hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", "group one"));
  hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", "group two"));
  hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", "group three"));
  hub_->Deliver(MakeNotice(MessageKind::Personal, "ROOT", "for root"));
  // The latest that fit are kept, the user's own first.
  const int nobody = AgentAs(kNobody);
  EXPECT_EQ(Texts(nobody), (std::vector<std::string>{"second for nobody", "third for nobody",
                                                     "group two", "group three"}));
  close(nobody);
  // A user's next agent gets only what came after.
  const int next = AgentAs(kNobody);
  EXPECT_TRUE(Texts(next, 100).empty());
  close(next);
  ASSERT_TRUE(testing::Eventually("the agents to leave", [&] { return hub_->Agents() == 0; }));
  hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", "group four"));
  const int again = AgentAs(kNobody);
  EXPECT_EQ(Texts(again), (std::vector<std::string>{"group four"}));
  close(again);
  const int root = AgentAs(0);
  EXPECT_EQ(Texts(root), (std::vector<std::string>{"for root", "group three", "group four"}));
  close(root);
}

TEST_F(Hub, OnlyRootAndSambasUserHandMessagesOver) {
  StartHub({kNobody});
  const int agent = AgentAs(0);
  Texts(agent, 100);
  const std::string frame = EncodeNotice(MakeNotice(MessageKind::Personal, "SPARE", "via samba"));
  EXPECT_EQ(Submit(kNobody, "S" + frame), 'K');
  EXPECT_EQ(Texts(agent), (std::vector<std::string>{"via samba"}));
  EXPECT_EQ(Submit(0, "S" + frame), 'K');
  // Another user may not; a malformed or oversized frame and one the record
  // did not keep are answered 'N' and go nowhere.
  EXPECT_EQ(Submit(1, "S" + frame), 'N');
  EXPECT_EQ(Submit(0, "S" + std::string("\0\0\0\3abc", 7)), 'N');
  EXPECT_EQ(Submit(0, "S" + std::string("\x7F\xFF\xFF\xFF", 4)), 'N');
  keepSubmissions_ = false;
  EXPECT_EQ(Submit(0, "S" + frame), 'N');
  EXPECT_EQ(Texts(agent), (std::vector<std::string>{"via samba"}));
  {
    const std::lock_guard lock(mutex_);
    EXPECT_EQ(kept_.size(), 3u);  // two kept, one the record refused
  }
  close(agent);
}

TEST_F(Hub, APeerThatSaysNothingOrReadsNothingIsLetGo) {
  DesktopHubLimits limits;
  limits.helloTime = std::chrono::milliseconds(200);
  limits.maxUnsentBytes = 64 * 1024;
  StartHub({}, limits);
  const int silent = ConnectAs(0);
  ASSERT_GE(silent, 0);
  pollfd watched{silent, POLLIN, 0};
  ASSERT_EQ(poll(&watched, 1, 5000), 1);
  char byte = 0;
  EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "a peer that never says what it is is closed";
  close(silent);

  // An agent that reads nothing: the socket's buffer fills, then the hub's
  // bound, and the agent is let go, while one that reads gets everything.
  const int stuck = AgentAs(0);
  const int reading = AgentAs(kNobody);
  ASSERT_TRUE(testing::Eventually("both agents", [&] { return hub_->Agents() == 2; }));
  const std::string text(2000, 'x');
  std::size_t got = 0;
  std::string received;
  for (int index = 0; index < 400; ++index) {
    hub_->Deliver(MakeNotice(MessageKind::Group, "LOMPTEST", text));
    ASSERT_TRUE(testing::Eventually("the notice at the reading agent", [&] {
      char block[65536];
      const ssize_t length = recv(reading, block, sizeof block, MSG_DONTWAIT);
      if (length > 0) received.append(block, static_cast<std::size_t>(length));
      while (received.size() >= 4) {
        const std::size_t frame = (std::size_t{static_cast<unsigned char>(received[2])} << 8) |
                                  static_cast<unsigned char>(received[3]);
        if (received.size() < 4 + frame) break;
        received.erase(0, 4 + frame);
        ++got;
      }
      return got == static_cast<std::size_t>(index) + 1;
    }));
  }
  ASSERT_TRUE(testing::Eventually("the stuck agent let go", [&] { return hub_->Agents() == 1; }));
  EXPECT_NE(diagnostics_.str().find("reads nothing; let go"), std::string::npos);
  close(stuck);
  close(reading);
}

// People on terminals: a pseudo-terminal of the test's, named in login
// records of the test's.
TEST(Terminals, AUserWithNoAgentReadsItOnTheTerminalUnlessMesgN) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for the terminal's permissions";
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string device = ptsname(master);
  // Raw, as a full-screen program leaves it: what arrives is what was written.
  const int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios mode{};
  ASSERT_EQ(tcgetattr(slave, &mode), 0);
  cfmakeraw(&mode);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &mode), 0);
  char records[] = "/tmp/lomp-utmp-XXXXXX";
  const int file = mkstemp(records);
  ASSERT_GE(file, 0);
  close(file);
  const auto login = [&](const char* user, const std::string& line) {
    utmpx entry{};
    entry.ut_type = USER_PROCESS;
    entry.ut_pid = getpid();
    std::snprintf(entry.ut_user, sizeof entry.ut_user, "%s", user);
    std::snprintf(entry.ut_line, sizeof entry.ut_line, "%s", line.c_str());
    std::snprintf(entry.ut_id, sizeof entry.ut_id, "%s", line.substr(line.size() - 2).c_str());
    utmpxname(records);
    setutxent();
    ASSERT_NE(pututxline(&entry), nullptr);
    endutxent();
    utmpxname(_PATH_UTMPX);
  };
  login("nobody", device.substr(5));  // "pts/N"
  login("root", "../../etc/x1");      // no terminal at all
  const auto readAll = [&] {
    std::string text;
    char block[4096];
    for (;;) {
      pollfd watched{master, POLLIN, 0};
      if (poll(&watched, 1, 200) != 1) break;
      const ssize_t length = read(master, block, sizeof block);
      if (length <= 0) break;
      text.append(block, static_cast<std::size_t>(length));
    }
    return text;
  };
  const Notice notice = MakeNotice(MessageKind::Personal, "NOBODY", "Backup done\nsecond line");

  chmod(device.c_str(), 0620);  // mesg y
  WriteToTerminals(notice, kNobody, {}, records);
  const std::string shown = readAll();
  EXPECT_NE(shown.find("Message from ALICE to NOBODY on 2026-12-09 14:03:12\r\nBackup done"
                       "\r\nsecond line\r\n"),
            std::string::npos)
      << shown;
  // Not for another user, not where the user has a desktop agent, and not
  // after mesg n.
  WriteToTerminals(notice, 0u, {}, records);
  WriteToTerminals(notice, std::nullopt, {kNobody}, records);
  chmod(device.c_str(), 0600);
  WriteToTerminals(notice, std::nullopt, {}, records);
  EXPECT_EQ(readAll(), "");
  // Everyone's, with mesg y again: once on the terminal.
  chmod(device.c_str(), 0620);
  WriteToTerminals(MakeNotice(MessageKind::Group, "LOMPTEST", "to all"), std::nullopt, {}, records);
  const std::string all = readAll();
  EXPECT_EQ(all.find("to all"), all.rfind("to all"));
  EXPECT_NE(all.find("to all"), std::string::npos);
  close(slave);
  close(master);
  std::remove(records);
}

}  // namespace
}  // namespace lomp
