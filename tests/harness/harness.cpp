// Test harness: private roots, programs run to their end or in the
// background, appliance-sim, and a raw socket client. Everything here waits
// by bounded polling; nothing sleeps for a fixed time to "let things settle".
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ZUN_SOURCE_DIR
#define ZUN_SOURCE_DIR "."
#endif
#ifndef ZUN_BIN_DIR
#define ZUN_BIN_DIR "build/bin"
#endif
#ifndef ZUN_HOST_BIN_DIR
#define ZUN_HOST_BIN_DIR ZUN_BIN_DIR
#endif

namespace fs = std::filesystem;

namespace zt {

namespace {

// The stand-ins appliance-sim serves, in its own order.
const std::vector<std::string> kSimDaemons = {
    "registryd", "stewardd", "chronicled", "cellulard", "phantomd",
    "baseiod",   "mainsd",   "opticd",     "busstate",
};

// Descriptor that closes itself.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  void reset(int f = -1)
  {
    if (fd >= 0)
      ::close(fd);
    fd = f;
  }
};

long long ms_left(std::chrono::steady_clock::time_point end)
{
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return d.count() < 0 ? 0 : d.count();
}

std::string slurp(const std::string &path)
{
  std::string out;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return out;
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  std::fclose(f);
  return out;
}

// Environment block for execve; the strings live as long as the record.
struct EnvBlock {
  std::vector<std::string> strings;
  std::vector<char *> ptrs;
  explicit EnvBlock(const std::map<std::string, std::string> &env)
  {
    for (const auto &[k, v] : env)
      strings.push_back(k + "=" + v);
    for (auto &s : strings)
      ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
};

// Argument vector: argv[0] is the program path, unless the caller's vector
// already starts with it (or with its base name).
struct ArgBlock {
  std::vector<std::string> strings;
  std::vector<char *> ptrs;
  ArgBlock(const std::string &program, const std::vector<std::string> &argv)
  {
    std::string base = fs::path(program).filename().string();
    bool has_zero = !argv.empty() && (argv[0] == program || argv[0] == base);
    if (!has_zero)
      strings.push_back(program);
    strings.insert(strings.end(), argv.begin(), argv.end());
    for (auto &s : strings)
      ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
};

int decode_status(int st)
{
  if (WIFEXITED(st))
    return WEXITSTATUS(st);
  if (WIFSIGNALED(st))
    return 128 + WTERMSIG(st);
  return -1;
}

// In the child after fork: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const std::string &program, ArgBlock &args, EnvBlock &env, int in_fd,
                             int out_fd, int err_fd)
{
  if (in_fd >= 0)
    dup2(in_fd, 0);
  if (out_fd >= 0)
    dup2(out_fd, 1);
  if (err_fd >= 0)
    dup2(err_fd, 2);
  // Nothing of the test process leaks into the program.
  for (int fd = 3; fd < 1024; fd++)
    ::close(fd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  execve(program.c_str(), args.ptrs.data(), env.ptrs.data());
  _exit(127);
}

bool socket_accepts(const std::string &path)
{
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0)
    return false;
  return ::connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

std::vector<std::string> split_list(const std::string &text)
{
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > start)
      out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// The stand-ins a command line of appliance-sim serves.
std::vector<std::string> served_daemons(const std::vector<std::string> &args)
{
  std::set<std::string> only, except;
  bool have_only = false;
  for (size_t i = 0; i < args.size(); i++) {
    std::string a = args[i];
    std::string value;
    bool is_only = false, is_except = false;
    for (const char *opt : {"--only", "--except"}) {
      std::string o = opt;
      if (a == o && i + 1 < args.size())
        value = args[++i];
      else if (a.rfind(o + "=", 0) == 0)
        value = a.substr(o.size() + 1);
      else
        continue;
      (o == "--only" ? is_only : is_except) = true;
      break;
    }
    for (const auto &n : split_list(value)) {
      if (is_only)
        only.insert(n);
      if (is_except)
        except.insert(n);
    }
    have_only = have_only || is_only;
  }
  std::vector<std::string> out;
  for (const auto &d : kSimDaemons)
    if ((!have_only || only.count(d)) && !except.count(d))
      out.push_back(d);
  return out;
}

}  // namespace

std::string bin(std::string_view name)
{
  return std::string(ZUN_BIN_DIR) + "/" + std::string(name);
}

// ---- Root ------------------------------------------------------------------

Root::Root()
{
  char tmpl[] = "/tmp/zr.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = tmpl;
  for (const char *dir : {"/tmp", "/var/users", "/var/tmp", "/mnt/jffs/etc", "/proc", "/dev", "/etc",
                          "/etc/snmp", "/var/snmp", "/sys/class/gpio", "/usr/sbin", "/usr/bin"})
    fs::create_directories(path_ + dir);
  write("/proc/uptime", "12345.67 23456.78\n");
  write("/sys/class/gpio/export", "");
  write("/sys/class/gpio/unexport", "");
}

Root::~Root()
{
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string Root::file(std::string_view rel) const
{
  return path_ + std::string(rel);
}

bool Root::poke(std::string_view rel, std::string_view content) const
{
  int fd = ::open(file(rel).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  return ::close(fd) == 0 && ok;
}

void Root::write(std::string_view rel, std::string_view content) const
{
  std::string p = file(rel);
  std::error_code ec;
  fs::create_directories(fs::path(p).parent_path(), ec);
  // Written beside and renamed, so that a program polling the file never
  // reads half of it.
  std::string tmp = p + ".part";
  FILE *f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    std::perror(tmp.c_str());
    return;
  }
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  ::rename(tmp.c_str(), p.c_str());
}

std::string Root::read(std::string_view rel) const
{
  return slurp(file(rel));
}

bool Root::exists(std::string_view rel) const
{
  struct stat st;
  return ::lstat(file(rel).c_str(), &st) == 0;
}

void Root::remove(std::string_view rel) const
{
  std::error_code ec;
  fs::remove_all(file(rel), ec);
}

std::map<std::string, std::string> Root::env() const
{
  return {
      {"APPLIANCE_ROOT", path_},
      {"PATH", path_ + "/usr/bin:" + path_ + "/usr/sbin:/usr/local/bin:/usr/bin:/bin"},
      {"MIBS", ""},
      {"SNMPCONFPATH", path_ + "/etc/snmp"},
      {"SNMP_PERSISTENT_DIR", path_ + "/var/snmp"},
      {"HOME", path_},
      {"LANG", "C"},
  };
}

// ---- run -------------------------------------------------------------------

// A sanitizer's report on a program's standard error fails the running test:
// a race or an overrun in a daemon would otherwise pass unseen.
static void check_sanitizer_report(const std::string &program, const std::string &err)
{
  for (const char *mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                           "ERROR: LeakSanitizer", "runtime error:"})
    if (err.find(mark) != std::string::npos) {
      ADD_FAILURE() << program << " reported on standard error:\n" << err;
      return;
    }
}

RunResult run(const std::string &program, const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env, std::string_view input,
              std::chrono::milliseconds timeout)
{
  RunResult res;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return res;
  if (pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return res;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]})
      ::close(fd);
    return res;
  }
  ArgBlock args(program, argv);
  EnvBlock envb(env);
  pid_t pid = fork();
  if (pid == 0)
    exec_child(program, args, envb, in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  Fd in_w(in[1]), out_r(out[0]), err_r(err[0]);
  if (pid < 0)
    return res;

  fcntl(in_w.fd, F_SETFL, O_NONBLOCK);
  // A program may end without reading all of its input (a CGI program that
  // refuses a request before its body): the write then fails, and must not
  // end the test with SIGPIPE. Children get the default back in exec_child.
  ::signal(SIGPIPE, SIG_IGN);
  size_t sent = 0;
  if (input.empty())
    in_w.reset();
  auto end = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    pollfd pf[3];
    int n = 0;
    int idx_in = -1, idx_out = -1, idx_err = -1;
    if (in_w.fd >= 0) {
      pf[n] = {in_w.fd, POLLOUT, 0};
      idx_in = n++;
    }
    if (out_r.fd >= 0) {
      pf[n] = {out_r.fd, POLLIN, 0};
      idx_out = n++;
    }
    if (err_r.fd >= 0) {
      pf[n] = {err_r.fd, POLLIN, 0};
      idx_err = n++;
    }
    long long left = ms_left(end);
    if (left == 0) {
      if (!killed)
        ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    int r = ::poll(pf, n, static_cast<int>(left > 100 ? 100 : left));
    if (r < 0 && errno != EINTR)
      break;
    if (r <= 0)
      continue;
    if (idx_in >= 0 && (pf[idx_in].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = ::write(in_w.fd, input.data() + sent, input.size() - sent);
      if (w > 0)
        sent += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR)
        in_w.reset();
      if (sent >= input.size())
        in_w.reset();
    }
    char buf[8192];
    for (auto [idx, fdp, dest] : {std::tuple{idx_out, &out_r, &res.out}, std::tuple{idx_err, &err_r, &res.err}}) {
      if (idx < 0 || !(pf[idx].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      ssize_t rd = ::read(fdp->fd, buf, sizeof buf);
      if (rd > 0)
        dest->append(buf, static_cast<size_t>(rd));
      else if (rd == 0 || (errno != EINTR && errno != EAGAIN))
        fdp->reset();
    }
  }
  in_w.reset();
  int st = 0;
  // The output is closed; the program ends by itself or is killed at the end
  // of its time.
  for (;;) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid)
      break;
    if (w < 0) {
      st = -1;
      break;
    }
    if (ms_left(end) == 0 && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    struct timespec ts = {0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  res.status = st < 0 ? -1 : decode_status(st);
  check_sanitizer_report(program, res.err);
  return res;
}

RunResult cgi(const Root &root, std::string_view query, std::string_view body, std::string_view name,
              const std::map<std::string, std::string> &extra)
{
  std::string dir = root.file("/cgi-bin");
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string link = dir + "/" + std::string(name);
  struct stat st;
  if (::lstat(link.c_str(), &st) != 0)
    fs::create_symlink(bin("engine"), link, ec);

  std::map<std::string, std::string> env = {
      {"APPLIANCE_ROOT", root.path()},
      {"REMOTE_ADDR", "127.0.0.1"},
      {"CONTENT_LENGTH", std::to_string(body.size())},
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"REQUEST_METHOD", "POST"},
  };
  if (query.data() != nullptr)
    env["QUERY_STRING"] = std::string(query);
  for (const auto &[k, v] : extra)
    env[k] = v;
  return run(link, {link}, env, body);
}

// ---- Process ---------------------------------------------------------------

Process::Process(const std::string &program, const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env)
{
  char out_t[] = "/tmp/zp.out.XXXXXX";
  char err_t[] = "/tmp/zp.err.XXXXXX";
  Fd out(mkostemp(out_t, O_CLOEXEC));
  Fd err(mkostemp(err_t, O_CLOEXEC));
  program_ = program;
  out_path_ = out_t;
  err_path_ = err_t;
  Fd devnull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ArgBlock args(program, argv);
  EnvBlock envb(env);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    exec_child(program, args, envb, devnull.fd, out.fd, err.fd);
  }
}

Process::~Process()
{
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  check_sanitizer_report(program_, err());
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

bool Process::running()
{
  if (pid_ <= 0 || status_ >= 0)
    return false;
  int st = 0;
  pid_t w = waitpid(pid_, &st, WNOHANG);
  if (w == pid_) {
    status_ = decode_status(st);
    return false;
  }
  return w == 0;
}

void Process::signal(int sig)
{
  if (running())
    ::kill(pid_, sig);
}

int Process::wait(std::chrono::milliseconds timeout)
{
  if (pid_ <= 0)
    return -1;
  wait_for([this] { return !running(); }, timeout);
  return status_;
}

std::string Process::out() const
{
  return slurp(out_path_);
}

std::string Process::err() const
{
  return slurp(err_path_);
}

// ---- Sim -------------------------------------------------------------------

Sim::Sim(const Root &root, const std::vector<std::string> &args) : root_(root)
{
  // The development machine's stand-in, also under a cross build's tests.
  proc_ = new Process(std::string(ZUN_HOST_BIN_DIR) + "/appliance-sim", args, root.env());
  std::vector<std::string> served = served_daemons(args);
  bool up = wait_for(
      [&] {
        if (!proc_->running())
          return true;
        for (const auto &d : served)
          if (!socket_accepts(root_.file("/tmp/" + d + ".socket")))
            return false;
        return true;
      },
      std::chrono::seconds(10));
  ready_ = up && proc_->running();
  if (!ready_)
    std::fprintf(stderr, "appliance-sim did not come up: %s\n", proc_->err().c_str());
}

Sim::~Sim()
{
  stop();
}

void Sim::stop()
{
  if (proc_ == nullptr)
    return;
  proc_->signal(SIGTERM);
  if (proc_->wait(std::chrono::seconds(10)) < 0)
    proc_->signal(SIGKILL);
  delete proc_;
  proc_ = nullptr;
  ready_ = false;
}

int Sim::stop_status()
{
  if (proc_ == nullptr)
    return -1;
  proc_->signal(SIGTERM);
  int st = proc_->wait(std::chrono::seconds(10));
  delete proc_;
  proc_ = nullptr;
  ready_ = false;
  return st;
}

std::vector<std::string> Sim::journal() const
{
  std::vector<std::string> lines;
  std::string text = root_.read("/tmp/appliance-sim.journal");
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos)
      break;  // a line still being written
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string> Sim::journal_of(std::string_view daemon) const
{
  std::vector<std::string> out;
  std::string prefix = std::string(daemon) + "\t";
  for (const auto &line : journal())
    if (line.rfind(prefix, 0) == 0)
      out.push_back(line.substr(prefix.size()));
  return out;
}

bool Sim::wait_journal(size_t n, std::chrono::milliseconds timeout) const
{
  return wait_for([&] { return journal().size() >= n; }, timeout);
}

void Sim::clear_journal() const
{
  // Truncated in place: appliance-sim appends, so its next line starts at 0.
  ::truncate(root_.file("/tmp/appliance-sim.journal").c_str(), 0);
}

void Sim::fault(std::string_view daemon, std::string_view mode) const
{
  std::string text = root_.read("/tmp/appliance-sim.faults");
  std::string kept;
  std::string prefix = std::string(daemon) + " ";
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos)
      nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.rfind(prefix, 0) != 0)
      kept += line + "\n";
    start = nl + 1;
  }
  kept += prefix + std::string(mode) + "\n";
  root_.write("/tmp/appliance-sim.faults", kept);
}

