// The lomp binary as a user runs it.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/program_options.h"
#include "support/run_program.h"

namespace lomp {
namespace {

using lomp::testing::RunProgram;

TEST(Driver, NoArgumentsPrintsTheUsageAndExits1) {
  const auto result = RunProgram(LOMP_BINARY, {});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, usageText());
}

TEST(Driver, UsageLinesAreExact) {
  const auto result = RunProgram(LOMP_BINARY, {"/?"});
  EXPECT_EQ(result.exitCode, 1);
  const std::string& output = result.output;
  // Line 1 is the banner; the rest is fixed text, tabs and trailing blanks included.
  const auto afterBanner = output.find('\n');
  ASSERT_NE(afterBanner, std::string::npos);
  EXPECT_EQ(output.substr(0, 5), "lomp ");
  EXPECT_EQ(output.substr(afterBanner + 1),
            "Sends 'net send' message to the specified recipients. Usage:\n\n"
            "LOMP [optional parameters] {[/u:]users | /d:domains | *} ... message \n"
            "LOMP [optional parameters] /f[:filename] [message]\n\n"
            "  users  \tcomma separated list of users.\n"
            "  domains\tcomma separated list of domains/workgroups.\n"
            "  *\t\tcurrent domain/workgroup.\n"
            "  message\tmessage text.\n"
            "  filename\tmessage file for batch mode.\n\n"
            "Optional parameters: \n"
            "  /t:timeout\tsend timeout in milliseconds (500-20000)\n"
            "  /p\t\tenables broadcast messages fragmentation, default is disabled\n"
            "  /l\t\tenables enlarged broadcast messages, default is disabled\n"
            "  /s{c[omputer] | u[ser]}\t\tsignature, default is computer\n"
            "  /v{s[ilent] | n[ormal] | d[ebug]}\tverbosity level, default is normal\n\n"
            "Message file format:\n"
            "  recipientlist1 [message1]\n"
            "  ...\n"
            "  recipientlistN [messageN]\n");
}

TEST(Driver, SilentInvalidCommandLinePrintsNothing) {
  const auto result = RunProgram(LOMP_BINARY, {"/vs"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, "");
}

TEST(Driver, ValidCommandLineNeverClaimsADelivery) {
  // No transport exists yet, so initialisation fails the way the report
  // shows any failed initialisation.
  auto result = RunProgram(LOMP_BINARY, {"bob", "hello"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.output, "\nInitializing...Failed.");

  result = RunProgram(LOMP_BINARY, {"/vs", "bob"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.output, "");

  result = RunProgram(LOMP_BINARY, {"/f:list.txt"});
  EXPECT_EQ(result.exitCode, 2);
}

TEST(Driver, DebugVerbosityShowsTraceRecords) {
  const auto result = RunProgram(LOMP_BINARY, {"/vd", "bob"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_TRUE(std::regex_search(result.output,
                                std::regex("^\n\\d+:\\d+:\\d+:\\d+\t\tmain\tEntering...\n"
                                           "Initializing...")))
      << result.output;
  EXPECT_NE(result.output.find("\tlomp_initialize\tEntering..."), std::string::npos);
  EXPECT_EQ(result.output.substr(result.output.size() - 7), "Failed.");
}

TEST(Driver, ArgumentsInAnyConsoleEncodingAreSafe) {
  // Invalid UTF-8, a very long name and an empty argument: parsed, not crashed on.
  const std::string longName(5000, 'n');
  auto result = RunProgram(LOMP_BINARY, {"\xFF\xFE", longName, ""},
                           {"LC_ALL=C.UTF-8"});
  EXPECT_EQ(result.exitCode, 2);
  result = RunProgram(LOMP_BINARY, {"/u:Gr\xC3\xBC\xC3\x9F" "e"}, {"LC_ALL=C"});
  EXPECT_EQ(result.exitCode, 2);
}

}  // namespace
}  // namespace lomp
