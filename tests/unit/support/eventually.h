// The one way a test waits for another thread: a bounded poll of a
// condition, on the real clock whatever clock the code under test uses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace lomp::testing {

// Polls `condition` every millisecond until it holds or `limit` has passed.
// Fails with "waited N ms for <what>", so an ASSERT_TRUE around it says what
// never came instead of hanging the suite.
template <typename Condition>
::testing::AssertionResult Eventually(const std::string& what, Condition condition,
                                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return ::testing::AssertionFailure() << "waited " << limit.count() << " ms for " << what;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ::testing::AssertionSuccess();
}

}  // namespace lomp::testing
