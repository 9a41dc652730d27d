// Outside commands through the shell, and shell quoting.
#include "zunrun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "zun_fd.h"
#include "zun_text.h"

extern char **environ;

namespace {

// Signals whose disposition a child gets back to the default: the ones a
// daemon ignores or catches.
constexpr int DEFAULT_SIGNALS[] = {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM};

bool plain_char(unsigned char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("._-+,:/@=%", c) != nullptr;
}

int decode_status(int status)
{
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

int zunrun_shell(const char *command, size_t chunk, void (*piece)(void *, const char *, size_t), void *ctx,
                 std::atomic<pid_t> *running, long deadline_ms)
{
  int out[2];
  if (command == nullptr || chunk == 0 || pipe2(out, O_CLOEXEC) != 0)
    return -1;
  Fd read_end(out[0]);
  Fd write_end(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : DEFAULT_SIGNALS)
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, sh, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  write_end.reset();
  if (spawned != 0)
    return -1;
  if (running != nullptr)
    running->store(pid);

  // Output is read as it comes until the command closes it; a deadline ends
  // the whole process group (a child that keeps the pipe open included).
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  bool ended = false;
  std::vector<char> buf(chunk);
  for (;;) {
    if (deadline_ms > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p = {read_end.get(), POLLIN, 0};
      int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX))) : 0;
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready == 0) {
        ::kill(-pid, SIGKILL);
        ended = true;
        break;
      }
    }
    ssize_t n = ::read(read_end.get(), buf.data(), buf.size());
    if (n > 0) {
      piece(ctx, buf.data(), static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    break;
  }
  int status = 0;
  pid_t w;
  do
    w = ::waitpid(pid, &status, 0);
  while (w < 0 && errno == EINTR);
  if (running != nullptr)
    running->store(0);
  if (ended)
    return ZUNRUN_DEADLINE;
  return w == pid ? decode_status(status) : -1;
}

void zunrun_stop(std::atomic<pid_t> *running)
{
  pid_t pid = running != nullptr ? running->load() : 0;
  if (pid > 0)
    ::kill(-pid, SIGKILL);
}

std::string zunrun_arg(std::string_view text)
{
  // The empty text is a word too: as '' it keeps its place on the line
  // (left out, "-c  host" would make the host the community).
  bool plain = !text.empty();
  for (unsigned char c : text)
    plain = plain && plain_char(c);
  if (plain)
    return std::string(text);
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string zunrun_in_double_quotes(std::string_view text)
{
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"' || c == '$' || c == '`')
      out += '\\';
    out += c;
  }
  return out;
}

std::string zunrun_in_echo(std::string_view text)
{
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\\\";  // the shell makes two of the four, echo one of the two
    else if (c == '"' || c == '$' || c == '`')
      out += '\\';
    out += c;
  }
  return out;
}

std::string zunrun_fit(std::string_view text, size_t room, std::string (*quote)(std::string_view))
{
  std::string whole = quote(text);
  if (whole.size() <= room)
    return whole;
  // Character boundaries, then the longest prefix that fits (its form only
  // grows with its length).
  std::vector<size_t> ends;
  for (size_t at = 0; at < text.size();) {
    size_t len = utf8_seq_len(static_cast<unsigned char>(text[at]));
    at = at + len > text.size() ? text.size() : at + len;
    ends.push_back(at);
  }
  size_t lo = 0, hi = ends.size();  // prefixes of ends[0..lo) fit
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    if (quote(text.substr(0, ends[mid - 1])).size() <= room)
      lo = mid;
    else
      hi = mid - 1;
  }
  std::string best = quote(text.substr(0, lo > 0 ? ends[lo - 1] : 0));
  return best.size() <= room ? best : std::string();
}
