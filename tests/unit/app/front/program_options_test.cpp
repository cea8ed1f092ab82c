#include "app/front/program_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/text_conversion.h"

namespace lomp {
namespace {

using Kind = RecipientKind;

ProgramOptions Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "lomp");
  ProgramOptions options;
  parseCommandLine(arguments, options);
  return options;
}

TEST(SplitArgument, CutsSwitchAndValue) {
  struct Case {
    std::string argument;
    OptionPair expected;
  };
  const std::vector<Case> cases = {
      {"", {"", ""}},
      {"bob", {"", "bob"}},
      {"/f:c:\\list.txt", {"f", "c:\\list.txt"}},
      {"/u:bob", {"u", "bob"}},
      {"/vs", {"vs", ""}},
      {"/ t :  900 ", {"t", "  900 "}},  // the switch is trimmed, the value is not
      {"/t:", {"t", ""}},
      {"/", {"", ""}},
      {"a/b:c", {"", "a/b:c"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(splitArgument(c.argument), c.expected) << c.argument;
  }
}

TEST(NormaliseOptions, CanonicalNamesAndDroppedSwitches) {
  const OptionList raw = {{"suser", ""}, {"su", ""}, {"su", "x"}, {"vdebug", ""}, {"T", "900"},
                          {"U", "bob"},  {"x", ""},  {"s", "y"},  {"m", "text"},  {"sc", ""}};
  const OptionList expected = {{"su", ""}, {"su", ""}, {"su", "x"},
                               {"vd", ""}, {"s", "y"}, {"sc", ""}};
  EXPECT_EQ(normaliseOptions(raw), expected);
}

TEST(NormaliseOptions, OnlyTheLastBareArgumentAfterARecipientIsTheMessage) {
  EXPECT_EQ(normaliseOptions({{"", "bob"}, {"", "hello"}}),
            (OptionList{{"u", "bob"}, {"m", "hello"}}));
  EXPECT_EQ(normaliseOptions({{"", "hello"}}), (OptionList{{"u", "hello"}}));
  EXPECT_EQ(normaliseOptions({{"", "*"}, {"", "*"}}), (OptionList{{"d", "*"}, {"m", "*"}}));
  EXPECT_EQ(normaliseOptions({{"vs", ""}, {"", "hi"}}), (OptionList{{"vs", ""}, {"u", "hi"}}));
  EXPECT_EQ(normaliseOptions({{"f", ""}, {"", "bob"}}), (OptionList{{"f", ""}, {"m", "bob"}}));
}

TEST(ParseCommandLine, Recipients) {
  struct Case {
    std::vector<std::string> arguments;
    RecipientList recipients;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"bob"}, {{Kind::Personal, "bob"}}, ""},
      {{"Bob"}, {{Kind::Personal, "Bob"}}, ""},  // names stay as typed
      {{"bob", "hello"}, {{Kind::Personal, "bob"}}, "hello"},
      {{"hello"}, {{Kind::Personal, "hello"}}, ""},
      {{"*"}, {{Kind::Group, "*"}}, ""},
      {{"a,*"}, {{Kind::Personal, "a"}, {Kind::Personal, "*"}}, ""},
      {{"/d:WORK,HOME", "greeting"}, {{Kind::Group, "WORK"}, {Kind::Group, "HOME"}}, "greeting"},
      {{"/u:OFFICE\\alice,bob"}, {{Kind::Personal, "alice"}, {Kind::Personal, "bob"}}, ""},
      {{"bob", "hello", "/vs"}, {{Kind::Personal, "bob"}, {Kind::Personal, "hello"}}, ""},
      {{"", "bob", "hi"}, {{Kind::Personal, "bob"}}, "hi"},
      {{"a,,b"}, {{Kind::Personal, "a"}, {Kind::Personal, ""}, {Kind::Personal, "b"}}, ""},
      {{"/u: , "}, {{Kind::Personal, ""}, {Kind::Personal, ""}}, ""},
      {{"/u:x", "/d:y", "/u:x"},
       {{Kind::Personal, "x"}, {Kind::Group, "y"}, {Kind::Personal, "x"}},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const ProgramOptions options = Parse(c.arguments);
    EXPECT_TRUE(options.commandLineValid);
    EXPECT_EQ(options.recipients, c.recipients);
    EXPECT_EQ(options.messageText, c.message);
    EXPECT_FALSE(options.batchMode);
    EXPECT_EQ(options.inputSource, kInputCommandLine);
  }
}

TEST(ParseCommandLine, KindOfRecipientsPreparesTheRightTransports) {
  ProgramOptions options = Parse({"bob"});
  EXPECT_TRUE(options.usersGiven);
  EXPECT_FALSE(options.domainsGiven);
  options = Parse({"*"});
  EXPECT_FALSE(options.usersGiven);
  EXPECT_TRUE(options.domainsGiven);
}

TEST(ParseCommandLine, InvalidCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},      {"/vs"},    {"/u:"},    {"/f:x", "/u:bob"}, {"bob", "/f"},
      {"/?"},  {"/t:900"}, {"/U:bob"}, {"/m:text"},        {""},
      {"/d:"},
  };
  for (const auto& arguments : cases) {
    EXPECT_FALSE(Parse(arguments).commandLineValid) << ::testing::PrintToString(arguments);
  }
}

