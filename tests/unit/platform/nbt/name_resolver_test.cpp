// The resolver's rules against name services of the test's own on loopback
// addresses: the WINS server's word, its waits and its silence, the
// negative cache, the order of the methods, and the node status choice.
#include "platform/nbt/name_resolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/name_service_peer.h"

namespace lomp::platform::nbt {
namespace {

using namespace std::chrono_literals;
using lomp::testing::NameServicePeer;
using lomp::testing::NetbiosName;
using wire::Bytes;

in_addr Address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

const LanaAddress kLoopback{"lo", Address("127.0.0.1"), Address("127.255.255.255")};

// The name a request asks for, without its padding and suffix.
std::string AskedFor(const Bytes& request) {
  std::size_t offset = 12;
  const auto name = wire::ReadEncodedName(request, offset);
  return name ? wire::NameText(*name) : "";
}

// A peer that never answers.
void Silent(const Bytes&, const NameServicePeer::Reply&) {}

class NameResolverTest : public ::testing::Test {
 protected:
  // The resolver, asking on `port`, quickly: every wait a few milliseconds.
  NameResolver& Make(std::uint16_t port, std::vector<ResolveMethod> order,
                     std::vector<std::string> winsServers = {},
                     decltype(ResolverSettings::hostLookup) hostLookup = {},
                     std::chrono::milliseconds winsInterval = 20ms) {
    ResolverSettings settings;
    settings.hostLookup = std::move(hostLookup);
    settings.port = port;
    settings.order = std::move(order);
    settings.winsServers = std::move(winsServers);
    settings.lmhostsPath = lmhosts_;
    settings.winsInterval = winsInterval;
    settings.queryInterval = 10ms;
    settings.statusInterval = 20ms;
    settings.negativeCacheAge = 500ms;  // long enough that a loaded machine does not outlast it
    resolver_.emplace(settings, [this](const std::string& line) {
      const std::lock_guard lock(mutex_);
      trace_.push_back(line);
    });
    return *resolver_;
  }

  std::optional<std::string> Find(const char* name, std::chrono::milliseconds within = 2s) {
    const auto found = resolver_->Resolve(NetbiosName(name, 0x03), kLoopback, -1,
                                          std::chrono::steady_clock::now() + within);
    if (!found) return std::nullopt;
    return AddressText(*found);
  }

  // The trace lines that hold `text`.
  int Traced(const std::string& text) {
    const std::lock_guard lock(mutex_);
    int count = 0;
    for (const std::string& line : trace_) count += line.find(text) != std::string::npos;
    return count;
  }

  void TearDown() override { std::remove(lmhosts_.c_str()); }

