// Senders: per-notifier queues and the workers that empty them in turn.
#include "sender.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "heraldd.h"
#include "notifier.h"
#include "xmlhelpers.h"
#include "zunrun.h"
#include "zunutils.h"

namespace {

using clock = std::chrono::steady_clock;

// Sanitizer builds need far more stack than the board's threads are given.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t STACK_FACTOR = 16;
#else
constexpr size_t STACK_FACTOR = 1;
#endif

// Three times sendmail's own wait (-w 30): a command still running then
// hangs.
constexpr long DEADLINE_MS = 90000;
constexpr long RETRY_MS[SENDER_TRIES - 1] = {30000, 120000};

// Tests shorten the waits (like APPLIANCE_ROOT, unset on the board); they
// can never be made longer. APPLIANCE_SEND_RETRY_MS is the first wait, the
// second is four times as long.
long shortened(const char *variable, long ms)
{
  const char *text = std::getenv(variable);
  char *end = nullptr;
  long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
  return text != nullptr && end != text && *end == '\0' && value > 0 && value < ms ? value : ms;
}

// The queue to serve next: after the last one served, in turn; a queue that
// a worker holds waits, and so does one whose first due job is a pulse while
// another pulse runs. Sets `next_due` to the earliest job that is not due
// yet. The sender's lock is held.
sender::queue *next_queue(sender &s, uint32_t &id, size_t &at, clock::time_point &next_due)
{
  clock::time_point now = clock::now();
  next_due = clock::time_point::max();
  auto start = s.queues.upper_bound(s.last_served);
  for (size_t seen = 0; seen < s.queues.size(); seen++, start++) {
    if (start == s.queues.end())
      start = s.queues.begin();
    sender::queue &q = start->second;
    if (q.busy)
      continue;
    for (size_t i = 0; i < q.jobs.size(); i++) {
      const send_job &job = q.jobs[i];
      if (job.due > now) {
        next_due = std::min(next_due, job.due);
        continue;
      }
      if (job.pulse && s.pulse_busy)
        break;
      id = start->first;
      at = i;
      return &q;
    }
  }
  return nullptr;
}

// The notifier as the job sends it: a list's notifier as it is now (null
// when it was deleted), with what belongs to the firing taken from the job.
notifier_ptr notifier_for(sender &s, const send_job &job)
{
  if (!job.listed)
    return notifier_copy(*job.fired);
  notifier_ptr now;
  notifier_list_with(
      *s.list, job.fired->id,
      [](notifier &n, void *into) {
        ZunLock hold(n.lock);
        *static_cast<notifier_ptr *>(into) = notifier_copy(n);
      },
      &now);
  const notifier_kind &kind = *s.list->kind;
  if (now != nullptr && kind.fired_size != 0)
    std::memcpy(reinterpret_cast<char *>(now.get()) + kind.fired_field,
                reinterpret_cast<const char *>(job.fired.get()) + kind.fired_field, kind.fired_size);
  return now;
}

// Queues a job in its notifier's queue (the sender's lock held); the oldest
// goes when the queue is full.
void push(sender &s, uint32_t id, send_job job)
{
  sender::queue &q = s.queues[id];
  if (q.jobs.size() >= SENDER_QUEUE_LIMIT) {
    heraldd_log("error", "Send %s '%.64s' error: queue full", s.noun, q.jobs.front().fired->name);
    q.jobs.erase(q.jobs.begin());
  }
  q.jobs.push_back(std::move(job));
  s.wake.notify_one();
}

// A failed command: queued again for its recipient alone, or given up.
void retry(sender &s, uint32_t id, uint64_t generation, const send_job &job, const send_command &c)
{
  if (job.tries + 1 >= SENDER_TRIES) {
    heraldd_log("error", "Send %s '%s' to '%s' given up after %d tries", s.noun, job.fired->name,
                c.recipient.c_str(), SENDER_TRIES);
    return;
  }
  // A kind with a recipient list tries that recipient again (if it is still
  // on the list then); one with a single destination sends to it as it is.
  const auto &attrs = s.list->kind->attrs;
  bool listed = std::any_of(attrs.begin(), attrs.end(), [](const notifier_attr &r) { return r.kind == set_kind::list; });
  send_job again{notifier_copy(*job.fired), job.listed, job.pulse, job.text, listed ? c.recipient : "",
                 job.tries + 1, clock::now() + std::chrono::milliseconds(s.retry_ms[job.tries])};
  std::lock_guard<std::mutex> hold(s.lock);
  auto q = s.queues.find(id);
  if (again.fired != nullptr && !s.stopping && q != s.queues.end() && q->second.generation == generation)
    push(s, id, std::move(again));
}

// Runs one job: its commands in order, each with the deadline, while its
// queue is not dropped.
void run_job(sender &s, uint32_t id, sender::queue &q, uint64_t generation, const send_job &job)
{
  const notifier_kind &kind = *s.list->kind;
  notifier_ptr n = notifier_for(s, job);
  if (n == nullptr)
    return;
  if (job.pulse && kind.pulse(s, *n, &q.running) != 0)
    return;
  std::vector<send_command> commands;
  if (kind.commands(*n, job, commands) != 0)
    return;
  auto dropped = [&] {
    std::lock_guard<std::mutex> hold(s.lock);
    return s.stopping || q.generation != generation;
  };
  for (const send_command &c : commands) {
    if (!job.recipient.empty() && c.recipient != job.recipient)
      continue;
    if (dropped())
      return;
    if (!s.run(s, n->name, c, &q.running) && s.retries && !dropped())
      retry(s, id, generation, job, c);
  }
}

void *worker(void *arg)
{
  sender &s = *static_cast<sender *>(arg);
  std::unique_lock<std::mutex> hold(s.lock);
  while (!s.stopping) {
    uint32_t id = 0;
    size_t at = 0;
    clock::time_point next_due;
    sender::queue *q = next_queue(s, id, at, next_due);
    if (q == nullptr) {
      if (next_due == clock::time_point::max())
        s.wake.wait(hold);
      else
        s.wake.wait_until(hold, next_due);
      continue;
    }
    send_job job = std::move(q->jobs[at]);
    q->jobs.erase(q->jobs.begin() + static_cast<std::ptrdiff_t>(at));
    q->busy = true;
    s.last_served = id;
    s.pulse_busy = s.pulse_busy || job.pulse;
    uint64_t generation = q->generation;
    hold.unlock();
    run_job(s, id, *q, generation, job);
    hold.lock();
    q->busy = false;
    if (job.pulse)
      s.pulse_busy = false;
    if (q->jobs.empty())
      s.queues.erase(id);
    s.wake.notify_all();
  }
  return nullptr;
}

// Ends the commands that run (the sender's lock held).
void stop_running(sender &s)
{
  for (auto &[id, q] : s.queues)
    zunrun_stop(&q.running);
}

}  // namespace