// ---- exchange --------------------------------------------------------------

RunResult snmp_tool(const Root &root, const std::string &tool, const std::vector<std::string> &args)
{
  std::map<std::string, std::string> env = {{"PATH", "/usr/bin:/bin"},
                                            {"MIBS", ""},
                                            {"HOME", root.path()},
                                            {"SNMPCONFPATH", root.file("/var/tmp")},
                                            {"SNMP_PERSISTENT_DIR", root.file("/var/tmp")}};
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  // Made beforehand, or the first tool says it made it.
  std::error_code ignored;
  fs::create_directories(root.file("/var/tmp/cert_indexes"), ignored);
  return run("/usr/bin/" + tool, argv, env);
}

Snmpd::Snmpd(const Root &root, const std::string &agentx_socket)
    : socket_(agentx_socket), port_(free_udp_port())
{
  std::string conf = root.file("/var/tmp/snmpd/snmpd.conf");
  root.write("/var/tmp/snmpd/snmpd.conf",
             "master agentx\nagentXSocket unix:" + agentx_socket + "\nagentaddress udp:127.0.0.1:" +
                 std::to_string(port_) +
                 "\nrocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\ndontLogTCPWrappersConnects yes\n");
  proc_ = std::make_unique<Process>(
      "/usr/sbin/snmpd", std::vector<std::string>{"snmpd", "-f", "-C", "-c", conf, "-Lf", root.file("/var/tmp/snmpd/log")},
      std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"},
                                         {"MIBS", ""},
                                         {"HOME", root.path()},
                                         {"SNMPCONFPATH", root.file("/var/tmp/snmpd")},
                                         {"SNMP_PERSISTENT_DIR", root.file("/var/tmp/snmpd")}});
}

