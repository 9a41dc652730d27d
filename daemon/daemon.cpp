// The daemon's main thread: command line, log target, agent role, background,
// single-instance lock file, start-up, the SNMP agent loop and the stop.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "daemon.h"
#include "frame_internal.h"
#include "zun_fault.h"
#include "zun_fd.h"
#include "zun_path.h"
#include "zun_text.h"

// Master-agent set-up calls of the SNMP library's MIB modules; the installed
// headers do not declare them.
extern "C" void init_vacm_vars(void);
extern "C" void init_usmUser(void);

extern "C" {
const char *file_settings = nullptr;
const char *daemon_socket = nullptr;
}

namespace {

const daemon_def *g_def = nullptr;
int g_subagent = 1;
int g_background = 0;
int g_calllog = 0;
char g_settings_default[PATH_MAX];

// Cleared by the signal handler; the agent loop runs while it is set.
volatile sig_atomic_t g_running = 0;
// Written by the signal handler so that the agent loop's select wakes even
// when the signal arrived just before it started to wait.
int g_wake[2] = {-1, -1};

extern "C" void on_stop_signal(int)
{
  int saved = errno;
  g_running = 0;
  if (g_wake[1] >= 0) {
    ssize_t n = write(g_wake[1], "x", 1);
    (void)n;
  }
  errno = saved;
}

void drain_wake(int fd, void *)
{
  char buf[64];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

// The callback log selected by -l writes only through registered callbacks:
// this one hands every line to syslog.
int syslog_writer(int, int, void *serverarg, void *)
{
  const auto *m = static_cast<const snmp_log_message *>(serverarg);
  if (m && m->msg)
    syslog(m->priority, "%s", m->msg);
  return 0;
}

void print_usage(FILE *to, const char *argv0)
{
  fprintf(to, g_def->usage, argv0 ? argv0 : g_def->name);
  fflush(to);
}

// Parses the command line. Returns -1 to go on, or the exit status.
int parse_options(int argc, char **argv)
{
  const bool hostname = strstr(g_def->optstring, "H:") != nullptr;
  const option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"master", no_argument, nullptr, 'm'},
      {"background", no_argument, nullptr, 'b'},
      {"syslog", no_argument, nullptr, 'l'},
      {"settings-file", required_argument, nullptr, 'f'},
      // Only a daemon whose option string has H: knows --hostname; for the
      // others this entry ends the table.
      {hostname ? "hostname" : nullptr, required_argument, nullptr, 'H'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // the usage text is the only complaint
  int opt;
  while ((opt = getopt_long(argc, argv, g_def->optstring, long_options, nullptr)) != -1) {
    switch (opt) {
    case 'h':
      print_usage(stdout, argv[0]);
      return 0;
    case 'm':
      g_subagent = 0;
      break;
    case 'b':
      g_background = 1;
      break;
    case 'l':
      g_calllog = 1;
      break;
    case 'f':
      file_settings = optarg;
      break;
    default:
      if (opt != '?' && opt != ':' && g_def->option && g_def->option(opt, optarg) == 0)
        break;
      print_usage(stderr, argv[0]);
      return 1;
    }
  }
  return -1;
}

// A lock file that names a live process means another instance runs.
// Anything else found there is stale and removed: no number, a number that
// names no process, and this process's own id (left by an earlier instance
// whose id the system has given to us).
bool other_instance_runs(const char *lock_path)
{
  if (access(lock_path, R_OK) != 0)
    return false;
  long pid = 0;
  int fd = open(lock_path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[17];
    ssize_t n = read(fd, buf, 16);
    if (n > 0) {
      buf[n] = '\0';
      pid = strtol(buf, nullptr, 10);
    }
  }
  if (pid > 0 && pid <= INT_MAX && pid != getpid() && kill(static_cast<pid_t>(pid), 0) == 0) {
    if (fd >= 0)
      close(fd);
    return true;
  }
  if (fd >= 0)
    close(fd);
  zf::unlink(lock_path);
  return false;
}

// Creates and locks the lock file and writes the process id into it.
// 0, or the exit status after logging why not.
int create_lock_file(const char *lock_path)
{
  umask(027);
  int fd = zf::open_write(lock_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd < 0) {
    snmp_log(LOG_INFO, "Error create lock file: %s", strerror(errno));
    return 1;
  }
  if (zf::lockf(fd, F_TLOCK, 0) != 0) {
    snmp_log(LOG_INFO, "Can not lock file: %s", strerror(errno));
    close(fd);
    zf::unlink(lock_path);
    return 1;
  }
  // Without its number the file would look stale to the next start, which
  // would then remove it and run beside this instance.
  char line[24];
  zun_format(line, sizeof line, "%d\n", static_cast<int>(getpid()));
  if (!write_all(fd, line, strlen(line))) {
    snmp_log(LOG_INFO, "Error create lock file: %s", strerror(errno));
    close(fd);
    zf::unlink(lock_path);
    return 1;
  }
  close(fd);
  return 0;
}

void block_stop_signals(int how)
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(how, &set, nullptr);
}

}  // namespace

