#include "runtime/trace_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lomp {
namespace {

// The log is process-wide: each test attaches its own stream and detaches it.
class TraceLogTest : public ::testing::Test {
 protected:
  void Attach(std::uint32_t columns) {
    TraceLog::Instance()->setStream(&output_);
    TraceLog::Instance()->setColumns(columns);
  }
  void TearDown() override {
    TraceLog::Instance()->setStream(nullptr);
    TraceLog::Instance()->setColumns(0xFFFF);
  }
  std::ostringstream output_;
};

TEST_F(TraceLogTest, NothingIsWrittenWithoutAStream) {
  LogTrace(".\\lomp", 1, "main", "Entering...");
  Attach(0xB2);
  TraceLog::Instance()->setStream(nullptr);
  LogTrace(".\\lomp", 2, "main", "Entering...");
  EXPECT_EQ(output_.str(), "");
}

TEST_F(TraceLogTest, DebugColumnsOfAPlainFunction) {
  Attach(TRACE_TIME | TRACE_CLASS | TRACE_METHOD | TRACE_MESSAGE);
  EXPECT_EQ(TRACE_TIME | TRACE_CLASS | TRACE_METHOD | TRACE_MESSAGE, 0xB2u);
  LogTrace(".\\lomp", 42, "main", "Entering...");
  EXPECT_TRUE(std::regex_match(output_.str(), std::regex("\n\\d{1,2}:\\d{1,2}:\\d{1,2}:\\d{1,3}"
                                                         "\t\tmain\tEntering...")))
      << output_.str();
}

TEST_F(TraceLogTest, ClassIsEverythingBeforeTheLastColons) {
  Attach(TRACE_CLASS | TRACE_METHOD | TRACE_MESSAGE);
  LogTrace("x", 1, "A::B::C", "m");
  LogTrace("x", 2, "CNetbiosName::Open", "Entering...");
  EXPECT_EQ(output_.str(), "\nA::B\tC\tm\nCNetbiosName\tOpen\tEntering...");
}

TEST_F(TraceLogTest, AllColumnsInOrder) {
  Attach(0xFFFF);
  LogTrace("..\\shared\\krNetSmb", 314, "CNetbiosName::Open", "Leaving...");
  EXPECT_TRUE(std::regex_match(
      output_.str(),
      std::regex(
          "\n\\d+:\\d+:\\d+:\\d+\tkrNetSmb\t314\tCNetbiosName\tOpen\t0x[0-9a-f]+\tLeaving...")))
      << output_.str();
}

TEST_F(TraceLogTest, NoSeparatorBeforeTheFirstOrAfterTheLastColumn) {
  Attach(TRACE_LINE);
  LogTrace("f", 7, "g", "h");
  Attach(TRACE_MESSAGE);
  LogTrace("f", 8, "g", "h");
  EXPECT_EQ(output_.str(), "\n7\nh");
}

TEST_F(TraceLogTest, RecordsOfTwoThreadsNeverInterleave) {
  Attach(TRACE_METHOD | TRACE_MESSAGE);
  constexpr int kRecords = 2000;
  auto writer = [](const std::string& name) {
    for (int i = 0; i < kRecords; ++i) {
      LogTrace("f", i, name, FormatText("record %d of %s with some length to it", i, name.c_str()));
    }
  };
  std::thread first(writer, "one");
  std::thread second(writer, "two");
  first.join();
  second.join();

  std::istringstream lines(output_.str());
  std::string line;
  std::getline(lines, line);  // the empty text before the first record's newline
  EXPECT_EQ(line, "");
  const std::regex wholeRecord("(one|two)\trecord \\d+ of \\1 with some length to it");
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, wholeRecord)) << line;
    ++count;
  }
  EXPECT_EQ(count, 2 * kRecords);
}

TEST(FormatText, FormatsLikePrintf) {
  EXPECT_EQ(FormatText("NBSend returned, retcode=%d, lana=%d", 24, 0),
            "NBSend returned, retcode=24, lana=0");
  EXPECT_EQ(FormatText("Registering msg name, lana=%d, name='%s<%d>'", 1, "BOB", 3),
            "Registering msg name, lana=1, name='BOB<3>'");
}

TEST(FormatText, CutsAt1023Characters) {
  const std::string longText(2000, 'x');
  const std::string result = FormatText("%s", longText.c_str());
  EXPECT_EQ(result, std::string(1023, 'x'));
  EXPECT_EQ(FormatText("%s", std::string(1023, 'y').c_str()).size(), 1023u);
}

TEST(FormatTraceTime, HasNoLeadingZeros) {
  platform::SystemTime time;
  time.hour = 9;
  time.minute = 5;
  time.second = 3;
  time.milliseconds = 7;
  EXPECT_EQ(FormatTraceTime(time), "9:5:3:7");
  time.hour = 14;
  time.minute = 2;
  time.second = 51;
  time.milliseconds = 390;
  EXPECT_EQ(FormatTraceTime(time), "14:2:51:390");
}

TEST(FileTime, CountsHundredsOfNanosecondsSince1601) {
  platform::SystemTime time;
  time.year = 1601;
  time.month = 1;
  time.day = 1;
  EXPECT_EQ(platform::SystemTimeToFileTime(time), 0u);
  time.year = 1970;  // the Unix epoch, a well-known file time
  EXPECT_EQ(platform::SystemTimeToFileTime(time), 116444736000000000u);
  time.milliseconds = 1;
  EXPECT_EQ(platform::SystemTimeToFileTime(time), 116444736000010000u);
  time.month = 13;
  EXPECT_EQ(platform::SystemTimeToFileTime(time), 0u);
  EXPECT_GT(CurrentLocalFileTime(), 116444736000000000u);
}

}  // namespace
}  // namespace lomp
