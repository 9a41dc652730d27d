// A sender: the pipe of fixed-size records that the command side fills and
// the one thread that empties it, running each record's outside command (or
// exchange) in queue order.
//
// The pipe is a pair of packet sockets: a record is written with one send
// and read with one receive, whole (its zero tail is not sent: the receiving
// buffer is cleared before each record). Records never block the command side: a
// record that the pipe has no room for (a command hangs, many fired at once)
// is dropped and logged. The pipe exists before the
// thread starts, so a record can be queued the moment the list exists. The
// stop drops what is still queued, ends a command that is running, and waits
// for the thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/types.h>

struct sender {
  // Runs one record; the record's command area may be reused for output.
  using runner = void (*)(sender &s, char *record);
  sender(const char *n, size_t record, size_t stack, runner r)
      : noun(n), record_size(record), stack_size(stack), run(r)
  {
  }

  const char *noun;       // "mail", "sms", "trap": in the log texts
  size_t record_size;
  size_t stack_size;
  runner run;

  int fds[2] = {-1, -1};
  pthread_t thread{};
  bool started = false;
  std::atomic<pid_t> running{0};  // process group of the command being run
  std::atomic<bool> stopping{false};
  std::mutex write_lock;
};

// Creates the pipe and starts the thread. 0, or -1 (logged once as
// "SNMP %s pipe: %s"; queueing then fails at once).
int sender_start(sender &s);

// Queues one whole record (record_size bytes: the name, then a
// zero-terminated command). 0, or -1 when there is no pipe or no room for it
// (logged).
int sender_queue(sender &s, const char *record);

// Drops the queued records, ends a running command and waits for the thread.
void sender_stop(sender &s);

// The record's name part: the first 64 bytes.
inline constexpr size_t RECORD_NAME = 64;

// Runs the record's command (after its name) and keeps its output, read in
// pieces of at most 127 bytes, each XML-escaped, up to the record's command
// area. The command's exit status, or -1 when it could not be started.
inline constexpr size_t OUTPUT_PIECE = 127;
int sender_run_command(sender &s, const char *record, std::string &output);

// One appliance log entry of heraldd: the text formatted into 512 bytes (a
// longer one is cut), source code 8.
void heraldd_log(const char *clas, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The three senders and what fills them (a notifier's lock held).
struct mail_notifier;
struct sms_notifier;
struct trap_notifier;
extern sender mail_sender, sms_sender, trap_sender;

// One text-mail record per recipient, the ready text in m.text. 0.
int zunmail_queue_text(mail_notifier &m);
// The clip and its message made once, then one record per recipient. 0.
int zunmail_queue_video(mail_notifier &m);
// One addsms record per phone, the ready text in s.text. 0.
int zunsms_queue(sms_notifier &s);
// The trap command for the ready text in t.text, queued: 0; the access
// result when the trap program is missing; -1 for an unknown version or
// security level (nothing queued).
int zuntrap_queue(trap_notifier &t);
