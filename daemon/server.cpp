// The request server: one thread accepts the daemon's socket connections and
// runs every command through the tag table, one after the other. The frame's
// share of the start-up and shutdown routines, and the settings replay.
#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "frame_internal.h"
#include "uds.h"
#include "zun_text.h"
#include "zunlog.h"
#include "zunutils.h"

namespace {

ZunMutex g_command_lock;
bool g_startup_ran = false;

udsserver g_server{};
pthread_t g_server_thread;
bool g_server_started = false;
std::atomic<bool> g_server_quit{false};

// One connection: the parser reads the command through the connection and
// the handler of its tag writes the reply and closes it. A connection carries
// one command: whatever follows the first one in the request is ignored.
int on_connection(int conn)
{
  auto *ch = new (std::nothrow) xml_channel;
  if (!ch)
    return -1;
  int handle = conn;
  *ch = xml_channel{frame_def()->tags, udsserver_recv, &handle, udsserver_send, &handle,
                    udsserver_close};
  int result = helpers_xml_parse_command(ch);
  delete ch;
  return result;
}

void pause_ms(long ms)
{
  timespec ts = {ms / 1000, (ms % 1000) * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

// Serves the socket until the shutdown asks it to stop. A fatal socket error
// (the socket cannot be bound) is retried after a short pause rather than in
// a tight loop.
//
// The thread takes the batch scheduling policy: the same share of the
// processor, but its wake-ups never preempt the task that is running. Every
// command comes from a client that blocks on the reply right after sending
// it, so on a single core (the board's) a server that preempted its client
// at the connect and again at the command only added context switches:
// measured on one core, 2.3 per test command instead of 1.4, an eighth of
// its round trip.
void *server_thread(void *)
{
  sched_param batch{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);  // a plain thread if refused
  while (!g_server_quit.load()) {
    int result = udsserver_run(&g_server);
    if (g_server_quit.load())
      break;
    udsserver_reset(&g_server);
    if (result < 0)
      pause_ms(200);
  }
  return nullptr;
}

// Stops the server cooperatively: the command in progress finishes, then
// udsserver_run returns and the thread ends. The stop request is repeated
// while waiting, so that a stop that reached the server between two runs is
// not lost.
int stop_server_thread(void)
{
  if (!g_server_started)
    return 0;
  g_server_quit.store(true);
  int result = zunutils_join_nudging(g_server_thread, 100, [](void *) { udsserver_stop(&g_server); }, nullptr);
  g_server_started = false;
  return result;
}

// Replies of replayed settings lines go nowhere; the whole count is reported
// as written so that a handler that writes in a loop ends.
ssize_t discard_write(void *, const void *, size_t count)
{
  return static_cast<ssize_t>(count);
}

int discard_close(void *)
{
  return 0;
}

}  // namespace

ZunMutex &daemon_command_lock(void)
{
  return g_command_lock;
}

bool daemon_is_replay(const xml_channel *ch)
{
  return ch != nullptr && ch->write == discard_write;
}

namespace {

// The settings file whole (at most what a channel may carry); false when it
// cannot be opened.
bool read_settings(std::string &text)
{
  int fd = open(file_settings, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0 || text.size() + static_cast<size_t>(n) > XML_CHANNEL_MAX)
      break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// What a line of the settings file is parsed as: nothing for a blank line, a
// declaration or comment, or the end tag of a group; a group's start tag
// closed at once (its handler, if any, runs); any other line as it stands.
std::string line_document(std::string_view line)
{
  size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos)
    return "";
  line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
  if (line.starts_with("<?") || line.starts_with("<!"))
    return "";
  bool one_tag = line.starts_with("<") && line.ends_with(">") && line.find('<', 1) == std::string_view::npos;
  if (one_tag && line.starts_with("</"))
    return "";
  if (one_tag && !line.ends_with("/>")) {
    std::string_view name = line.substr(1, line.find_first_of(" \t/>", 1) - 1);
    return std::string(line) + "</" + std::string(name) + ">";
  }
  return std::string(line);
}

}  // namespace

int daemon_replay_settings(void)
{
  std::string text;
  if (!read_settings(text))
    return -1;
  const daemon_def *def = frame_def();
  const xml_tag_table *tags = def->settings_tags != nullptr ? def->settings_tags : def->tags;
  xml_channel ch{tags, nullptr, nullptr, discard_write, nullptr, discard_close};
  int result = 0;
  size_t number = 0;
  for (size_t at = 0; at < text.size(); number++) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    std::string doc = line_document(std::string_view(text).substr(at, end - at));
    at = end + 1;
    if (doc.empty())
      continue;
    // A line at a time: a line that is not well-formed costs what it holds,
    // never the lines after it.
    int rc = helpers_xml_parse_string(&ch, doc.data(), doc.size());
    if (rc < 0) {
      char entry[512];
      zun_format(entry, sizeof entry, "Settings line %zu is not well-formed and was left out", number + 1);
      zunlog_message("error", entry, 8);
    }
    if (result == 0)
      result = rc;
  }
  return result;
}

int frame_startup(void)
{
  const daemon_def *def = frame_def();
  int own = def->startup ? def->startup() : 0;
  g_startup_ran = true;

  g_server.path = def->socket_path;
  g_server.handler = on_connection;
  g_server_quit.store(false);
  int result = pthread_create(&g_server_thread, nullptr, server_thread, nullptr);
  if (result != 0)
    return result;
  g_server_started = true;
  return own;
}

int frame_shutdown(void)
{
  int result = stop_server_thread();
  const daemon_def *def = frame_def();
  if (g_startup_ran && def->shutdown) {
    int own = def->shutdown();
    if (result == 0)
      result = own;
  }
  return result;
}