  const std::string lmhosts_ = ::testing::TempDir() + "lomp-lmhosts-" + std::to_string(getpid());
  std::optional<NameResolver> resolver_;
  std::mutex mutex_;
  std::vector<std::string> trace_;
};

// A WINS server's "no such name" ends the lookup: no broadcast follows, and
// a WAIT FOR ACKNOWLEDGEMENT holds the query open past its tries.
TEST_F(NameResolverTest, WinsServersWordIsFinal) {
  NameServicePeer wins("127.0.0.2", 0, [](const Bytes& query, const NameServicePeer::Reply& reply) {
    if (AskedFor(query) == "FAST") {  // there is no such name
      reply(lomp::testing::NegativeAnswer(query));
    } else {  // SLOW: wait, then the answer, long after the tries ran out
      reply(lomp::testing::WackAnswer(query, 2));
      std::this_thread::sleep_for(150ms);
      reply(lomp::testing::PositiveAnswer(query, "127.0.0.7"));
    }
  });
  ASSERT_TRUE(wins.ok());
  NameServicePeer broadcast("127.255.255.255", wins.port(), Silent);
  ASSERT_TRUE(broadcast.ok());
  Make(wins.port(), {ResolveMethod::Wins, ResolveMethod::Bcast}, {"127.0.0.2"});

  EXPECT_EQ(Find("FAST"), std::nullopt);
  EXPECT_EQ(Traced("FAST<03> does not exist (RCODE 3)"), 1);
  EXPECT_EQ(broadcast.requests(), 0);

  EXPECT_EQ(Find("SLOW"), "127.0.0.7");
  EXPECT_EQ(Traced("asks to wait 2 s for SLOW<03>"), 1);
  EXPECT_EQ(broadcast.requests(), 0);
}

// WINS servers are asked at once, so one that refuses the query (nothing
// listens) or never answers holds no lookup up: the live one answers. The
// refusing one is not asked again in the run, nor the silent one once its
// tries' time has passed without an answer.
TEST_F(NameResolverTest, DeadWinsServersAreSkippedForTheRun) {
  NameServicePeer good("127.0.0.2", 0, [](const Bytes& query, const NameServicePeer::Reply& reply) {
    reply(lomp::testing::PositiveAnswer(query, "127.0.0.8"));
  });
  ASSERT_TRUE(good.ok());
  NameServicePeer silent("127.0.0.4", good.port(), Silent);
  ASSERT_TRUE(silent.ok());
  // Nothing listens on 127.0.0.3.
  Make(good.port(), {ResolveMethod::Wins}, {"127.0.0.4", "tag:127.0.0.3", "127.0.0.2"});

  EXPECT_EQ(Find("ALICE"), "127.0.0.8");
  EXPECT_EQ(Traced("wins: 127.0.0.2 says ALICE<03> is at 127.0.0.8"), 1);
  std::this_thread::sleep_for(60ms);  // past the silent one's two tries (2 × 20 ms)
  EXPECT_EQ(Find("BOB"), "127.0.0.8");
  EXPECT_EQ(Traced("127.0.0.4 did not answer; not asked again"), 1);
  EXPECT_EQ(Traced("query BOB<03> to 127.0.0.4"), 0);
  EXPECT_EQ(Find("CAROL"), "127.0.0.8");
  EXPECT_EQ(Traced("127.0.0.3 refused the query; not asked again"), 1);
  EXPECT_EQ(Traced("query CAROL<03> to 127.0.0.3"), 0);
  EXPECT_EQ(Traced("query CAROL<03> to 127.0.0.4"), 0);
  EXPECT_EQ(good.requests(), 3);
}

// A name nobody answered for is not looked for again until the negative
// cache has aged; a name found is not looked for again at all.
TEST_F(NameResolverTest, AnswersAndSilencesAreRemembered) {
  NameServicePeer broadcast("127.255.255.255", 0,
                            [](const Bytes& query, const NameServicePeer::Reply& reply) {
                              if (AskedFor(query) == "DAVE")
                                reply(lomp::testing::PositiveAnswer(query, "127.0.0.9"));
                            });
  ASSERT_TRUE(broadcast.ok());
  Make(broadcast.port(), {ResolveMethod::Bcast});

  EXPECT_EQ(Find("NOBODY"), std::nullopt);
  const int asked = broadcast.requests();
  EXPECT_EQ(asked, 3);  // every broadcast try
  EXPECT_EQ(Find("NOBODY"), std::nullopt);
  EXPECT_EQ(broadcast.requests(), asked);
  std::this_thread::sleep_for(600ms);  // past the negative cache's age
  EXPECT_EQ(Find("NOBODY"), std::nullopt);
  EXPECT_EQ(broadcast.requests(), 2 * asked);

  EXPECT_EQ(Find("DAVE"), "127.0.0.9");
  const int afterDave = broadcast.requests();
  EXPECT_EQ(Find("DAVE"), "127.0.0.9");
  EXPECT_EQ(broadcast.requests(), afterDave);
}

// A WINS server named by a host name whose DNS never answers holds no
// lookup up: it is given half the time left, then skipped for the run, and
// the broadcast finds the name within a short time-out.
TEST_F(NameResolverTest, AWinsServerWhoseNameHangsIsSkipped) {
  NameServicePeer broadcast("127.255.255.255", 0,
                            [](const Bytes& query, const NameServicePeer::Reply& reply) {
                              reply(lomp::testing::PositiveAnswer(query, "127.0.0.2"));
                            });
  ASSERT_TRUE(broadcast.ok());
  auto hung = std::make_shared<std::atomic<int>>(0);
  Make(broadcast.port(), {ResolveMethod::Wins, ResolveMethod::Bcast}, {"wins.corp.example"},
       [hung](const std::string&) -> std::optional<in_addr> {
         ++*hung;
         std::this_thread::sleep_for(3s);  // a DNS server that does not answer
         return std::nullopt;
       });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Find("ALICE", 500ms), "127.0.0.2");
  EXPECT_EQ(Find("BOB", 500ms), "127.0.0.2");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
  EXPECT_EQ(*hung, 1);  // asked once in the run
  EXPECT_EQ(Traced("wins: server wins.corp.example not found in time; not asked in this run"), 1);
}

// Three WINS servers that never answer, and names the broadcast finds: the
// lookups find every name whether they run one after the other or sixteen
// at once. What one lookup learns of a server serves the others, and the
// silent servers never take the broadcast's share of the time. (Each
// server's verdict takes 200 ms, the three 600 ms, more than a lookup's
// 500 ms: sixteen lookups at once used to fail together.)
TEST_F(NameResolverTest, DeadWinsServersCostTheSameAtAnyConcurrency) {
  NameServicePeer broadcast("127.255.255.255", 0,
                            [](const Bytes& query, const NameServicePeer::Reply& reply) {
                              reply(lomp::testing::PositiveAnswer(query, "127.0.0.9"));
                            });
  ASSERT_TRUE(broadcast.ok());
  std::vector<std::unique_ptr<NameServicePeer>> dead;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    dead.push_back(std::make_unique<NameServicePeer>(address, broadcast.port(), Silent));
    ASSERT_TRUE(dead.back()->ok());
  }
  for (const int atOnce : {1, 16}) {
    SCOPED_TRACE(atOnce);
    Make(broadcast.port(), {ResolveMethod::Wins, ResolveMethod::Bcast},
         {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, {}, 100ms);
    std::atomic<int> found{0};
    std::atomic<int> next{0};
    std::vector<std::thread> lookups;
    for (int thread = 0; thread < atOnce; ++thread) {
      lookups.emplace_back([&] {
        for (int name = next++; name < 24; name = next++) {
          if (Find(("NAME" + std::to_string(name)).c_str(), 500ms) == "127.0.0.9") ++found;
        }
      });
    }
    for (std::thread& lookup : lookups) lookup.join();
    EXPECT_EQ(found, 24);
  }
  // Each server was judged once per resolver, however many lookups asked it.
  EXPECT_EQ(Traced("127.0.0.2 did not answer; not asked again"), 2);
}

// A forged answer that beat the owner's is dropped once a CALL to it finds
// no session: the name is looked up again and the owner's answer counts.
// A name whose owner takes no session is not looked up on every retry.
TEST_F(NameResolverTest, AnAddressWithoutASessionIsLookedUpAgain) {
  std::atomic<int> asked{0};
  NameServicePeer broadcast(
      "127.255.255.255", 0, [&](const Bytes& query, const NameServicePeer::Reply& reply) {
        // The first answer is a forger's; the owner's after it.
        reply(lomp::testing::PositiveAnswer(query, ++asked == 1 ? "127.0.0.66" : "127.0.0.2"));
      });
  ASSERT_TRUE(broadcast.ok());
  NameResolver& resolver = Make(broadcast.port(), {ResolveMethod::Bcast});
  EXPECT_EQ(Find("PEER"), "127.0.0.66");
  EXPECT_EQ(Find("PEER"), "127.0.0.66");  // remembered
  resolver.CallFailed(NetbiosName("PEER", 0x03), Address("127.0.0.66"));
  EXPECT_EQ(Traced("PEER<03>: no session at 127.0.0.66; looked up again"), 1);
  EXPECT_EQ(Find("PEER"), "127.0.0.2");
  EXPECT_EQ(broadcast.requests(), 2);

  // The owner refuses sessions: its address is asked for again only once a
  // negative cache's age has passed.
  resolver.CallFailed(NetbiosName("PEER", 0x03), Address("127.0.0.2"));
  EXPECT_EQ(Find("PEER"), "127.0.0.2");
  EXPECT_EQ(broadcast.requests(), 2);
}

// The methods are asked in the configured order; the first that knows the
// name wins, and the later ones are not asked.
TEST_F(NameResolverTest, MethodsAreAskedInOrder) {
  NameServicePeer broadcast("127.255.255.255", 0,
                            [](const Bytes& query, const NameServicePeer::Reply& reply) {
                              reply(lomp::testing::PositiveAnswer(query, "127.0.0.5"));
                            });
  ASSERT_TRUE(broadcast.ok());
  {
    std::FILE* file = std::fopen(lmhosts_.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("127.0.0.6 CAROL#03\n", file);
    std::fclose(file);
  }
  Make(broadcast.port(), {ResolveMethod::Lmhosts, ResolveMethod::Bcast});
  EXPECT_EQ(Find("CAROL"), "127.0.0.6");
  EXPECT_EQ(broadcast.requests(), 0);

  Make(broadcast.port(), {ResolveMethod::Bcast, ResolveMethod::Lmhosts});
  EXPECT_EQ(Find("CAROL"), "127.0.0.5");
  EXPECT_EQ(Traced("lmhosts: "), 1);  // only when lmhosts came first

  // An lmhosts that is a FIFO is not waited on: it is skipped, and said so.
  std::remove(lmhosts_.c_str());
  ASSERT_EQ(mkfifo(lmhosts_.c_str(), 0600), 0);
  Make(broadcast.port(), {ResolveMethod::Lmhosts, ResolveMethod::Bcast});
  EXPECT_EQ(Find("CAROL"), "127.0.0.5");
  EXPECT_EQ(Traced("lmhosts: " + lmhosts_ + " is not a regular file; not read"), 1);
}

// A node given by its address is called by its Messenger name from NODE
// STATUS; a node without a name service by the fallback, at once. Each
// address is asked once.
TEST_F(NameResolverTest, NodeStatusChoosesTheMessengerName) {
  NameServicePeer node("127.0.0.2", 0, [](const Bytes& query, const NameServicePeer::Reply& reply) {
    const auto id = static_cast<std::uint16_t>(query[0] << 8 | query[1]);
    reply(lomp::testing::StatusAnswer(id, {{NetbiosName("ADMIN", 0x03), 0x0400},
                                           {NetbiosName("FAR", 0x00), 0x0400},
                                           {NetbiosName("FAR", 0x03), 0x0400}}));
  });
  ASSERT_TRUE(node.ok());
  NameResolver& resolver = Make(node.port(), {});
  const wire::Name16 fallback = NetbiosName("127.0.0.2", 0x03);
  const auto deadline = std::chrono::steady_clock::now() + 2s;

  EXPECT_EQ(resolver.CalledName(Address("127.0.0.2"), fallback, kLoopback, -1, deadline),
            NetbiosName("FAR", 0x03));
  EXPECT_EQ(resolver.CalledName(Address("127.0.0.2"), fallback, kLoopback, -1, deadline),
            NetbiosName("FAR", 0x03));
  EXPECT_EQ(node.requests(), 1);

  // A full table, 255 names in a 4.7 KB answer, is read to its end.
  NameServicePeer full(
      "127.0.0.4", node.port(), [](const Bytes& query, const NameServicePeer::Reply& reply) {
        const auto id = static_cast<std::uint16_t>(query[0] << 8 | query[1]);
        std::vector<wire::NodeStatusName> table;
        for (int group = 0; group < 253; ++group) {
          table.push_back({NetbiosName("G" + std::to_string(group), 0x03), 0x8400});
        }
        table.push_back({NetbiosName("LAST", 0x00), 0x0400});
        table.push_back({NetbiosName("LAST", 0x03), 0x0400});
        reply(lomp::testing::StatusAnswer(id, table));
      });
  ASSERT_TRUE(full.ok());
  EXPECT_EQ(resolver.CalledName(Address("127.0.0.4"), fallback, kLoopback, -1, deadline),
            NetbiosName("LAST", 0x03));

  // Nothing listens on 127.0.0.3: refused, not waited for.
  const wire::Name16 other = NetbiosName("127.0.0.3", 0x03);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolver.CalledName(Address("127.0.0.3"), other, kLoopback, -1, deadline), other);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(Traced("127.0.0.3 has no name service"), 1);
}

}  // namespace
}  // namespace lomp::platform::nbt
