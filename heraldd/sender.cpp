// Senders: record pipes and their threads.
#include "sender.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "xmlhelpers.h"
#include "zun_text.h"
#include "zunlog.h"
#include "zunrun.h"
#include "zunutils.h"

namespace {

// Room for many records while a command is slow (the default holds about a
// dozen mail records).
constexpr int QUEUE_BYTES = 1 << 20;

// Sanitizer builds need far more stack than the board's threads are given.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t STACK_FACTOR = 16;
#else
constexpr size_t STACK_FACTOR = 1;
#endif

// Receives the next record whole (a packet is one record); false at the end.
bool read_record(int fd, char *buf, size_t n)
{
  for (;;) {
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r > 0)
      return true;
    if (r < 0 && errno == EINTR)
      continue;
    return false;
  }
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
  // A pipe of packets: a record is queued whole or not at all, never split
  // or interleaved, and never waits for the sender.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, s.fds) != 0) {
    s.fds[0] = s.fds[1] = -1;
    heraldd_log("error", "SNMP %s pipe: %s", s.noun, std::strerror(errno));
    return -1;
  }
  int bytes = QUEUE_BYTES;
  if (setsockopt(s.fds[1], SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(s.fds[1], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  shutdown(s.fds[0], SHUT_WR);
  shutdown(s.fds[1], SHUT_RD);
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
  // The record's zero tail stays behind: the receiver's buffer is zeroed, so
  // what it reads is the whole record, and the queue holds far more of them.
  size_t length = RECORD_NAME + strnlen(record + RECORD_NAME, s.record_size - RECORD_NAME - 1) + 1;
  ssize_t w;
  do
    w = ::send(s.fds[1], record, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  while (w < 0 && errno == EINTR);
  if (w != static_cast<ssize_t>(length)) {
    heraldd_log("error", "Send %s '%.64s' error: queue full", s.noun, record);
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
      ::close(s.fds[1]);  // the thread's next receive ends
    s.fds[1] = -1;
  }
  if (!s.started)
    return;
  // The end of the pipe wakes a waiting thread; a command that runs is
  // ended, again until the thread is gone (it may be starting one); what is
  // still queued is never run.
  zunutils_join_nudging(s.thread, 50, [](void *ctx) { zunrun_stop(&static_cast<sender *>(ctx)->running); }, &s);
  ::close(s.fds[0]);
  s.fds[0] = -1;
  s.started = false;
}

int sender_run_command(sender &s, const char *record, std::string &output)
{
  const size_t limit = s.record_size - RECORD_NAME;
  struct sink {
    std::string &out;
    size_t limit;
  } into{output, limit};
  auto take = [](void *ctx, const char *bytes, size_t n) {
    auto &to = *static_cast<sink *>(ctx);
    char piece[OUTPUT_PIECE + 1];
    char escaped[6 * sizeof piece];
    std::memcpy(piece, bytes, n);
    piece[n] = '\0';
    helpers_xml_name(piece, escaped, sizeof escaped);
    if (to.out.size() + std::strlen(escaped) < to.limit)
      to.out += escaped;
  };
  output.clear();
  return zunrun_shell(record + RECORD_NAME, OUTPUT_PIECE, take, &into, &s.running);
}

