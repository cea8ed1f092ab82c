// Samba's configuration and lmhosts, read as Samba reads them.
#include "platform/samba_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "platform/nbt/lana.h"
#include "platform/nbt/lmhosts.h"

namespace lomp::platform {
namespace {

using namespace lomp::wire;
using namespace lomp::platform::nbt;

using Files = std::map<std::string, std::string>;

SambaConfig Parse(const std::string& text, const Files& files = {}) {
  return ParseSambaConfig(text, [&](const std::string& path) -> std::optional<std::string> {
    const auto file = files.find(path);
    if (file == files.end()) return std::nullopt;
    return file->second;
  });
}

wire::Name16 Name(const std::string& text, std::uint8_t suffix) {
  wire::Name16 name;
  name.fill(' ');
  std::memcpy(name.data(), text.data(), std::min<std::size_t>(text.size(), 15));
  name[15] = suffix;
  return name;
}

std::string Text(in_addr address) {
  return AddressText(address);
}

TEST(SambaConfig, NothingGivesSambasDefaults) {
  const SambaConfig config = Parse("");
  EXPECT_EQ(config.workgroup, "WORKGROUP");
  EXPECT_EQ(config.netbiosName, "");
  EXPECT_TRUE(config.winsServers.empty());
  EXPECT_EQ(config.resolveOrder, (std::vector{ResolveMethod::Lmhosts, ResolveMethod::Wins,
                                              ResolveMethod::Host, ResolveMethod::Bcast}));
  EXPECT_TRUE(config.interfaces.empty());
  EXPECT_FALSE(config.bindInterfacesOnly);
  EXPECT_EQ(LoadSambaConfig("/nonexistent/smb.conf").workgroup, "WORKGROUP");
}

TEST(SambaConfig, GlobalSectionAsSambaWritesIt) {
  const SambaConfig config = Parse(
      "# a comment\n"
      "; another = x\n"
      "workgroup = early\n"  // before any section: global
      "[global]\n"
      "   Work Group = office\n"  // names compare without case or spaces
      "   NetBIOSName = far-away-machine-name\n"
      "   wins server = 10.1.1.1, lab:10.1.1.2\t10.1.1.3\n"
      "   name resolve order = bcast \\\n"
      "        wins\n"
      "   interfaces = eth* 192.168.1.0/24\n"
      "   bind interfaces only = Yes\n"
      "   bogus line without equals\n"
      "[homes]\n"
      "   workgroup = share\n"
      "[GLOBALS]\n"
      "   ; workgroup = commented\n");
  EXPECT_EQ(config.workgroup, "OFFICE");
  EXPECT_EQ(config.netbiosName, "FAR-AWAY-MACHIN");  // 15 bytes at most
  EXPECT_EQ(config.winsServers, (std::vector<std::string>{"10.1.1.1", "lab:10.1.1.2", "10.1.1.3"}));
  EXPECT_EQ(config.resolveOrder, (std::vector{ResolveMethod::Bcast, ResolveMethod::Wins}));
  EXPECT_EQ(config.interfaces, (std::vector<std::string>{"eth*", "192.168.1.0/24"}));
  EXPECT_TRUE(config.bindInterfacesOnly);
}

TEST(SambaConfig, AnOrderWithoutAKnownMethodKeepsTheDefault) {
  EXPECT_EQ(Parse("name resolve order = nis dns\n").resolveOrder.size(), 4u);
  EXPECT_EQ(Parse("name resolve order = hosts\n").resolveOrder, std::vector{ResolveMethod::Host});
}

TEST(SambaConfig, IncludesAreReadInPlace) {
  const Files files = {
      {"/etc/samba/site.conf",
       "workgroup = site\nnetbios name = fromsite\ninclude = /etc/samba/more.conf\n"},
      {"/etc/samba/more.conf", "[global]\nwins server = 10.9.9.9\n"},
      {"/etc/samba/share.conf", "[share]\nworkgroup = no\n"},
      {"/etc/samba/loop.conf", "include = /etc/samba/loop.conf\nnetbios name = looped\n"},
  };
  // The include comes between two settings: the later one wins.
  SambaConfig config =
      Parse("[global]\nworkgroup = before\ninclude = /etc/samba/site.conf\nnetbios name = after\n",
            files);
  EXPECT_EQ(config.workgroup, "SITE");
  EXPECT_EQ(config.netbiosName, "AFTER");
  EXPECT_EQ(config.winsServers, std::vector<std::string>{"10.9.9.9"});

  // As in Samba, a section an included file opens goes on after it.
  config = Parse("[global]\ninclude = /etc/samba/share.conf\nworkgroup = main\n", files);
  EXPECT_EQ(config.workgroup, "WORKGROUP");

  // A missing include is skipped; a file including itself ends.
  config = Parse("include = /missing\ninclude = /etc/samba/loop.conf\n", files);
  EXPECT_EQ(config.netbiosName, "LOOPED");
}

// A FIFO (or a device) named by an include, or as smb.conf itself, is not
// read: opening one would wait for a writer that never comes. What was
// refused is noted for the trace; the rest of the configuration stands.
TEST(SambaConfig, FilesThatAreNotRegularAreRefused) {
  const std::string folder = ::testing::TempDir() + "lomp-fifo-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string fifo = folder + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string conf = folder + "/smb.conf";
  {
    std::FILE* file = std::fopen(conf.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "[global]\n include = %s\n workgroup = OFFICE\n", fifo.c_str());
    std::fclose(file);
  }
  const SambaConfig included = LoadSambaConfig(conf);
  EXPECT_EQ(included.workgroup, "OFFICE");
  EXPECT_EQ(included.notes, std::vector<std::string>{fifo + " is not a regular file; not read"});

  const SambaConfig itself = LoadSambaConfig(fifo);
  EXPECT_EQ(itself.workgroup, "WORKGROUP");
  EXPECT_EQ(itself.notes.size(), 1u);
  EXPECT_EQ(LoadSambaConfig("/dev/zero").notes.size(), 1u);

  std::remove(conf.c_str());
  std::remove(fifo.c_str());
  rmdir(folder.c_str());
}

// Whole across the pieces it is read in, and cut at the one-megabyte limit.
TEST(SambaConfig, FilesAreReadWholeUpToTheLimit) {
  const std::string path = ::testing::TempDir() + "lomp-conf-" + std::to_string(getpid());
  for (const std::size_t size : {std::size_t{0}, std::size_t{4095}, std::size_t{4096},
                                 std::size_t{10000}, std::size_t{(1 << 20) + 100}}) {
    std::string text(size, 'x');
    for (std::size_t at = 0; at < size; at += 97) text[at] = static_cast<char>('a' + at % 26);
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const std::optional<std::string> read = ReadConfigFile(path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, text.substr(0, 1 << 20)) << size;
  }
  std::remove(path.c_str());
}

TEST(SambaConfig, ContinuationAtTheEndOfTheFile) {
  EXPECT_EQ(Parse("workgroup = a\\").workgroup, "A");
  EXPECT_EQ(Parse("workgroup = a\\\n\\\nb").workgroup, "AB");
}

TEST(Lmhosts, LinesAsSambaReadsThem) {
  const auto entry = ParseLmhostsLine("10.2.0.5\tfar#03  #PRE");
  ASSERT_TRUE(entry);
  EXPECT_EQ(Text(entry->address), "10.2.0.5");
  EXPECT_EQ(entry->name, "FAR");
  EXPECT_EQ(entry->suffix, 0x03);

  const auto anySuffix = ParseLmhostsLine("  10.2.0.6 Other");
  ASSERT_TRUE(anySuffix);
  EXPECT_FALSE(anySuffix->suffix);

  for (const char* bad : {"", "   ", "# 10.2.0.5 FAR", "10.2.0.5", "far 10.2.0.5", "10.2.0.5 FAR#3",
                          "10.2.0.5 FAR#xyz", "10.2.0.5 #03", "10.2.0.5 SIXTEENCHARACTER",
                          "10.2.0.256 FAR", "::1 FAR"}) {
    EXPECT_FALSE(ParseLmhostsLine(bad)) << bad;
  }
}

TEST(Lmhosts, FirstMatchingEntryWins) {
  const std::string table =
      "# lmhosts\n"
      "10.0.0.1 FAR#20\n"
      "10.0.0.2 far#03\n"
      "10.0.0.3 FAR\n"
      "10.0.0.4 NEAR\r\n";
  EXPECT_EQ(Text(*FindInLmhosts(table, Name("FAR", 0x03))), "10.0.0.2");
  EXPECT_EQ(Text(*FindInLmhosts(table, Name("FAR", 0x20))), "10.0.0.1");
  EXPECT_EQ(Text(*FindInLmhosts(table, Name("FAR", 0x00))), "10.0.0.3");
  EXPECT_EQ(Text(*FindInLmhosts(table, Name("NEAR", 0x03))), "10.0.0.4");
  EXPECT_FALSE(FindInLmhosts(table, Name("NOWHERE", 0x03)));
  EXPECT_FALSE(FindInLmhosts(table, Name("FA", 0x03)));
}

TEST(Lana, InterfacesAsSambaNamesThem) {
  LanaAddress lana{"eth-c", {}, {}};
  inet_pton(AF_INET, "10.20.30.40", &lana.address);
  const auto listed = [&](std::vector<std::string> entries) {
    return InterfaceListed(lana, entries);
  };
  EXPECT_TRUE(listed({"eth-c"}));
  EXPECT_TRUE(listed({"lo", "eth*"}));
  EXPECT_TRUE(listed({"eth-c;speed=1000"}));
  EXPECT_TRUE(listed({"10.20.30.40"}));
  EXPECT_TRUE(listed({"10.20.30.0/24"}));
  EXPECT_TRUE(listed({"10.20.0.0/255.255.0.0"}));
  EXPECT_FALSE(listed({"eth-p", "10.20.30.41", "10.20.31.0/24", "10.20.30.0/33", ";"}));
  EXPECT_FALSE(listed({}));
}

}  // namespace
}  // namespace lomp::platform
