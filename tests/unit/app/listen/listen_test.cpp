// The receive mode's command line and the records it writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/listen/listen_options.h"
#include "app/listen/record_writer.h"

namespace lomp {
namespace {

TEST(ListenOptions, ReadsWhatTheUsageSays) {
  ListenOptions options;
  std::string error;
  ASSERT_TRUE(ParseListenOptions(
      {"", "--listen", "--name", "alice", "--name=Bob", "--json", "--exec", "/usr/bin/logger"},
      options, error))
      << error;
  EXPECT_EQ(options.names, (std::vector<std::string>{"ALICE", "BOB"}));
  EXPECT_TRUE(options.json);
  EXPECT_EQ(options.program, "/usr/bin/logger");

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"", "--listen", "--name"}, "--name needs a name"},
      {{"", "--listen", "--name", "*"}, "not a NetBIOS name"},
      {{"", "--listen", "--name", "SIXTEEN_LETTERS_"}, "not a NetBIOS name"},
      {{"", "--listen", "--name="}, "not a NetBIOS name"},
      {{"", "--listen", "--exec="}, "--exec needs a program"},
      {{"", "--listen", "--json=yes"}, "unknown option"},
      {{"", "--listen", "bob"}, "unknown option"},
  };
  for (const auto& [arguments, why] : refused) {
    ListenOptions ignored;
    EXPECT_FALSE(ParseListenOptions(arguments, ignored, error)) << arguments.back();
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  ListenOptions help;
  EXPECT_TRUE(ParseListenOptions({"", "--listen", "--help"}, help, error));
  EXPECT_TRUE(help.help);
  EXPECT_TRUE(IsListenCommand({"", "--listen"}));
  EXPECT_FALSE(IsListenCommand({"", "bob", "--listen"}));
}

ReceivedMessage Message(std::string from, std::string text) {
  return {std::move(from),       "BOB", std::move(text), MessageKind::Personal, "10.1.2.3",
          "2026-12-09 14:03:12", false};
}

TEST(RecordWriter, APersonSeesTheTextAndNothingThatDrivesTheTerminal) {
  EXPECT_EQ(PersonRecord(Message("ALICE", "two\nlines")),
            "Message from ALICE to BOB on 2026-12-09 14:03:12\ntwo\nlines\n\n");
  // A clear-screen sequence in the text, a bell in the name.
  EXPECT_EQ(PersonRecord(Message("AL\aICE", "\x1b[2Jhi\r")),
            "Message from AL\\x07ICE to BOB on 2026-12-09 14:03:12\n\\x1B[2Jhi\\x0D\n\n");
  ReceivedMessage cut = Message("ALICE", "start");
  cut.cut = true;
  EXPECT_NE(PersonRecord(cut).find("start\n(The message was longer; the rest was not kept.)\n"),
            std::string::npos);
}

TEST(RecordWriter, JsonIsOneValidObjectPerLine) {
  ReceivedMessage message = Message("A\"L", "caf\xE9\n\"q\"\\ \x01");
  message.kind = MessageKind::Group;
  EXPECT_EQ(JsonRecord(message),
            "{\"from\":\"A\\\"L\",\"to\":\"BOB\",\"text\":\"caf\xC3\xA9\\n\\\"q\\\"\\\\ \\u0001\","
            "\"time\":\"2026-12-09 14:03:12\",\"kind\":\"group\",\"address\":\"10.1.2.3\","
            "\"cut\":false}\n");
}

}  // namespace
}  // namespace lomp
