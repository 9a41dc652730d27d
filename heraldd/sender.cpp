// Senders: record pipes and their threads.
#include "sender.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "zun_text.h"
#include "zunlog.h"
#include "zunrun.h"

namespace {

// Room for many records while a command is slow (the kernel default holds
// three mail records).
constexpr int PIPE_CAPACITY = 1 << 20;

// Sanitizer builds need far more stack than the board's threads are given.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t STACK_FACTOR = 16;
#else
constexpr size_t STACK_FACTOR = 1;
#endif

// Reads exactly n bytes (a record arrives in pieces); false at the end of
// the pipe.
bool read_record(int fd, char *buf, size_t n)
{
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, buf + got, n - got);
    if (r > 0)
      got += static_cast<size_t>(r);
    else if (r < 0 && errno == EINTR)
      continue;
    else
      return false;
  }
  return true;
}

void *sender_thread(void *arg)
{
  sender &s = *static_cast<sender *>(arg);
  std::vector<char> record(s.record_size);
  for (;;) {
    std::memset(record.data(), 0, record.size());
    if (!read_record(s.fds[0], record.data(), record.size()) || s.stopping.load())
      return nullptr;
    s.run(s, record.data());
  }
}

}  // namespace

void heraldd_log(const char *clas, const char *format, ...)
{
  char text[512];
  va_list ap;
  va_start(ap, format);
  BoundedText t(text, sizeof text);
  t.vappendf(format, ap);
  va_end(ap);
  zunlog_message(clas, text, 8);
}

int sender_start(sender &s)
{
  if (pipe2(s.fds, O_CLOEXEC) != 0) {
    s.fds[0] = s.fds[1] = -1;
    heraldd_log("error", "SNMP %s pipe: %s", s.noun, std::strerror(errno));
    return -1;
  }
  fcntl(s.fds[1], F_SETPIPE_SZ, PIPE_CAPACITY);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, s.stack_size * STACK_FACTOR);
  int rc = pthread_create(&s.thread, &attr, sender_thread, &s);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    ::close(s.fds[0]);
    ::close(s.fds[1]);
    s.fds[0] = s.fds[1] = -1;
    return -1;
  }
  s.started = true;
  return 0;
}

int sender_queue(sender &s, const char *record)
{
  std::lock_guard<std::mutex> hold(s.write_lock);
  if (s.fds[1] < 0)
    return -1;
  // One writer at a time, and only when the whole record fits: a write of
  // this size is never split by another, and never waits for the sender.
  int capacity = fcntl(s.fds[1], F_GETPIPE_SZ);
  int queued = 0;
  if (capacity <= 0 || ioctl(s.fds[1], FIONREAD, &queued) != 0 ||
      static_cast<size_t>(capacity - queued) < s.record_size) {
    heraldd_log("error", "Send %s '%.64s' error: queue full", s.noun, record);
    return -1;
  }
  size_t done = 0;
  while (done < s.record_size) {
    ssize_t w = ::write(s.fds[1], record + done, s.record_size - done);
    if (w > 0)
      done += static_cast<size_t>(w);
    else if (w < 0 && errno != EINTR)
      return -1;
  }
  return 0;
}

void sender_stop(sender &s)
{
  s.stopping.store(true);
  {
    std::lock_guard<std::mutex> hold(s.write_lock);
    if (s.fds[1] >= 0)
      ::close(s.fds[1]);
    s.fds[1] = -1;
  }
  if (!s.started)
    return;
  // The end of the pipe wakes a waiting thread; a command that runs is
  // ended, again until the thread is gone (it may be starting one); what is
  // still queued is never run.
  for (;;) {
    zunrun_stop(&s.running);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 50 * 1000 * 1000;
    if (until.tv_nsec >= 1000 * 1000 * 1000) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000 * 1000 * 1000;
    }
    if (pthread_timedjoin_np(s.thread, nullptr, &until) != ETIMEDOUT)
      break;
  }
  ::close(s.fds[0]);
  s.fds[0] = -1;
  s.started = false;
}
