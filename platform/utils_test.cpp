// Clock and randomness seam.
#include "zunutils.h"

#include <gtest/gtest.h>

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
