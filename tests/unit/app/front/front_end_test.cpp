// The delivery loop's report and batch mode's reading, with a deliverer of
// the test's own in place of the network.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ios>
#include <sstream>
#include <streambuf>

#include "app/front/batch_mode.h"
#include "app/front/console.h"
#include "app/front/delivery_loop.h"
#include "app/front/message_file.h"
#include "runtime/errors.h"

namespace lomp {
namespace {

// Captures the console and restores the process-wide options afterwards.
class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = programOptions();
    programOptions().verbosity = kVerbosityNormal;
    programOptions().signature = "ALICE";
    // One recipient after the other: the deliverer below records in order.
    programOptions().jobs = 1;
    setConsoleStream(&console_);
  }
  void TearDown() override {
    setConsoleStream(nullptr);
    programOptions() = saved_;
  }

  // Delivers to names in `reached`; others fail with the error `failWith`.
  Deliverer DeliverTo(std::vector<std::string> reached) {
    return [this, reached](MessageRecord record) {
      records_.push_back(record);
      for (const std::string& name : reached) {
        if (name == record.recipient) return;
      }
      if (record.recipient == "lost") throw KrDataTransmissionErr("NBRecv 10");
      if (record.recipient == "nonet") throw KrNoInterfaceAvailErr("");
      if (record.recipient == "odd") throw KrUnknownNetworkErr("");
      throw KrAddrNotFoundErr("");
    };
  }

  ProgramOptions saved_;
  std::ostringstream console_;
  std::vector<MessageRecord> records_;
};

TEST_F(FrontEndTest, OneReportLinePerRecipient) {
  const RecipientList list = {{RecipientKind::Personal, "nobody"},
                              {RecipientKind::Personal, "bob"},
                              {RecipientKind::Personal, "lost"},
                              {RecipientKind::Personal, "nonet"},
                              {RecipientKind::Group, "odd"}};
  EXPECT_EQ(deliverToList(list, "hi", DeliverTo({"bob"})), 4);
  EXPECT_EQ(console_.str(),
            "\nTrying to send message to nobody...  Failed. Recipient not found"
            "\nTrying to send message to bob...  Sent."
            "\nTrying to send message to lost...  Failed. Data transmission error"
            "\nTrying to send message to nonet...  Failed. No network found"
            "\nTrying to send message to odd...  Failed. Unknown error");
  ASSERT_EQ(records_.size(), 5u);
  EXPECT_EQ(records_[4].kind, RecipientKind::Group);
  EXPECT_EQ(records_[1].sender, "ALICE");
  EXPECT_EQ(records_[1].recipientName, "bob");
  EXPECT_EQ(records_[1].text, "hi");
  EXPECT_EQ(records_[0].timestamp, records_[4].timestamp);
  EXPECT_NE(records_[0].timestamp, 0u);
}

TEST_F(FrontEndTest, ExitCodeOfTheLoop) {
  EXPECT_EQ(deliverToList({{RecipientKind::Personal, "bob"}, {RecipientKind::Group, "*"}}, "",
                          DeliverTo({"bob", "*"})),
            0);
  console_.str("");
  EXPECT_EQ(deliverToList({}, "hi", DeliverTo({})), 4);
  EXPECT_EQ(console_.str(), "");
}

TEST_F(FrontEndTest, SilentPrintsNothingAndNamesShowInTheConsoleCharset) {
  programOptions().verbosity = kVerbositySilent;
  EXPECT_EQ(deliverToList({{RecipientKind::Personal, "bob"}}, "", DeliverTo({"bob"})), 0);
  EXPECT_EQ(console_.str(), "");

  programOptions().verbosity = kVerbosityNormal;
  deliverToList({{RecipientKind::Personal, "Ren\xE9"}}, "", DeliverTo({"Ren\xE9"}));
  // The unit tests run in the C locale, whose console set is taken as UTF-8.
  EXPECT_EQ(console_.str(), "\nTrying to send message to Ren\xC3\xA9...  Sent.");
  EXPECT_EQ(records_.back().recipient, "Ren\xE9");
}

TEST(MessageFileReader, FieldsOfEntries) {
  std::istringstream input(
      "bob Lunch at noon\n"
      "\n   \t\n"
      "/d:SALES,SUPPORT   Server restart at 5  \r\n"
      "\"/u:john smith\" Call me\n"
      "alice,bob\n"
      "\"two\nlines\"rest\n"
      "last line without feed");
  MessageFileReader reader(input);
  std::vector<std::pair<std::string, std::string>> entries;
  while (!input.eof()) {
    std::string field = reader.readRecipientField();
    std::string message = reader.readMessageField();
    entries.emplace_back(field, message);
  }
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::string>>{
                         {"bob", "Lunch at noon"},
                         {"/d:SALES,SUPPORT", "Server restart at 5"},
                         {"/u:john smith", "Call me"},
                         {"alice,bob", ""},
                         {"two\nlines", "rest"},
                         {"last", "line without feed"},
                     }));
}