bool Snmpd::ready() const
{
  return wait_for([&] { return fs::exists(socket_); }, std::chrono::seconds(10));
}

std::vector<std::string> inet_sockets(pid_t pid)
{
  namespace fs = std::filesystem;
  std::set<std::string> inodes;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::string target = fs::read_symlink(e.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0)
      inodes.insert(target.substr(8, target.size() - 9));
  }
  std::vector<std::string> out;
  for (const char *table : {"tcp", "tcp6", "udp", "udp6"}) {
    std::FILE *f = std::fopen((std::string("/proc/net/") + table).c_str(), "re");
    if (f == nullptr)
      continue;
    char line[512];
    bool tcp = table[0] == 't';
    while (std::fgets(line, sizeof line, f) != nullptr) {
      char local[64], state[8];
      unsigned long inode = 0;
      if (std::sscanf(line, " %*s %63s %*s %7s %*s %*s %*s %*s %*s %lu", local, state, &inode) == 3 &&
          inodes.count(std::to_string(inode)) != 0 && (!tcp || std::strcmp(state, "0A") == 0))
        out.push_back(std::string(tcp ? "tcp " : "udp ") + local);
    }
    std::fclose(f);
  }
  std::sort(out.begin(), out.end());
  return out;
}

int free_udp_port()
{
  uint16_t port = free_port(true);
  return port == 0 ? -1 : port;
}

