// Clock, randomness and thread-end seam.
#include "zunutils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <ctime>
#include <set>

TEST(Utils, RandomNumbersDiffer)
{
  // 64 draws of 32 bits from the kernel: a repeat would mean a broken source.
  std::set<unsigned> seen;
  for (int i = 0; i < 64; i++)
    seen.insert(zunutils_random_uint());
  EXPECT_EQ(seen.size(), 64u);
}

TEST(Utils, RandomBelowStaysBelowAndUsesTheWholeRange)
{
  constexpr uint64_t bound = 999999999999999ull;  // 15 decimal digits
  uint64_t high = 0;
  std::set<uint64_t> seen;
  for (int i = 0; i < 256; i++) {
    uint64_t v = zunutils_random_below(bound);
    ASSERT_LT(v, bound);
    high = v > high ? v : high;
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 256u);
  EXPECT_GT(high, bound / 2);  // 256 draws all in the lower half: 2^-256
  EXPECT_EQ(zunutils_random_below(1), 0u);
  EXPECT_EQ(zunutils_random_below(0), 0u);
  int small[3] = {};
  for (int i = 0; i < 300; i++)
    small[zunutils_random_below(3)]++;
  for (int n : small)
    EXPECT_GT(n, 30);  // each value about 100 times
}

TEST(Utils, SystimeIsTheWallClockInSeconds)
{
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  uint32_t now = systime();
  uint32_t after = static_cast<uint32_t>(std::time(nullptr));
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

// A thread that ends only at the third request is joined: the request is
// repeated while the join waits.
TEST(Utils, JoinNudgingRepeatsTheRequestUntilTheThreadEnds)
{
  static std::atomic<int> asked{0};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, [](void *) -> void * {
    for (int i = 0; i < 1000 && asked.load() < 3; i++)  // bounded: 10 s
      usleep(10000);
    return nullptr;
  }, nullptr), 0);
  EXPECT_EQ(zunutils_join_nudging(thread, 20, [](void *) { asked++; }, nullptr), 0);
  EXPECT_GE(asked.load(), 3);
}
