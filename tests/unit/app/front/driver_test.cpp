// The lomp binary as a user runs it, with command lines that never reach the
// network: a valid command line delivers, so those runs happen only in the
// network test bed (tests/interop).
#include <gtest/gtest.h>

#include <string>

#include "app/front/program_options.h"
#include "support/lomp_runner.h"

namespace lomp {
namespace {

using lomp::testing::Lomp;

TEST(Driver, NoArgumentsPrintsTheUsageOnStandardErrorAndExits1) {
  for (const auto& arguments : {std::vector<std::string>{}, {"/?"}, {"/vn"}}) {
    const auto result = Lomp(arguments);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, usageText());
  }
}

// The usage asked for is the program's output: standard output, exit 0.
TEST(Driver, HelpAndVersionAsTheWholeCommandLine) {
  for (const char* help : {"--help", "-h"}) {
    const auto result = Lomp({help});
    EXPECT_EQ(result.exitCode, 0) << help;
    EXPECT_EQ(result.output, usageText()) << help;
    EXPECT_EQ(result.errors, "") << help;
  }
  for (const char* version : {"--version", "-V"}) {
    const auto result = Lomp({version});
    EXPECT_EQ(result.exitCode, 0) << version;
    EXPECT_EQ(result.output, "lomp " + versionText() + "\n") << version;
  }
  EXPECT_EQ(versionText(), LOMP_PROJECT_VERSION);
}

TEST(Driver, UsageLinesAreExact) {
  const auto result = Lomp({"--help"});
  EXPECT_EQ(result.exitCode, 0);
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
  const auto result = Lomp({"/vs"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "");
}

}  // namespace
}  // namespace lomp
