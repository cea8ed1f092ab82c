// What testbed.sh tells the tests, and the guard that keeps the real
// network layer out of the machine's own network namespace.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lomp::testing {

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// For SetUpTestSuite: the real providers broadcast, so they may run only in
// a namespace the test bed made.
inline void AssertInsideTestbed() {
  ASSERT_EQ(Env("LOMP_TESTBED"), "1") << "run through tests/interop/testbed.sh";
  ASSERT_NE(Env("LOMP_HOST_NETNS"), "");
  ASSERT_NE(std::filesystem::read_symlink("/proc/self/ns/net").string(), Env("LOMP_HOST_NETNS"))
      << "refusing to run in the machine's own network namespace";
}

}  // namespace lomp::testing
