// One command's round trip through the platform's socket exchange
// (udsclient_exchange against udsserver_run), next to a bare UNIX-socket
// echo of the same bytes, and the ratio of the two: what the framing,
// deadlines and per-connection records cost over the system calls.
#include "uds.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const char COMMAND[] = "<getmodule id=\"101\"  />";

// The platform server's handler: the command back, as a daemon replies.
int echo_handler(int conn)
{
  char buf[512];
  std::string cmd;
  ssize_t n;
  while ((n = udsserver_recv(&conn, buf, sizeof buf)) > 0)
    cmd.append(buf, static_cast<size_t>(n));
  udsserver_send(&conn, cmd.data(), cmd.size());
  return udsserver_close(&conn);
}

std::string mapped(const char *path) { return std::string(std::getenv("APPLIANCE_ROOT")) + path; }

sockaddr_un address(const std::string &path)
{
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

// The bare echo: accept, read to the NUL, write the bytes back, close.
class RawEcho {
public:
  explicit RawEcho(const std::string &path) : path_(path)
  {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = address(path);
    ::unlink(path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0)
      std::abort();
    thread_ = std::thread([this] { serve(); });
  }
  ~RawEcho()
  {
    stop_.store(true);
    ::shutdown(fd_, SHUT_RDWR);  // wakes the accept
    thread_.join();
    ::close(fd_);
  }

private:
  void serve()
  {
    while (!stop_.load()) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0)
        continue;
      char buf[512];
      size_t len = 0;
      ssize_t n;
      while (len < sizeof buf && (n = ::read(c, buf + len, sizeof buf - len)) > 0) {
        len += static_cast<size_t>(n);
        if (std::memchr(buf, '\0', len) != nullptr)
          break;
      }
      size_t cmd = strnlen(buf, len);
      if (::write(c, buf, cmd) < 0) {
      }
      ::close(c);
    }
  }
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The bare client: connect, write command and NUL, read to the close.
int raw_exchange(const sockaddr_un &a, char *buf, size_t size)
{
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  if (::write(fd, COMMAND, sizeof COMMAND) != static_cast<ssize_t>(sizeof COMMAND)) {
    ::close(fd);
    return -1;
  }
  size_t len = 0;
  ssize_t n;
  while (len < size - 1 && (n = ::read(fd, buf + len, size - 1 - len)) > 0)
    len += static_cast<size_t>(n);
  buf[len] = '\0';
  ::close(fd);
  return len > 0 ? 0 : -1;
}

void BM_PlatformExchange(benchmark::State &state)
{
  udsserver srv{};
  srv.path = "/tmp/bench.socket";
  srv.handler = echo_handler;
  std::thread t([&] { udsserver_run(&srv); });
  char buf[512];
  for (int i = 0; i < 1000; i++) {  // until the server accepts
    std::strcpy(buf, COMMAND);
    if (udsclient_exchange(srv.path, buf, sizeof buf) == 0)
      break;
    std::this_thread::yield();
  }
  for (auto _ : state) {
    std::strcpy(buf, COMMAND);
    if (udsclient_exchange(srv.path, buf, sizeof buf) != 0 || std::strcmp(buf, COMMAND) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  udsserver_stop(&srv);
  t.join();
  udsserver_reset(&srv);
}
BENCHMARK(BM_PlatformExchange)->UseRealTime();

void BM_RawEcho(benchmark::State &state)
{
  std::string path = mapped("/tmp/raw.socket");
  RawEcho server(path);
  sockaddr_un a = address(path);
  char buf[512];
  for (auto _ : state) {
    if (raw_exchange(a, buf, sizeof buf) != 0 || std::strcmp(buf, COMMAND) != 0) {
      state.SkipWithError("raw exchange failed");
      break;
    }
  }
}
BENCHMARK(BM_RawEcho)->UseRealTime();

// Keeps each benchmark's time per round trip for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs)
      if (!r.error_occurred && r.iterations > 0)
        ns[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char **argv)
{
  char tmpl[] = "/tmp/zb.XXXXXX";
  const char *root = ::mkdtemp(tmpl);
  if (root == nullptr)
    return 1;
  std::filesystem::create_directories(std::string(root) + "/tmp");
  ::setenv("APPLIANCE_ROOT", root, 1);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto ex = reporter.ns.find("BM_PlatformExchange/real_time");
  auto raw = reporter.ns.find("BM_RawEcho/real_time");
  if (ex != reporter.ns.end() && raw != reporter.ns.end() && raw->second > 0)
    std::printf("exchange / raw echo round trip: %.2f (%.0f ns / %.0f ns)\n", ex->second / raw->second,
                ex->second, raw->second);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
