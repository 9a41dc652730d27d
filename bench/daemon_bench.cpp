// `test` commands per second through a daemon's socket (testd, the frame's
// test daemon: request server, XML parser, tag-table dispatch, reply) against
// a raw UNIX-socket echo server that reads the same command and writes the
// same reply bytes. The ratio daemon/echo is what the frame costs.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bench_cpu.h"

namespace {

constexpr char kCommand[] = "<test />";  // sent with its NUL
constexpr char kReply[] = "<error type='Test ok' />";

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd()
  {
    if (fd >= 0)
      close(fd);
  }
};

bool fill_addr(const std::string &path, sockaddr_un &addr)
{
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// One exchange as every client of the system does it: connect, command and
// NUL, read the reply until the server closes. True when the reply is right.
bool exchange(const std::string &path)
{
  sockaddr_un addr;
  if (!fill_addr(path, addr))
    return false;
  Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0 || connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    return false;
  if (send(s.fd, kCommand, sizeof kCommand, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kCommand))
    return false;
  char buf[256];
  size_t len = 0;
  for (;;) {
    ssize_t n = read(s.fd, buf + len, sizeof buf - len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    len += static_cast<size_t>(n);
    if (len == sizeof buf)
      break;
  }
  return len == sizeof kReply - 1 && memcmp(buf, kReply, len) == 0;
}

// The raw server, in a process of its own like the daemon: accepts one
// connection at a time, reads up to the NUL, writes the reply, closes.
class EchoServer {
public:
  explicit EchoServer(const std::string &path) : path_(path)
  {
    sockaddr_un addr;
    if (!fill_addr(path, addr))
      return;
    unlink(path.c_str());
    Fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.fd < 0 || bind(listener.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener.fd, 64) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      serve(listener.fd);
      _exit(0);
    }
  }
  ~EchoServer()
  {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    unlink(path_.c_str());
  }
  pid_t pid() const { return pid_; }

private:
  static void serve(int listener)
  {
    for (;;) {
      Fd c(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (c.fd < 0)
        continue;
      char buf[4096];
      size_t len = 0;
      while (len < sizeof buf) {
        ssize_t n = read(c.fd, buf + len, sizeof buf - len);
        if (n <= 0)
          break;
        len += static_cast<size_t>(n);
        if (memchr(buf, '\0', len))
          break;
      }
      ssize_t w = send(c.fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
      (void)w;
    }
  }

  std::string path_;
  pid_t pid_ = -1;
};

// testd under a private root, started as a start-up script would.
class Testd {
public:
  Testd()
  {
    char tmpl[] = "/tmp/zb.XXXXXX";
    if (!mkdtemp(tmpl))
      return;
    root_ = tmpl;
    for (const char *d : {"/tmp", "/etc/snmp", "/var/snmp", "/mnt/jffs/etc"})
      std::filesystem::create_directories(root_ + d);
    if (FILE *f = fopen((root_ + "/etc/snmp/testd.conf").c_str(), "w")) {
      fprintf(f, "agentXSocket unix:%s/tmp/agentx\n", root_.c_str());
      fclose(f);
    }
#ifdef ZUN_BIN_DIR
    std::string bin = ZUN_BIN_DIR "/testd";
#else
    std::string bin = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "testd";
#endif
    std::string env_root = "APPLIANCE_ROOT=" + root_;
    std::string env_conf = "SNMPCONFPATH=" + root_ + "/etc/snmp";
    std::string env_pers = "SNMP_PERSISTENT_DIR=" + root_ + "/var/snmp";
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      char *argv[] = {const_cast<char *>("testd"), nullptr};
      char *envp[] = {const_cast<char *>(env_root.c_str()), const_cast<char *>(env_conf.c_str()),
                      const_cast<char *>(env_pers.c_str()), const_cast<char *>("MIBS="), nullptr};
      execve(bin.c_str(), argv, envp);
      _exit(127);
    }
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      if (exchange(socket())) {
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Testd()
  {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (!root_.empty())
      std::filesystem::remove_all(root_);
  }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  std::string socket() const { return root_ + "/tmp/testd.socket"; }
  std::string echo_socket() const { return root_ + "/tmp/echo.socket"; }

private:
  std::string root_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

Testd *g_testd = nullptr;

void run_exchanges(benchmark::State &state, const std::string &path)
{
  for (auto _ : state) {
    if (!exchange(path)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TestCommand_Daemon(benchmark::State &state)
{
  if (!g_testd->ready()) {
    state.SkipWithError("testd did not start");
    return;
  }
  run_exchanges(state, g_testd->socket());
}

void BM_TestCommand_RawEcho(benchmark::State &state)
{
  EchoServer echo(g_testd->echo_socket());
  run_exchanges(state, g_testd->echo_socket());
}

// Both sides in one run, in alternating batches, so that both see the same
// machine load: commands per second of each and their ratio.
constexpr int kBatch = 16;

bool timed_batch(const std::string &path, std::chrono::steady_clock::duration &spent)
{
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatch; ++i)
    if (!exchange(path))
      return false;
  spent += std::chrono::steady_clock::now() - t0;
  return true;
}

void BM_TestCommand_Ratio(benchmark::State &state)
{
  if (!g_testd->ready()) {
    state.SkipWithError("testd did not start");
    return;
  }
  EchoServer echo(g_testd->echo_socket());
  std::chrono::steady_clock::duration daemon_time{}, echo_time{};
  double daemon_cpu = process_cpu_ns(g_testd->pid());
  double echo_cpu = process_cpu_ns(echo.pid());
  for (auto _ : state) {
    if (!timed_batch(g_testd->socket(), daemon_time) ||
        !timed_batch(g_testd->echo_socket(), echo_time)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  daemon_cpu = process_cpu_ns(g_testd->pid()) - daemon_cpu;
  echo_cpu = process_cpu_ns(echo.pid()) - echo_cpu;
  double n = static_cast<double>(state.iterations()) * kBatch;
  double daemon_s = std::chrono::duration<double>(daemon_time).count();
  double echo_s = std::chrono::duration<double>(echo_time).count();
  if (daemon_s > 0 && echo_s > 0) {
    state.counters["daemon_per_s"] = n / daemon_s;
    state.counters["echo_per_s"] = n / echo_s;
    state.counters["ratio"] = echo_s / daemon_s;
    // The servers' own CPU time per command: steadier than throughput on a
    // loaded machine.
    state.counters["daemon_cpu_us"] = daemon_cpu / n / 1000;
    state.counters["echo_cpu_us"] = echo_cpu / n / 1000;
  }
}

BENCHMARK(BM_TestCommand_Daemon)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_TestCommand_RawEcho)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_TestCommand_Ratio)->MinTime(2.0)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char **argv)
{
  signal(SIGPIPE, SIG_IGN);
  bench_pin_to_one_cpu();
  benchmark::Initialize(&argc, argv);
  Testd testd;
  g_testd = &testd;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