TEST(ParseCommandLine, BatchMode) {
  ProgramOptions options = Parse({"/f"});
  EXPECT_TRUE(options.commandLineValid);
  EXPECT_TRUE(options.batchMode);
  EXPECT_EQ(options.inputSource, kInputConsole);
  EXPECT_TRUE(options.usersGiven && options.domainsGiven);
  EXPECT_EQ(options.messageFile, "");

  options = Parse({"/f:list.txt", "hi"});
  EXPECT_TRUE(options.commandLineValid);
  EXPECT_EQ(options.inputSource, kInputMessageFile);
  EXPECT_EQ(options.messageFile, "list.txt");
  EXPECT_EQ(options.messageText, "hi");

  options = Parse({"/f", "bob"});  // bob is the default message, not a recipient
  EXPECT_TRUE(options.commandLineValid);
  EXPECT_EQ(options.messageText, "bob");
  EXPECT_TRUE(options.recipients.empty());

  options = Parse({"/f:c:\\dir\\list.txt"});
  EXPECT_EQ(options.messageFile, "c:\\dir\\list.txt");
}

TEST(ParseCommandLine, TimeoutIsClampedOrIgnored) {
  struct Case {
    std::string value;
    std::int32_t timeoutMs;
  };
  const std::vector<Case> cases = {
      {"100", 500},
      {"99999", 20000},
      {"-7", 500},
      {"abc", 5000},
      {"0", 5000},
      {"1500ms", 1500},
      {"  750", 750},
      {"+800", 800},
      {"500", 500},
      {"20000", 20000},
      {"", 5000},
      {"99999999999999999999", 20000},
      {"-99999999999999999999", 500},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse({"/t:" + c.value, "bob"}).timeoutMs, c.timeoutMs) << c.value;
  }
  EXPECT_EQ(Parse({"/t:900", "/t:abc", "bob"}).timeoutMs, 900);
}

TEST(ParseCommandLine, JobsAreClampedOrIgnored) {
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"1", 1},  {"8", 8},    {"64", 64}, {"65", 64}, {"99999999999999999999", 64},
      {"-3", 1}, {"abc", 16}, {"0", 16},  {"", 16},   {"4x", 4},
  };
  for (const auto& [value, jobs] : cases) {
    const ProgramOptions options = Parse({"/j:" + value, "bob", "hi"});
    EXPECT_EQ(options.jobs, jobs) << value;
    // The switch is no recipient and no message.
    EXPECT_EQ(options.recipients, (RecipientList{{RecipientKind::Personal, "bob"}})) << value;
    EXPECT_EQ(options.messageText, "hi") << value;
  }
  EXPECT_EQ(Parse({"bob"}).jobs, kDefaultJobs);
}

TEST(ParseCommandLine, SwitchesWithoutValues) {
  ProgramOptions options = Parse({"/l", "bob"});
  EXPECT_EQ(options.broadcastLimit, 350);
  EXPECT_FALSE(options.fragmentBroadcasts);
  options = Parse({"/p", "bob"});
  EXPECT_EQ(options.broadcastLimit, 128);
  EXPECT_TRUE(options.fragmentBroadcasts);
  EXPECT_EQ(Parse({"/vs", "/vd", "bob"}).verbosity, kVerbosityDebug);
  EXPECT_EQ(Parse({"/vdebug", "/vsilent", "bob"}).verbosity, kVerbositySilent);
  EXPECT_EQ(Parse({"/vn", "bob"}).verbosity, kVerbosityNormal);
  EXPECT_EQ(Parse({"bob"}).verbosity, kVerbosityNormal);
}

