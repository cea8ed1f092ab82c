#include "runtime/errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace lomp {
namespace {

// Catches in the order the delivery loop uses and names what it caught.
std::string Classify(const std::function<void()>& thrower) {
  try {
    thrower();
  } catch (const KrAddrNotFoundErr& error) {
    return "not found:" + error.text;
  } catch (const KrDataTransmissionErr& error) {
    return "transmission:" + error.text;
  } catch (const KrNoInterfaceAvailErr& error) {
    return "no interface:" + error.text;
  } catch (const KrNetworkErr& error) {
    return "other:" + error.text;
  }
  return "nothing";
}

TEST(KrErrors, EachLeafReachesItsOwnHandler) {
  EXPECT_EQ(Classify([] { throw KrAddrNotFoundErr("NBCallAsy3"); }), "not found:NBCallAsy3");
  EXPECT_EQ(Classify([] { throw KrDataTransmissionErr("NBSend 24"); }), "transmission:NBSend 24");
  EXPECT_EQ(Classify([] { throw KrNoInterfaceAvailErr(""); }), "no interface:");
  EXPECT_EQ(Classify([] { throw KrUnknownNetworkErr("NBCallAsy3"); }), "other:NBCallAsy3");
  EXPECT_EQ(Classify([] {}), "nothing");
}

TEST(KrErrors, TheRootsCatchEveryLeaf) {
  auto caughtAsNetworkErr = [](auto error) {
    try {
      throw error;
    } catch (const KrNetworkErr& caught) {
      return caught.text;
    }
  };
  EXPECT_EQ(caughtAsNetworkErr(KrUnknownNetworkErr("a")), "a");
  EXPECT_EQ(caughtAsNetworkErr(KrAddrNotFoundErr("b")), "b");
  EXPECT_EQ(caughtAsNetworkErr(KrDataTransmissionErr("c")), "c");
  EXPECT_EQ(caughtAsNetworkErr(KrNoInterfaceAvailErr("d")), "d");

  bool caught = false;
  try {
    throw KrDataTransmissionErr("x");
  } catch (const KrError&) {
    caught = true;
  }
  EXPECT_TRUE(caught);
}

TEST(KrErrors, RethrowKeepsTheClassAndText) {
  // The per-port send step rethrows what it caught; the dispatcher must still
  // see the leaf class.
  const std::string result = Classify([] {
    try {
      throw KrDataTransmissionErr("NBRecv 10");
    } catch (const KrNetworkErr&) {
      throw;
    }
  });
  EXPECT_EQ(result, "transmission:NBRecv 10");
}

}  // namespace
}  // namespace lomp