void notifier_copy_free::operator()(notifier *n) const
{
  notifier_free(n);
}

int sender_start(sender &s, notifier_list &list)
{
  s.list = &list;
  s.deadline_ms = shortened("APPLIANCE_SEND_DEADLINE_MS", DEADLINE_MS);
  s.retry_ms[0] = shortened("APPLIANCE_SEND_RETRY_MS", RETRY_MS[0]);
  s.retry_ms[1] = s.retry_ms[0] * (RETRY_MS[1] / RETRY_MS[0]);
  s.stopping = false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, s.stack_size * STACK_FACTOR);
  int rc = 0;
  for (int i = 0; i < s.workers && rc == 0; i++) {
    pthread_t thread;
    rc = pthread_create(&thread, &attr, worker, &s);
    if (rc == 0)
      s.threads.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  if (s.threads.empty()) {
    heraldd_log("error", "SNMP %s pipe: %s", s.noun, std::strerror(rc));
    return -1;
  }
  return 0;
}

int sender_queue(sender &s, const notifier &n, bool listed, bool pulse, std::string text)
{
  send_job job{notifier_copy(n), listed, pulse, std::move(text), "", 0, clock::now()};
  std::vector<send_command> commands;  // a job that could not be sent is refused now
  int refused = s.list->kind->commands(n, job, commands);
  if (refused != 0)
    return refused;
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.threads.empty() || s.stopping || job.fired == nullptr)
    return -1;
  push(s, n.id, std::move(job));
  return 0;
}

void sender_forget(sender &s, uint32_t id)
{
  std::lock_guard<std::mutex> hold(s.lock);
  auto q = s.queues.find(id);
  if (q == s.queues.end())
    return;
  q->second.jobs.clear();
  q->second.generation++;
  zunrun_stop(&q->second.running);
  if (!q->second.busy)
    s.queues.erase(q);
}

void sender_stop(sender &s)
{
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.stopping = true;
    for (auto &[id, q] : s.queues)
      q.jobs.clear();
    stop_running(s);
    s.wake.notify_all();
  }
  // A worker may be starting a command as the stop comes: it is ended again
  // until the worker is gone.
  for (pthread_t thread : s.threads)
    zunutils_join_nudging(thread, 50, [](void *ctx) {
      auto &from = *static_cast<sender *>(ctx);
      std::lock_guard<std::mutex> hold(from.lock);
      stop_running(from);
    }, &s);
  s.threads.clear();
  s.queues.clear();
}

bool sender_run_shell(sender &s, const char *name, const std::string &command, const shell_outcome &texts,
                      size_t output_limit, std::atomic<pid_t> *running)
{
  struct sink {
    std::string out;
    size_t limit;
  } into{"", output_limit};
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
  int status = zunrun_shell(command.c_str(), OUTPUT_PIECE, take, &into, running, s.deadline_ms);
  const std::string &output = into.out;
  if (status == -1) {
    heraldd_log("error", texts.not_started, name);
    return false;
  }
  if (status == ZUNRUN_DEADLINE) {
    heraldd_log("error", texts.failed, name, (output + (output.empty() ? "" : " ") + "(ended at its deadline)").c_str());
    return false;
  }
  bool sent = status == 0 && (output.empty() || output.find("Timeout") != std::string::npos ||
                              (texts.also_sent != nullptr && output.find(texts.also_sent) != std::string::npos));
  if (sent)
    heraldd_log("message", texts.sent, name);
  else
    heraldd_log("error", texts.failed, name, output.c_str());
  return sent;
}
