#include "runtime/SpinWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace rodiz {
namespace {

using std::chrono::microseconds;

// A condition that turns true at its `true_from`-th look (never when 0).
struct Case {
  const char* name;
  int true_from;
  microseconds budget;
  bool expected;
  int expected_looks;  // 0: at least one, not counted exactly
};

TEST(SpinWaitTest, EndsWhenTheConditionHoldsOrTheBudgetIsSpent) {
  const Case cases[] = {
      {"true at once, no budget", 1, microseconds(0), true, 1},
      {"true at once", 1, microseconds(1000), true, 1},
      {"true at the 40th look", 40, microseconds(1000000), true, 40},
      {"never, no budget: one look", 0, microseconds(0), false, 1},
      {"never, negative budget: one look", 0, microseconds(-5), false, 1},
      {"never", 0, microseconds(200), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int looks = 0;
    const auto started = std::chrono::steady_clock::now();
    const bool result = SpinWait::Until(
        [&] {
          ++looks;
          return c.true_from != 0 && looks >= c.true_from;
        },
        c.budget);
    EXPECT_EQ(result, c.expected);
    if (c.expected_looks != 0) {
      EXPECT_EQ(looks, c.expected_looks);
    } else {
      // It gave up only after its budget, and looked once more at the end.
      EXPECT_GE(std::chrono::steady_clock::now() - started, c.budget);
      EXPECT_GT(looks, 1);
    }
  }
}

// The condition another thread makes true is seen without a sleep.
TEST(SpinWaitTest, SeesAnotherThreadsStore) {
  std::atomic<bool> set{false};
  std::thread setter([&] { set = true; });
  const bool seen = SpinWait::Until([&] { return set.load(); }, std::chrono::seconds(10));
  setter.join();
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace rodiz
