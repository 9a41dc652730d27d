// appliance-sim: serves the sockets of the sibling daemons under
// APPLIANCE_ROOT, the 1-Wire reader FIFO and the GPIO tree, until SIGTERM or
// SIGINT.
//
//   appliance-sim [--only a,b] [--except a,b] [--fault name=mode]... [--wander]
//
// --wander (for the demo) lets the sensors' values drift a little every
// second, each within its type's range, so that charts and states move;
// without it a value changes only when it is told to.
//
// Fault modes (also set at run time in $APPLIANCE_ROOT/tmp/appliance-sim.faults,
// lines "name mode", read at every connection):
//   none       answer normally
//   silent     read the command, never answer; the connection is held until
//              the client's time-out is long past (12 s), the mode changes
//              or the program stops
//   close      close at once, the command unread (the client sees a reset,
//              as from a daemon that went away); it is looked at for the
//              journal, not taken
//   slow       answer after 3 seconds
//   malformed  answer a truncated element: <error type='no er
// A command that gets no answer, or a malformed one, is journaled but not
// carried out; a slow one is carried out.
#include "sim.h"

#include "uds.h"
#include "zun_path.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

using sim::Fault;

struct StandIn {
  const char *name;
  const sim::CommandTable *table;
  bool served;
  Fault fault;  // command-line default
  udsserver srv;
  std::string socket;  // "/tmp/NAME.socket", as written
  std::thread thread;
};

StandIn g_standins[] = {
    {"registryd", &sim::registryd_table, true, Fault::none, {}, {}, {}},
    {"stewardd", &sim::stewardd_table, true, Fault::none, {}, {}, {}},
    {"chronicled", &sim::chronicled_table, true, Fault::none, {}, {}, {}},
    {"cellulard", &sim::cellulard_table, true, Fault::none, {}, {}, {}},
    {"phantomd", &sim::phantomd_table, true, Fault::none, {}, {}, {}},
    {"baseiod", &sim::baseiod_table, true, Fault::none, {}, {}, {}},
    {"mainsd", &sim::mainsd_table, true, Fault::none, {}, {}, {}},
    {"opticd", &sim::opticd_table, true, Fault::none, {}, {}, {}},
    {"busstate", &sim::busstate_table, true, Fault::none, {}, {}, {}},
};
constexpr size_t kStandIns = sizeof g_standins / sizeof g_standins[0];

std::atomic<bool> g_stop{false};
bool g_wander = false;
constexpr int kWanderMs = 1000;

constexpr const char *kMalformed = "<error type='no er";
constexpr int kSlowMs = 3000;
constexpr int kSilentHoldMs = 12000;

// Sleeps in short steps; false when the program is stopping.
bool pause_ms(int ms)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (g_stop.load())
      return false;
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return !g_stop.load();
}

void send_all(int conn, const std::string &text)
{
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = udsserver_send(&conn, text.data() + done, text.size() - done);
    if (w <= 0)
      break;
    done += static_cast<size_t>(w);
  }
}

void dispatch(const sim::CommandTable &table, const std::string &text, std::string &reply)
{
  sim::Command cmd;
  if (!sim::parse_command(text, &cmd)) {
    reply = sim::error_reply("invalid request");
    return;
  }
  for (size_t i = 0; i < table.count; i++)
    if (cmd.root.name == table.rows[i].name) {
      table.rows[i].fn(cmd, reply);
      return;
    }
  table.fallback(cmd, reply);
}

int serve(size_t index, int conn)
{
  StandIn &s = g_standins[index];
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = udsserver_recv(&conn, buf, sizeof buf);
    if (n <= 0)
      break;
    text.append(buf, static_cast<size_t>(n));
  }
  sim::journal_write(s.name, text);

  Fault mode = sim::fault_current(s.name, s.fault);
  switch (mode) {
  case Fault::close:  // set after this connection was admitted: no reply
    break;
  case Fault::silent: {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSilentHoldMs);
    while (std::chrono::steady_clock::now() < end && pause_ms(10) &&
           sim::fault_current(s.name, s.fault) == Fault::silent) {
    }
    break;
  }
  case Fault::malformed:
    send_all(conn, kMalformed);
    break;
  case Fault::slow:
  case Fault::none: {
    std::string reply;
    dispatch(*s.table, text, reply);
    if (mode == Fault::slow && !pause_ms(kSlowMs))
      break;
    send_all(conn, reply);
    break;
  }
  }
  udsserver_close(&conn);
  return 0;
}

// The "close" fault is decided before the command is read, so that it stays
// unread when the connection is closed.
int admit(udsserver *srv, int fd)
{
  for (auto &s : g_standins) {
    if (&s.srv != srv || sim::fault_current(s.name, s.fault) != Fault::close)
      continue;
    std::string text(UDS_MAX_REQUEST, '\0');
    ssize_t n = udsserver_peek(fd, text.data(), text.size());
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    sim::journal_write(s.name, text);
    return -1;
  }
  return 0;
}

template <size_t I>
int handler(int conn)
{
  return serve(I, conn);
}

template <size_t... I>
constexpr std::array<udsserver_handler, sizeof...(I)> make_handlers(std::index_sequence<I...>)
{
  return {handler<I>...};
}

constexpr auto kHandlers = make_handlers(std::make_index_sequence<kStandIns>{});

