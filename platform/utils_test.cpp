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

TEST(Utils, SystimeIsTheWallClockInSeconds)
{
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  uint32_t now = systime();
  uint32_t after = static_cast<uint32_t>(std::time(nullptr));
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}