TEST(MessageFileReader, OverLongFieldsAreCutAndTheirLineSkipped) {
  const std::string longWord(1500, 'w');
  const std::string longMessage(1500, 'm');
  std::istringstream input(longWord + " tail of that line\nbob " + longMessage + "\ncarol hi\n");
  MessageFileReader reader(input);
  EXPECT_EQ(reader.readRecipientField(), std::string(1023, 'w'));
  EXPECT_EQ(reader.readMessageField(), "");
  EXPECT_EQ(reader.readRecipientField(), "bob");
  // The field is the rest of the line, its leading blank included, then trimmed.
  EXPECT_EQ(reader.readMessageField(), std::string(1022, 'm'));
  EXPECT_EQ(reader.readRecipientField(), "carol");
  EXPECT_EQ(reader.readMessageField(), "hi");
}

TEST(MessageFileReader, QuotedFieldIsBoundedAndReadingGoesOn) {
  // A quote that never closes within 64 KiB: the field is cut there, the
  // rest up to the closing quote and the rest of that line are skipped.
  std::string text = "\"" + std::string(200 * 1024, 'q') + "\nstill inside\" msg\ncarol hi\n";
  std::istringstream input(text);
  MessageFileReader reader(input);
  EXPECT_EQ(reader.readRecipientField(), std::string(kMaxQuotedFieldLength, 'q'));
  EXPECT_EQ(reader.readMessageField(), "");
  EXPECT_EQ(reader.readRecipientField(), "carol");
  EXPECT_EQ(reader.readMessageField(), "hi");
  // Without a closing quote at all, reading ends cleanly.
  std::istringstream open("\"" + std::string(100 * 1024, 'o'));
  MessageFileReader openReader(open);
  EXPECT_EQ(openReader.readRecipientField().size(), kMaxQuotedFieldLength);
  EXPECT_EQ(openReader.readMessageField(), "");
  EXPECT_TRUE(open.eof());
}

// Fields valid in the console's character set (UTF-8 here) are read in it;
// anything else is OEM text, CP850, as the system's own files are.
TEST(MessageFileReader, TextInTheConsoleCharsetOrElseCp850BecomesAnsi) {
  std::istringstream input(
      "Ren\xC3\xA9 Gr\xC3\xBC\xC3\x9F"
      "e\n"  // UTF-8
      "Ren\x82 Gr\x81\xE1"
      "e\n"                      // CP850: é, ü, ß
      "\xFF bad\n"               // CP850 0xFF: no-break space
      "\xC3\xA9t\xE9 mixed\n");  // UTF-8 and then not: the field is CP850
  MessageFileReader reader(input);
  EXPECT_EQ(reader.readRecipientField(), "Ren\xE9");
  EXPECT_EQ(reader.readMessageField(),
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(reader.readRecipientField(), "Ren\xE9");
  EXPECT_EQ(reader.readMessageField(),
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(reader.readRecipientField(), "\xA0");
  EXPECT_EQ(reader.readMessageField(), "bad");
  EXPECT_EQ(reader.readRecipientField(), "?\xAEt\xDA");  // CP850 C3 ├ (none), A9 ®, E9 Ú
  EXPECT_EQ(reader.readMessageField(), "mixed");
}

TEST(Utf8, ValidityFollowsTheStandard) {
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(
      IsValidUtf8("Gr\xC3\xBC\xC3\x9F"
                  "e \xE2\x82\xAC \xF0\x9F\x98\x80"));
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\x80", "\xFF", "\xE2\x82"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << ::testing::PrintToString(std::string(bad));
  }
}

TEST_F(FrontEndTest, ControlCharactersOfNamesAreShownHarmlessly) {
  const std::string name = "EVIL\x1B]0;owned\x07\x7F\tX";
  EXPECT_EQ(deliverToList({{RecipientKind::Personal, name}}, "hi", DeliverTo({name})), 0);
  EXPECT_EQ(console_.str(), "\nTrying to send message to EVIL^[]0;owned^G^?^IX...  Sent.");
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].recipient, name);  // the wire gets the name as it is
}

TEST_F(FrontEndTest, BatchDeliversEveryEntry) {
  programOptions().messageText = "default";
  programOptions().inputSource = kInputMessageFile;
  std::istringstream input(
      "bob hello\n"
      "\n"
      "/d:WORK,HOME meeting\n"
      "* fire drill\n"
      "/x:ignored skipped\n"
      "\"/u:john smith\"\n"
      "/u: nobody here\n");
  EXPECT_EQ(runBatchMode(input, DeliverTo({"bob", "WORK", "HOME", "*", "john smith"})), 4);
  ASSERT_EQ(records_.size(), 5u);
  EXPECT_EQ(records_[0].text, "hello");
  EXPECT_EQ(records_[1].kind, RecipientKind::Group);
  EXPECT_EQ(records_[2].recipient, "HOME");
  EXPECT_EQ(records_[3].kind, RecipientKind::Group);
  EXPECT_EQ(records_[3].text, "fire drill");
  EXPECT_EQ(records_[4].recipient, "john smith");
  EXPECT_EQ(records_[4].text, "default");
  EXPECT_EQ(console_.str().find('>'), std::string::npos) << "no prompt when reading a file";
}