std::string exchange(const Root &root, std::string_view socket, std::string_view command,
                     std::chrono::milliseconds timeout)
{
  std::string path = !socket.empty() && socket[0] == '/' ? root.file(socket)
                                                         : root.file("/tmp/" + std::string(socket) + ".socket");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    return "";
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    return "";
  std::string msg(command);
  msg.push_back('\0');
  if (::send(s.fd, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
    return "";
  std::string reply;
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    long long left = ms_left(end);
    if (left == 0)
      return "";
    pollfd pf = {s.fd, POLLIN, 0};
    int r = ::poll(&pf, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return "";
    char buf[8192];
    ssize_t n = ::read(s.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    reply.append(buf, static_cast<size_t>(n));
  }
  return reply;
}

// ---- outside programs -----------------------------------------------------

uint16_t free_port(bool udp)
{
  Fd fd(::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd.fd < 0 || ::bind(fd.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::getsockname(fd.fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return 0;
  return ntohs(a.sin_port);
}

void install_tool(const Root &root, std::string_view rel, std::string_view tool)
{
  std::string link = root.file(rel);
  std::error_code ec;
  fs::create_directories(fs::path(link).parent_path(), ec);
  fs::remove(link, ec);
  fs::create_symlink(std::string(ZUN_SOURCE_DIR) + "/tools/" + std::string(tool), link, ec);
}

std::vector<std::vector<std::string>> tool_runs(const Root &root, std::string_view program)
{
  std::vector<std::vector<std::string>> runs;
  std::string text = root.read("/tmp/tools.journal");
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      break;
    std::vector<std::string> fields(1);
    for (size_t i = at; i < end; i++) {
      char c = text[i];
      if (c == '\t')
        fields.emplace_back();
      else if (c == '\\' && i + 1 < end) {
        char e = text[++i];
        fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e;
      } else
        fields.back() += c;
    }
    if (fields[0] == program)
      runs.emplace_back(fields.begin() + 1, fields.end());
    at = end + 1;
  }
  return runs;
}

SmtpSink::SmtpSink(const Root &root, const std::string &user, const std::string &password) : root_(root)
{
  port_ = free_port();
  std::vector<std::string> argv = {"smtp-sink", std::to_string(port_), root.file("/tmp/smtp.spool")};
  if (!user.empty()) {
    argv.push_back(user);
    argv.push_back(password);
  }
  proc_ = std::make_unique<Process>(std::string(ZUN_SOURCE_DIR) + "/tools/smtp-sink", argv,
                                    root.env());
  ok_ = wait_for([&] { return proc_->out().find("listening") != std::string::npos; },
                 std::chrono::seconds(10));
}

std::vector<std::string> SmtpSink::messages() const
{
  std::vector<std::string> out;
  std::string spool = root_.read("/tmp/smtp.spool");
  const std::string open = "=== message\n", close = "=== end\n";
  for (size_t at = spool.find(open); at != std::string::npos; at = spool.find(open, at)) {
    size_t end = spool.find(close, at);
    if (end == std::string::npos)
      break;
    out.push_back(spool.substr(at + open.size(), end - at - open.size()));
    at = end + close.size();
  }
  return out;
}

bool SmtpSink::wait_messages(size_t n, std::chrono::milliseconds timeout) const
{
  return wait_for([&] { return messages().size() >= n; }, timeout);
}

HungServer::HungServer()
{
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 64) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port_ = ntohs(a.sin_port);
}

HungServer::~HungServer() { close(fd_); }

int HungServer::take() const
{
  pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, 10000) == 1 ? accept(fd_, nullptr, nullptr) : -1;
}

bool HungServer::gone(int connection)
{
  pollfd p = {connection, POLLIN, 0};
  char byte;
  bool closed = connection >= 0 && poll(&p, 1, 5000) == 1 && read(connection, &byte, 1) == 0;
  if (connection >= 0)
    close(connection);
  return closed;
}

}  // namespace zt
