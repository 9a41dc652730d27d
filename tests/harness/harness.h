// Test harness: a private root, appliance-sim, and the real programs run as
// a web server or a start-up script would run them. Waits are bounded polls,
// never fixed sleeps.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <time.h>
#include <vector>

namespace zt {

// Path of a built program (build/bin/NAME).
std::string bin(std::string_view name);

// A private root folder under /tmp (short: socket paths hold 107 bytes) with
// the fixed folders the system expects: tmp, var/users, var/tmp,
// mnt/jffs/etc, proc (an uptime file), dev, etc, sys/class/gpio (export and
// unexport; a line's folder appears when appliance-sim's stand-in exports
// it, as the kernel's does), usr/sbin, usr/bin.
// Removed with everything in it when destroyed.
class Root {
public:
  Root();
  ~Root();
  Root(const Root &) = delete;
  Root &operator=(const Root &) = delete;

  const std::string &path() const { return path_; }
  std::string file(std::string_view rel) const;              // path() + rel ("/tmp/x")
  void write(std::string_view rel, std::string_view content) const;  // creates folders
  // Writes into an existing file in place, as a program writes a sysfs file
  // (no folders made, no rename). False when the file is not there.
  bool poke(std::string_view rel, std::string_view content) const;
  std::string read(std::string_view rel) const;              // "" when missing
  bool exists(std::string_view rel) const;
  void remove(std::string_view rel) const;
  // Environment for a program under this root (APPLIANCE_ROOT, PATH with
  // root/usr/bin first, MIBS=, SNMPCONFPATH, SNMP_PERSISTENT_DIR).
  std::map<std::string, std::string> env() const;

private:
  std::string path_;
};

struct RunResult {
  int status = -1;   // exit status, or 128+signal
  std::string out;   // exact standard output bytes
  std::string err;
};

// Runs a program to its end with exactly the given environment (nothing
// inherited), argument vector and standard input. Kills it after timeout.
// A sanitizer report on its standard error fails the running test.
// argv holds the arguments after argv[0]; argv[0] is the program path. A
// vector that already starts with the program path or its base name is taken
// whole, so both {"-i"} and {"engine", "-i"} run "engine -i".
RunResult run(const std::string &program, const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env, std::string_view input = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Runs engine as a web server would: argv[0] is the invocation name (a link
// named `name` to build/bin/engine is made under the root), QUERY_STRING,
// REMOTE_ADDR=127.0.0.1 and the body on standard input; extra env added.
// The link is root/cgi-bin/NAME and argv[0] is its full path. The
// environment is exactly APPLIANCE_ROOT, QUERY_STRING, REMOTE_ADDR,
// CONTENT_LENGTH (of the body), GATEWAY_INTERFACE=CGI/1.1,
// REQUEST_METHOD=POST and `extra` (which may override any of them).
// QUERY_STRING is left out when `query` is kNoQuery (a null view, as
// std::string_view{}); an empty text "" sets it empty.
inline constexpr std::string_view kNoQuery{};
RunResult cgi(const Root &root, std::string_view query, std::string_view body = {},
              std::string_view name = "engine",
              const std::map<std::string, std::string> &extra = {});

// A background process (a daemon, appliance-sim) with its output in files.
class Process {
public:
  Process(const std::string &program, const std::vector<std::string> &argv,
          const std::map<std::string, std::string> &env);
  ~Process();  // SIGKILL if still running; a sanitizer report on its
               // standard error fails the running test
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  pid_t pid() const { return pid_; }
  bool running();
  void signal(int sig);
  // Waits for the end; -1 on time-out, else the exit status (128+signal).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::string out() const;  // standard output so far
  std::string err() const;  // standard error so far

private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string program_, out_path_, err_path_;
};

// appliance-sim under a root. Seed registry from root/etc/registry.xml
// (write it before starting). Waits until every served socket accepts.
// args are appliance-sim's options (--only a,b, --except a,b,
// --fault name=mode). ok() tells whether it came up.
class Sim {
public:
  explicit Sim(const Root &root, const std::vector<std::string> &args = {});
  ~Sim();
  void stop();
  bool ok() const { return ready_; }
  // SIGTERM and wait: appliance-sim's exit status (-1 when it did not end).
  int stop_status();
  // Journal lines ("daemon\tcommand"), all or of one daemon (command only).
  std::vector<std::string> journal() const;
  std::vector<std::string> journal_of(std::string_view daemon) const;
  // Waits until the journal holds at least n lines (bounded).
  bool wait_journal(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  void clear_journal() const;
  // Fault mode of one stand-in: "none", "silent", "close", "slow", "malformed".
  // Written to root/tmp/appliance-sim.faults, read at the next connection.
  void fault(std::string_view daemon, std::string_view mode) const;

private:
  const Root &root_;
  Process *proc_ = nullptr;
  bool ready_ = false;
};

// A loopback port that was free a moment ago (TCP, or UDP).
uint16_t free_port(bool udp = false);

// Installs a development stand-in of tools/ (sendmail, clipbuild.sh, record)
// at `rel` under the root (a link, so the tool itself runs). The record
// stand-in takes the name of the link: install_tool(root, "/usr/bin/snmptrap",
// "record") records snmptrap's arguments and runs /usr/bin/snmptrap.
void install_tool(const Root &root, std::string_view rel, std::string_view tool);

// The argument lists the stand-ins recorded (root/tmp/tools.journal), of
// one program: each run's arguments, escapes undone.
std::vector<std::vector<std::string>> tool_runs(const Root &root, std::string_view program);

// An SMTP sink (aiosmtpd) on a loopback port; with a user and password it
// requires that AUTH. messages() gives each mail received, as
// "auth: U\nfrom: F\nto: R[,R]\n\nCONTENT".
class SmtpSink {
public:
  SmtpSink(const Root &root, const std::string &user = "", const std::string &password = "");
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  std::vector<std::string> messages() const;
  bool wait_messages(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
  const Root &root_;
  uint16_t port_ = 0;
  bool ok_ = false;
  std::unique_ptr<Process> proc_;
};

// A server on a loopback port that takes connections and never says a word
// (its connections wait in the listen queue, as behind a dead process).
class HungServer {
public:
  HungServer();
  ~HungServer();
  HungServer(const HungServer &) = delete;
  HungServer &operator=(const HungServer &) = delete;
  uint16_t port() const { return port_; }
  // The oldest connection, once there is one (within 10 s); -1 without.
  int take() const;
  // True when the client of a connection hangs up within 5 s (closes it).
  static bool gone(int connection);

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// One of Debian's SNMP tools (/usr/bin/TOOL: snmpget, snmpset, ...) kept to
// the root: no configuration of the system's, its own files under var/tmp,
// no MIB loaded unless args ask for one. args follow the tool's name.
RunResult snmp_tool(const Root &root, const std::string &tool, const std::vector<std::string> &args);

// Debian's snmpd as the AgentX master of a test: its socket at
// `agentx_socket` (a path under the root, as the subagent's settings name
// it), SNMP requests on a free loopback port (community public reads,
// private writes), its configuration, files and log under root/var/tmp/snmpd.
class Snmpd {
public:
  Snmpd(const Root &root, const std::string &agentx_socket);
  // True once its AgentX socket is there.
  bool ready() const;
  int port() const { return port_; }
  Process &proc() { return *proc_; }

private:
  std::string socket_;
  int port_;
  std::unique_ptr<Process> proc_;
};

// The internet sockets a process listens on: "tcp ADDR:PORT" for each TCP
// socket in LISTEN and "udp ADDR:PORT" for each UDP socket it holds, the
// address and port in /proc/net's hexadecimal form (0100007F:1F91), sorted.
std::vector<std::string> inet_sockets(pid_t pid);

// A UDP port on the loopback that is free at the moment (-1 when none).
int free_udp_port();

// Bounded poll: calls pred until it returns true or the timeout passes.
template <class Pred>
bool wait_for(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred())
      return true;
    if (std::chrono::steady_clock::now() >= end)
      return false;
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

// One exchange with a socket under the root (command text without the NUL);
// the reply, or "" when none. Uses a raw socket, not the platform client.
// `socket` is a daemon name ("registryd": root/tmp/registryd.socket) or an
// absolute path under the root ("/tmp/heraldd.socket").
std::string exchange(const Root &root, std::string_view socket, std::string_view command,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace zt