// The server is started again after a failure (said once, not every time).
void server_thread(StandIn *s)
{
  bool said = false;
  while (!g_stop.load()) {
    if (udsserver_run(&s->srv) == 0 && (g_stop.load() || s->srv.stop.load()))
      break;
    if (!said)
      std::fprintf(stderr, "appliance-sim: %s: cannot serve %s: %s\n", s->name, zunpath(s->socket).c_str(),
                   std::strerror(errno));
    said = true;
    pause_ms(200);
  }
}

StandIn *find_standin(std::string_view name)
{
  for (auto &s : g_standins)
    if (name == s.name)
      return &s;
  return nullptr;
}

// "a,b,c" -> calls fn for each name; false on an unknown one.
template <class Fn>
bool each_name(const char *list, Fn fn)
{
  std::string_view rest(list);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    if (!name.empty()) {
      StandIn *s = find_standin(name);
      if (s == nullptr) {
        std::fprintf(stderr, "appliance-sim: unknown daemon '%.*s'\n", static_cast<int>(name.size()), name.data());
        return false;
      }
      fn(*s);
    }
    if (comma == std::string_view::npos)
      break;
    rest.remove_prefix(comma + 1);
  }
  return true;
}

void usage(void)
{
  std::fprintf(stderr,
               "usage: appliance-sim [--only a,b] [--except a,b] [--fault name=mode]... [--wander]\n"
               "daemons: registryd stewardd chronicled cellulard phantomd baseiod mainsd opticd busstate\n"
               "modes: none silent close slow malformed\n");
}

// Option value: "--opt value" or "--opt=value".
const char *option_value(int argc, char **argv, int *i, const char *opt)
{
  size_t len = std::strlen(opt);
  if (std::strncmp(argv[*i], opt, len) != 0)
    return nullptr;
  if (argv[*i][len] == '=')
    return argv[*i] + len + 1;
  if (argv[*i][len] == '\0' && *i + 1 < argc)
    return argv[++*i];
  return nullptr;
}

int parse_options(int argc, char **argv)
{
  for (int i = 1; i < argc; i++) {
    const char *v;
    if (std::strcmp(argv[i], "--wander") == 0) {
      g_wander = true;
    } else if ((v = option_value(argc, argv, &i, "--only")) != nullptr) {
      for (auto &s : g_standins)
        s.served = false;
      if (!each_name(v, [](StandIn &s) { s.served = true; }))
        return -1;
    } else if ((v = option_value(argc, argv, &i, "--except")) != nullptr) {
      if (!each_name(v, [](StandIn &s) { s.served = false; }))
        return -1;
    } else if ((v = option_value(argc, argv, &i, "--fault")) != nullptr) {
      const char *eq = std::strchr(v, '=');
      StandIn *s = eq ? find_standin(std::string_view(v, static_cast<size_t>(eq - v))) : nullptr;
      if (s == nullptr || !sim::fault_parse(eq + 1, &s->fault)) {
        std::fprintf(stderr, "appliance-sim: bad --fault '%s'\n", v);
        return -1;
      }
    } else {
      return -1;
    }
  }
  return 0;
}

void make_dir(const std::string &path)
{
  for (size_t pos = 1; pos <= path.size(); pos++)
    if (pos == path.size() || path[pos] == '/')
      ::mkdir(path.substr(0, pos).c_str(), 0755);
}

}  // namespace

int main(int argc, char **argv)
{
  if (parse_options(argc, argv) != 0) {
    usage();
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);  // threads inherit it

  make_dir(zunpath("/tmp"));
  sim::journal_open(zunpath("/tmp/appliance-sim.journal"));
  sim::faults_file_set(zunpath("/tmp/appliance-sim.faults"));
  int seeded = sim::registry_seed(zunpath("/etc/registry.xml"));
  if (seeded < 0)
    std::fprintf(stderr, "appliance-sim: %s is malformed; registry starts empty\n",
                 zunpath("/etc/registry.xml").c_str());

  if (sim::gpio_start() != 0)
    std::fprintf(stderr, "appliance-sim: cannot watch %s\n", zunpath("/sys/class/gpio").c_str());
  if (sim::w1_start() != 0)
    std::fprintf(stderr, "appliance-sim: cannot create %s\n", zunpath("/dev/w1").c_str());
  std::thread w1([] {
    while (!g_stop.load()) {
      sim::w1_poll();
      struct timespec ts = {0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
  });

  std::thread wander;
  if (g_wander)
    wander = std::thread([] {
      while (pause_ms(kWanderMs))
        sim::registry_wander();
    });

  for (size_t i = 0; i < kStandIns; i++) {
    StandIn &s = g_standins[i];
    if (!s.served)
      continue;
    s.socket = std::string("/tmp/") + s.name + ".socket";
    s.srv.path = s.socket.c_str();
    s.srv.handler = kHandlers[i];
    s.srv.admit = admit;
    s.thread = std::thread(server_thread, &s);
  }

  int sig = 0;
  while (sigwait(&stop_set, &sig) != 0) {
  }
  g_stop.store(true);
  for (auto &s : g_standins)
    if (s.served)
      udsserver_stop(&s.srv);
  for (auto &s : g_standins)
    if (s.thread.joinable()) {
      s.thread.join();
      ::unlink(zunpath(s.socket).c_str());
    }
  w1.join();
  if (wander.joinable())
    wander.join();
  sim::w1_stop();
  sim::gpio_stop();
  return 0;
}
