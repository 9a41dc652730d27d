// A kind's sender: one queue of notifications per notifier and the workers
// that empty them.
//
// Firing a notifier queues a job: a copy of the notifier as it was fired,
// with the ready text. The command side only copies: nothing it does waits
// on another program. A worker takes the next notifier with work in turn
// (round robin over the notifiers, one job of a notifier at a time, so a
// notifier's notifications go out in order and one that hangs holds up only
// itself), builds the job's outside commands from the notifier as it is
// then (a server or recipients changed since the firing apply), and runs
// them, each with a deadline past which its process group is ended.
//
// A failed command of a kind that retries is queued again for its recipient
// alone, after 30 s and then after 2 minutes; the third failure is logged as
// given up. A notifier's queue holds at most SENDER_QUEUE_LIMIT jobs: past
// it the oldest is dropped and logged. Deleting a notifier drops its queue
// and ends the command that runs for it. At most one pulse job (a video
// mail: its clip and message files have fixed names) runs at a time.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct notifier;
struct notifier_list;

inline constexpr size_t SENDER_QUEUE_LIMIT = 20;  // jobs waiting per notifier
inline constexpr int SENDER_TRIES = 3;            // a failed mail or trap: the first try and two more

// A copy of a notifier that no list holds, freed with it.
struct notifier_copy_free {
  void operator()(notifier *n) const;
};
using notifier_ptr = std::unique_ptr<notifier, notifier_copy_free>;

struct send_job {
  notifier_ptr fired;     // the notifier as it was fired
  bool listed = false;    // a list's notifier: its configuration is read again when the job runs
  bool pulse = false;     // the kind's pulse action (a video mail) instead of the ready text
  std::string text;       // the ready text
  std::string recipient;  // a retry: this recipient alone; "" every recipient
  int tries = 0;          // failed runs so far
  std::chrono::steady_clock::time_point due{};
};

// One outside command of a job (or one exchange): for whom, and the line.
struct send_command {
  std::string recipient;
  std::string line;
};

struct sender {
  // Runs one command for the notifier named `name`, logs its outcome; true
  // when it went out.
  using runner = bool (*)(sender &s, const char *name, const send_command &c, std::atomic<pid_t> *running);

  sender(const char *n, int w, size_t stack, bool retry, runner r)
      : noun(n), workers(w), stack_size(stack), retries(retry), run(r)
  {
  }

  const char *noun;     // "mail", "sms", "trap": in the log texts
  int workers;
  size_t stack_size;
  bool retries;
  runner run;
  notifier_list *list = nullptr;  // whose notifiers it sends, set at start
  long deadline_ms = 0;                 // of every outside command, set at start
  long retry_ms[SENDER_TRIES - 1] = {};

  struct queue {
    std::vector<send_job> jobs;  // in queue order
    bool busy = false;           // a worker runs one of its jobs
    uint64_t generation = 0;     // moves when the queue is dropped
    std::atomic<pid_t> running{0};
  };
  std::mutex lock;
  // Never destroyed: a process that ends without stopping its senders (a
  // test, a failed start) must not wait in its destructor for the workers.
  std::condition_variable &wake = *new std::condition_variable;
  std::map<uint32_t, queue> queues;  // by notifier id
  uint32_t last_served = 0;
  bool pulse_busy = false;
  bool stopping = false;
  std::vector<pthread_t> threads;
};

// Starts the workers of a list's sender: 0, or -1 when none could be
// started (logged as "SNMP %s pipe: %s").
int sender_start(sender &s, notifier_list &list);

// Queues a job for the notifier (its lock held): 0; the result of the
// kind's command building when it refuses the notifier as it is (nothing is
// queued); -1 when the sender does not run.
int sender_queue(sender &s, const notifier &n, bool listed, bool pulse, std::string text);

// Drops the notifier's queue and ends the command that runs for it.
void sender_forget(sender &s, uint32_t id);

// Drops every queue, ends the running commands and waits for the workers.
void sender_stop(sender &s);

// What a shell command's outcome is logged as, for one kind.
struct shell_outcome {
  const char *sent;         // "The mail '%s' was sent"
  const char *failed;       // "Send mail '%s' error: %s"
  const char *not_started;  // "Send SNMP mail '%s' error"
  const char *also_sent;    // output that counts as sent with a zero status too, or null
};

// Runs a command through the shell with the sender's deadline. A non-zero
// exit status (or the deadline) is a failure, logged with the output; a zero
// status is judged by the output: empty, "Timeout" or `also_sent` is sent.
// The output is read in pieces of at most 127 bytes, each XML-escaped, up
// to `output_limit` bytes.
inline constexpr size_t OUTPUT_PIECE = 127;
bool sender_run_shell(sender &s, const char *name, const std::string &command, const shell_outcome &texts,
                      size_t output_limit, std::atomic<pid_t> *running);

// A copy of a notifier's record (its lock aside, its list references into
// its own working copy), made under the source's lock. Null without memory.
notifier_ptr notifier_copy(const notifier &n);
