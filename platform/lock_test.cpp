// The platform's mutex and its scoped holder, under contention.
#include "zun_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

ZunMutex g_static_mutex;  // at namespace scope: ready without start-up code

// Adds one `rounds` times, each under the holder. The read and the write are
// separate steps, so an addition made while another thread is between them
// is lost unless the lock keeps them apart.
void add_under_lock(ZunMutex &mutex, std::atomic<long> &count, long rounds)
{
  for (long i = 0; i < rounds; i++) {
    ZunLock hold(mutex);
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
}

TEST(ZunLock, NoAdditionUnderTheHolderIsLost)
{
  ZunMutex local_mutex;
  struct {
    const char *name;
    ZunMutex &mutex;
    int threads;
  } cases[] = {{"namespace scope, 2 threads", g_static_mutex, 2}, {"local, 4 threads", local_mutex, 4}};
  constexpr long ROUNDS = 200000;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<long> count{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; t++)
      threads.emplace_back(add_under_lock, std::ref(c.mutex), std::ref(count), ROUNDS);
    for (std::thread &t : threads)
      t.join();
    EXPECT_EQ(count.load(), c.threads * ROUNDS);
  }
}

}  // namespace