const daemon_def *frame_def(void)
{
  return g_def;
}

int daemon_is_master(void)
{
  return g_subagent ? 0 : 1;
}

int daemon_main(const daemon_def &def, int argc, char **argv)
{
  g_def = &def;
  daemon_socket = def.socket_path;
  zunpath_map(def.settings_file, g_settings_default, sizeof g_settings_default);
  file_settings = g_settings_default;

  int status = parse_options(argc, argv);
  if (status >= 0)
    return status;

  // A client that goes away must not end the daemon.
  signal(SIGPIPE, SIG_IGN);

  if (g_calllog) {
    openlog(def.name, LOG_PID, LOG_DAEMON);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, syslog_writer, nullptr);
    snmp_enable_calllog();
  } else {
    snmp_enable_stderrlog();
  }
  if (g_subagent)
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  if (g_background && netsnmp_daemonize(1, g_calllog ? 0 : 1) != 0)
    return 1;

  // Until the handler is installed a stop signal waits; threads started in
  // the start-up inherit the block, so the signal always reaches this thread.
  block_stop_signals(SIG_BLOCK);

  zun_fault_from_env();
  zun_fault_sqlite();
  char lock_path[PATH_MAX];
  zunpath_map(def.lock_file, lock_path, sizeof lock_path);
  {
    ZunFaultScope scope("start");
    if (other_instance_runs(lock_path)) {
      snmp_log(LOG_INFO, "Error: %s already started\n", def.name);
      return 1;
    }
    status = create_lock_file(lock_path);
    if (status != 0)
      return status;
    frame_remove_stale_saves();
  }

  // The agent listens only where its configuration says: the library would
  // also open SMUX on TCP port 199 of every address.
  static char no_smux[] = "-smux";
  add_to_init_list(no_smux);
  init_agent(def.name);
  frame_startup();  // its result never stops the daemon
  if (!g_subagent) {
    init_vacm_vars();
    init_usmUser();
  }
  init_snmp(def.name);
  if (!g_subagent) {
    init_master_agent();
    frame_guard_agent_input();
  }

  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) == 0)
    register_readfd(g_wake[0], drain_wake, nullptr);
  g_running = 1;
  signal(SIGTERM, on_stop_signal);
  signal(SIGINT, on_stop_signal);
  block_stop_signals(SIG_UNBLOCK);

  snmp_log(LOG_INFO, "%s is up and running.\n", def.name);
  while (g_running)
    agent_check_and_process(1);

  zf::unlink(lock_path);
  frame_shutdown();
  snmp_log(LOG_INFO, "%s stop.\n", def.name);
  snmp_shutdown(def.name);
  return 0;
}