TEST_F(FrontEndTest, ByteOrderMarks) {
  programOptions().inputSource = kInputMessageFile;
  // UTF-8's mark is passed over: the first entry keeps its recipient.
  std::istringstream marked(
      "\xEF\xBB\xBF"
      "bob hi\n");
  EXPECT_EQ(runBatchMode(marked, DeliverTo({"bob"})), 0);
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].recipient, "bob");
  // UTF-16 is refused, with a word on standard error, before any delivery.
  std::ostringstream errors;
  setConsoleErrorStream(&errors);
  for (const std::string mark : {"\xFF\xFE", "\xFE\xFF"}) {
    std::istringstream wide(mark + std::string("b\0o\0b\0 \0h\0i\0\n\0", 14));
    EXPECT_EQ(runBatchMode(wide, DeliverTo({"bob"}), false, "list.txt"), 3);
  }
  setConsoleErrorStream(nullptr);
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_NE(errors.str().find("\nError reading message file: list.txt: UTF-16"), std::string::npos);
  EXPECT_EQ(errors.str().find('\0'), std::string::npos);
  // A first byte that only looks like a mark stays.
  std::istringstream latin(
      "\xFF"
      "bob hi\n");
  EXPECT_EQ(runBatchMode(latin, DeliverTo({"\xA0"
                                           "bob"})),
            0);
}

// Input that breaks off with a read error (a reset socket as standard
// input): the entries before it are delivered and reported, the one being
// read is not sent, and the run ends with 3 and the reason.
TEST_F(FrontEndTest, ReadErrorEndsBatchModeWith3) {
  class Broken : public std::streambuf {
   public:
    explicit Broken(std::string text) : text_(std::move(text)) {
      setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

   protected:
    int_type underflow() override {
      errno = ECONNRESET;
      throw std::ios_base::failure("read");
    }

   private:
    std::string text_;
  };
  programOptions().inputSource = kInputMessageFile;
  std::ostringstream errors;
  setConsoleErrorStream(&errors);
  Broken source("bob hi\ncarol there\ndave cut sho");
  std::istream input(&source);
  EXPECT_EQ(runBatchMode(input, DeliverTo({"bob", "carol", "dave"}), false, "socket"), 3);
  setConsoleErrorStream(nullptr);
  ASSERT_EQ(records_.size(), 2u);
  EXPECT_EQ(records_[1].recipient, "carol");
  EXPECT_EQ(errors.str(), "\nError reading message file: socket: " +
                              std::string(std::strerror(ECONNRESET)) + "\n");
  EXPECT_EQ(console_.str(),
            "\nTrying to send message to bob...  Sent.\nTrying to send message to carol...  Sent.");
}

TEST_F(FrontEndTest, BatchExitCodes) {
  programOptions().inputSource = kInputMessageFile;
  std::istringstream allGood("bob hi\nbob again");
  EXPECT_EQ(runBatchMode(allGood, DeliverTo({"bob"})), 0);
  std::istringstream oneFails("bob hi\nnobody hi\n");
  EXPECT_EQ(runBatchMode(oneFails, DeliverTo({"bob"})), 4);
  std::istringstream empty("");
  EXPECT_EQ(runBatchMode(empty, DeliverTo({"bob"})), 4);
  std::istringstream blank("  \n\n\t\n");
  EXPECT_EQ(runBatchMode(blank, DeliverTo({"bob"})), 4);
  EXPECT_EQ(records_.size(), 4u);
}

TEST_F(FrontEndTest, ConsoleInputShowsAPromptPerEntry) {
  programOptions().inputSource = kInputConsole;
  std::istringstream typed("bob hi\n\ncarol hey\n");
  EXPECT_EQ(runBatchMode(typed, DeliverTo({"bob", "carol"})), 0);
  EXPECT_EQ(console_.str(),
            "\n>\nTrying to send message to bob...  Sent."
            "\n>\nTrying to send message to carol...  Sent."
            "\n>");
  // Nothing typed at all: the prompt still shows, before the read.
  console_.str("");
  std::istringstream nothing("");
  EXPECT_EQ(runBatchMode(nothing, DeliverTo({})), 4);
  EXPECT_EQ(console_.str(), "\n>");
  // Not a terminal: no prompts.
  console_.str("");
  std::istringstream piped("bob hi\n");
  EXPECT_EQ(runBatchMode(piped, DeliverTo({"bob"}), false), 0);
  EXPECT_EQ(console_.str(), "\nTrying to send message to bob...  Sent.");
}

}  // namespace
}  // namespace lomp