TEST(ParseCommandLine, SignatureSwitches) {
  EXPECT_EQ(Parse({"/su", "bob"}).signature, userNameUpper());
  EXPECT_EQ(Parse({"/su", "/scomputer", "bob"}).signature, computerNameUpper());
  EXPECT_EQ(Parse({"bob"}).signature, "");  // a fresh record; the process default is separate
  // A signature of the user's choice, as given, cut to 32 characters.
  EXPECT_EQ(Parse({"/s:Nagios", "bob"}).signature, "Nagios");
  EXPECT_EQ(Parse({"/s:" + std::string(40, 'n'), "bob"}).signature, std::string(32, 'n'));
  EXPECT_EQ(Parse({"bob", "/s:BACKUP"}).signature, "BACKUP");
}

TEST(ParseCommandLine, LastArgumentWithASlashIsTheMessageUnlessAKnownSwitch) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
    std::size_t recipients;
  };
  for (const Case& c :
       {Case{{"bob", "/var is 95% full"}, "/var is 95% full", 1}, Case{{"bob", "/x"}, "/x", 1},
        Case{{"bob", "/"}, "/", 1}, Case{{"bob", "/:x"}, "/:x", 1},
        Case{{"bob", "/T:900"}, "/T:900", 1}, Case{{"/f:list", "/x"}, "/x", 0},
        Case{{"bob", "/vs"}, "", 1}, Case{{"bob", "/t:900"}, "", 1},
        Case{{"bob", "/u:carol"}, "", 2}, Case{{"/x", "bob"}, "", 1}}) {
    const ProgramOptions options = Parse(c.arguments);
    EXPECT_EQ(options.messageText, c.message) << c.arguments.back();
    EXPECT_EQ(options.recipients.size(), c.recipients) << c.arguments.back();
  }
  EXPECT_EQ(Parse({"bob", "/vs"}).verbosity, kVerbositySilent);
  // Nothing named a recipient before it: no message, and no valid line.
  EXPECT_FALSE(Parse({"/x"}).commandLineValid);
}

TEST(NextListItem, WalksACommaSeparatedList) {
  auto items = [](const std::string& list) {
    std::vector<std::string> result;
    std::size_t position = 0;
    std::string item;
    while (nextListItem(list, position, item)) result.push_back(item);
    return result;
  };
  using List = std::vector<std::string>;
  EXPECT_EQ(items("alice, bob ,carol"), (List{"alice", "bob", "carol"}));
  EXPECT_EQ(items("a,,b"), (List{"a", "", "b"}));
  EXPECT_EQ(items("a,"), (List{"a"}));
  EXPECT_EQ(items(""), List{});
  EXPECT_EQ(items(","), (List{""}));
  EXPECT_EQ(items("OFFICE\\bob,\tHOME\\ann "), (List{"bob", "ann"}));
  EXPECT_EQ(items(" \\x"), (List{"x"}));
}

TEST(StripDomainPrefix, KeepsWhatFollowsTheFirstBackslash) {
  EXPECT_EQ(stripDomainPrefix("OFFICE\\bob"), "bob");
  EXPECT_EQ(stripDomainPrefix("a\\b\\c"), "b\\c");
  EXPECT_EQ(stripDomainPrefix("bob"), "bob");
  EXPECT_EQ(stripDomainPrefix("bob\\"), "");
}

TEST(SenderNames, ComputerNameIsTheUpperCasedHostNameUpToItsFirstDot) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string expected(host);
  expected = expected.substr(0, expected.find('.')).substr(0, 15);
  expected = ConsoleToAnsi(expected);
  ToUpper(expected);
  EXPECT_EQ(computerNameUpper(), expected);
  EXPECT_LE(computerNameUpper().size(), 15u);
  ProgramOptions chosen;
  ChooseDefaultSignature(chosen);
  EXPECT_EQ(chosen.signature, computerNameUpper());
  ProgramOptions given = Parse({"/s:NAGIOS", "bob"});
  ChooseDefaultSignature(given);
  EXPECT_EQ(given.signature, "NAGIOS");
}

TEST(SenderNames, UserNameIsUpperCased) {
  const std::string user = userNameUpper();
  std::string upper = user;
  ToUpper(upper);
  EXPECT_EQ(user, upper);
  if (geteuid() == 0) {
    EXPECT_EQ(user, "ROOT");
  }
}

}  // namespace
}  // namespace lomp
