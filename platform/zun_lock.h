// The one lock of the programs' threads, and its scoped holder.
//
// A mutex, not a spin lock: the daemons hold their locks across work that
// can take long (element database calls, SNMP work, building or sending a
// notification), and a waiter then sleeps instead of burning a core that the
// holder may need.
#pragma once
#include <pthread.h>

// A process-private mutex (default kind: not recursive, a thread that takes
// it twice deadlocks). Ready from its construction, which for one at
// namespace scope happens at compile time (no start-up order to mind), and
// valid as long as its owner. Neither copied nor moved: threads meet at its
// address. Inside a record from calloc, construct it in place
// (new (&rec->lock) ZunMutex) and destroy it before the record is freed.
class ZunMutex {
public:
  constexpr ZunMutex() noexcept = default;
  ~ZunMutex() { pthread_mutex_destroy(&mutex_); }
  ZunMutex(const ZunMutex &) = delete;
  ZunMutex &operator=(const ZunMutex &) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a mutex from its construction to the end of its scope:
// ZunLock hold(mutex);
class ZunLock {
public:
  explicit ZunLock(ZunMutex &mutex) : mutex_(mutex) { mutex_.lock(); }
  ~ZunLock() { mutex_.unlock(); }
  ZunLock(const ZunLock &) = delete;
  ZunLock &operator=(const ZunLock &) = delete;

private:
  ZunMutex &mutex_;
};
