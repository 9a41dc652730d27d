// UNIX stream socket exchange, client and server.
//
// Framing: the client connects, writes the command and one NUL byte, then
// reads the reply until the server closes. The server reads the commands of
// its pending connections together (each until NUL, end of input,
// UDS_MAX_REQUEST bytes or UDS_SERVER_READ_MS from its accept), keeps each
// in a per-connection record that udsserver_recv serves, and hands the
// connection to the daemon's handler once its command is complete. Every
// wait on a peer is a poll against a deadline (the server's wait in accept
// is ended by udsserver_stop), so neither side can be held by a peer that
// stops talking, and every send uses MSG_NOSIGNAL, so a peer that went away
// costs an error return, never a SIGPIPE. The process's SIGPIPE disposition
// is left alone: an ignored SIGPIPE would be inherited by the commands the
// daemons run.
#include "uds.h"
#include "zun_fault.h"
#include "zun_fd.h"

#include "zun_path.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;


// Milliseconds left until `end` (0 when passed), for poll; a part of a
// millisecond counts whole, so that a wait does not end just before it.
int ms_left(Clock::time_point end)
{
  auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
  if (left <= 0)
    return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// Waits until fd is ready for `events` or the deadline passes. 1 ready, 0
// time-out, -1 error.
int wait_fd(int fd, short events, Clock::time_point end)
{
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int r = ::poll(&p, 1, ms_left(end));
    if (r > 0)
      return 1;
    if (r == 0)
      return 0;
    if (errno != EINTR)
      return -1;
  }
}

// Writes all of buf before the deadline (the zero time point: within
// UDS_SERVER_READ_MS of the first wait, the server's limit; a reply seldom
// waits, so the clock is not read for it). 0 done, -1 failure or time-out.
int send_all(int fd, const char *buf, size_t len, Clock::time_point end)
{
  while (len > 0) {
    ssize_t w = zf::send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      buf += w;
      len -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR)
      continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (end == Clock::time_point{})
        end = Clock::now() + std::chrono::milliseconds(UDS_SERVER_READ_MS);
      if (wait_fd(fd, POLLOUT, end) != 1)
        return -1;
      continue;
    }
    return -1;
  }
  return 0;
}

// Fills a UNIX socket address with the mapped path. -1 when it does not fit.
int make_address(const char *path, struct sockaddr_un *addr)
{
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path == nullptr || zunpath_map(path, addr->sun_path, sizeof addr->sun_path) != 0 ||
      addr->sun_path[0] == '\0')
    return -1;
  return 0;
}

// ---------------------------------------------------------------- client

std::atomic<int> client_timeout_override{0};

int client_timeout_ms()
{
  int ms = client_timeout_override.load();
  return ms > 0 ? ms : UDS_CLIENT_TIMEOUT_MS;
}

enum : int {
  CLIENT_UNREACHABLE = -1,  // no socket, nobody listening, bad path
  CLIENT_SEND_FAILED = -2,  // command could not be written
  CLIENT_TIMEOUT = -3,      // reply not finished in time
  CLIENT_RESET = -4,        // closed without reading the command
  CLIENT_READ_FAILED = -5,
};

// Connects and writes command plus NUL; `sent` tells whether all of it went.
// Every later call on the socket passes MSG_DONTWAIT and waits in poll,
// against the deadline.
int client_open(const char *path, const char *command, size_t len, Clock::time_point end, Fd &sock,
                bool &sent)
{
  struct sockaddr_un addr;
  if (make_address(path, &addr) != 0)
    return CLIENT_UNREACHABLE;
  sock.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0)
    return CLIENT_UNREACHABLE;
  // A blocking connect waits while the listener's backlog is full; the send
  // time-out bounds that wait.
  int ms = ms_left(end);
  struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int r;
  do
    r = zf::connect(sock.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
  while (r < 0 && errno == EINTR);
  if (r < 0)
    return CLIENT_UNREACHABLE;
  // The NUL is part of the framing. A server that stopped reading early
  // (request limit) may refuse the rest; its reply is still worth reading.
  // `len` counts the NUL when the command holds one; otherwise it follows.
  sent = send_all(sock.get(), command, len, end) == 0;
  if (sent && (len == 0 || command[len - 1] != '\0'))
    sent = send_all(sock.get(), "", 1, end) == 0;
  if (!sent && Clock::now() >= end)
    return CLIENT_SEND_FAILED;
  // Nothing more comes: the server need not wait out its read time for it.
  if (!sent)
    ::shutdown(sock.get(), SHUT_WR);
  return 0;
}

// Reads from sock until close. sink(bytes, n) takes each piece and returns
// false to stop early (the reply was cut). Returns 0 when the server closed
// after taking the whole command (`sent`: an orderly close before any byte is
// the empty reply) or after a byte of reply, or when the sink stopped;
// negative otherwise. On Linux a server that closes with our command unread
// resets the connection, and one that closed before we could send it refused
// the send: neither has read the command.
template <class Sink>
int client_read(int sock, bool sent, Clock::time_point end, Sink sink)
{
  char chunk[4096];
  bool got = false;
  bool wait = true;  // the reply is never there the moment the command left
  for (;;) {
    if (wait) {
      int w = wait_fd(sock, POLLIN, end);
      if (w == 0)
        return CLIENT_TIMEOUT;
      if (w < 0)
        return CLIENT_READ_FAILED;
    }
    ssize_t n = ::recv(sock, chunk, sizeof chunk, MSG_DONTWAIT);
    wait = false;
    if (n > 0) {
      got = true;
      if (!sink(chunk, static_cast<size_t>(n)))
        return 0;
      continue;
    }
    if (n == 0)
      return got || sent ? 0 : CLIENT_RESET;
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait = true;
      continue;
    }
    // A reset after a complete reply (the server closed with our command
    // partly unread) still ends the reply.
    if (errno == ECONNRESET && got)
      return 0;
    return got ? CLIENT_READ_FAILED : CLIENT_RESET;
  }
}

// ---------------------------------------------------------------- server

// A connection whose command is still arriving: its descriptor (closed with
// the record, also when a cancelled server thread unwinds), the end of its
// read time and what has come so far.
struct Reading {
  int fd;
  Clock::time_point end;
  std::string command;

  Reading(int f, Clock::time_point e) : fd(f), end(e) {}
  Reading(Reading &&o) noexcept : fd(std::exchange(o.fd, -1)), end(o.end), command(std::move(o.command)) {}
  Reading &operator=(Reading &&o) noexcept
  {
    if (this != &o) {
      close_fd();
      fd = std::exchange(o.fd, -1);
      end = o.end;
      command = std::move(o.command);
    }
    return *this;
  }
  Reading(const Reading &) = delete;
  Reading &operator=(const Reading &) = delete;
  ~Reading() { close_fd(); }
  void close_fd()
  {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
};

// Takes what has arrived of r's command. True when the command is complete:
// its NUL, the end of input, the request limit, a failed read (the client
// went away), or its read time is over.
bool read_more(Reading &r, Clock::time_point now)
{
  char chunk[4096];
  while (r.command.size() < UDS_MAX_REQUEST) {
    size_t want = UDS_MAX_REQUEST - r.command.size();
    ssize_t n = ::recv(r.fd, chunk, want < sizeof chunk ? want : sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      const char *nul = static_cast<const char *>(std::memchr(chunk, '\0', static_cast<size_t>(n)));
      r.command.append(chunk, nul != nullptr ? static_cast<size_t>(nul - chunk) : static_cast<size_t>(n));
      if (nul != nullptr)
        return true;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return now >= r.end;  // out of time: what arrived is the command
    return true;
  }
  return true;
}

// The connection being dispatched, served by the connection calls. Handlers
// run on the server's thread, one at a time, so each thread has at most one
// and no lock is needed.
struct Connection {
  int handle;
  int fd;                    // -1 once udsserver_close ran
  std::string command;       // bytes read before dispatch (without the NUL)
  size_t served = 0;         // how much udsserver_recv has handed out
  bool send_failed = false;  // a send timed out: later sends fail at once
};

thread_local Connection *current = nullptr;

// Handles are never reused while the process runs long enough to matter
// (2^31 commands), so a handle that was closed can never reach another
// connection.
std::atomic<unsigned> handles_given{0};

int new_handle()
{
  return static_cast<int>(handles_given.fetch_add(1, std::memory_order_relaxed) % 0x7fffffffu) + 1;
}

Connection *find_current(void *conn)
{
  Connection *c = current;
  if (conn == nullptr || c == nullptr || *static_cast<int *>(conn) != c->handle)
    return nullptr;
  return c;
}

// Runs the handler on a complete command; the connection is closed when it
// returns (or when a cancelled server thread unwinds through it).
void dispatch(udsserver *srv, Reading &r)
{
  if (r.command.empty()) {
    r.close_fd();  // nothing to dispatch: a probe, a client that went away or said nothing
    return;
  }
  Connection c{new_handle(), std::exchange(r.fd, -1), std::move(r.command)};
  struct Current {
    Connection &c;
    explicit Current(Connection &conn) : c(conn) { current = &c; }
    ~Current()
    {
      current = nullptr;
      if (c.fd >= 0)
        ::close(c.fd);
    }
  } hold(c);
  srv->handler(c.handle);
}

// Orders the publishing of a listening socket against udsserver_stop.
std::mutex listen_mutex;

// Binds the listening socket of srv (replacing a stale one). It blocks:
// a server with nothing to read waits in accept.
int listen_on(const udsserver *srv, Fd &listener)
{
  struct sockaddr_un addr;
  if (make_address(srv->path, &addr) != 0)
    return -1;
  listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0)
    return -1;
  ::unlink(addr.sun_path);  // a socket left by a previous run
  if (::bind(listener.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), 64) != 0)
    return -1;
  return 0;
}

// How long a server with out of descriptors waits before accepting again.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);

// Accepts one connection (waiting for it when none is pending) and adds it
// to `reading`: a client is woken from connect before it sends, so its
// command is seldom there yet. -1 on a fatal error of the listener.
int accept_one(udsserver *srv, int listener, std::vector<Reading> &reading, Clock::time_point &pause_until)
{
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      pause_until = Clock::now() + ACCEPT_PAUSE;  // let the connections in hand finish first
      return 0;
    }
    bool passing = errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
                   errno == EPROTO || srv->stop.load();  // udsserver_stop shut the listener down
    return passing ? 0 : -1;
  }
  if (srv->admit != nullptr && srv->admit(srv, fd) != 0) {
    ::close(fd);  // refused: closed with its command unread
    return 0;
  }
  reading.emplace_back(fd, Clock::now() + std::chrono::milliseconds(UDS_SERVER_READ_MS));
  return 0;
}

// One round over the commands still arriving: waits until one of them or
// the listener is ready, or the first read time ends; dispatches every
// command that is then complete, oldest first (a client that stalls holds up
// no other); then accepts a waiting client, while fewer than UDS_MAX_READING
// commands are arriving and no pause for descriptors is on. The listener also
// reports the stop, which shuts it down. -1 on a fatal error.
int poll_round(udsserver *srv, int listener, std::vector<Reading> &reading, std::vector<struct pollfd> &polled,
               Clock::time_point &pause_until)
{
  bool paused = pause_until != Clock::time_point{};
  bool accepting = !paused && reading.size() < UDS_MAX_READING;
  Clock::time_point wake = paused ? pause_until : Clock::time_point::max();
  polled.clear();
  for (const Reading &r : reading) {
    polled.push_back({r.fd, POLLIN, 0});
    wake = std::min(wake, r.end);
  }
  polled.push_back({listener, static_cast<short>(accepting ? POLLIN : 0), 0});
  if (::poll(polled.data(), polled.size(), ms_left(wake)) < 0)
    return errno == EINTR ? 0 : -1;
  Clock::time_point now = Clock::now();
  if (paused && now >= pause_until)
    pause_until = Clock::time_point{};
  // The list does not change while it is walked.
  for (size_t i = 0; i < reading.size() && !srv->stop.load(); i++) {
    Reading &r = reading[i];
    if ((polled[i].revents != 0 || now >= r.end) && read_more(r, now))
      dispatch(srv, r);
  }
  std::erase_if(reading, [](const Reading &r) { return r.fd < 0; });
  if (accepting && (polled.back().revents & POLLIN) != 0 && !srv->stop.load())
    return accept_one(srv, listener, reading, pause_until);
  return 0;
}

// Publishes the listening socket for udsserver_stop, which shuts it down to
// wake the server, and withdraws it before it is closed (also when a
// cancelled server thread unwinds), so that a stop never reaches a reused
// descriptor.
class Published {
public:
  Published(udsserver *srv, int fd) : srv_(srv)
  {
    std::lock_guard<std::mutex> lock(listen_mutex);
    srv_->listening.store(fd + 1);
  }
  ~Published()
  {
    std::lock_guard<std::mutex> lock(listen_mutex);
    srv_->listening.store(0);
  }
  Published(const Published &) = delete;
  Published &operator=(const Published &) = delete;

private:
  udsserver *srv_;
};

}  // namespace

// ---------------------------------------------------------------- client API

void udsclient_set_timeout_ms(int ms) { client_timeout_override.store(ms > 0 ? ms : 0); }

int udsclient_exchange_ms(const char *path, char *buf, size_t size, int timeout_ms)
{
  if (buf == nullptr || size == 0)
    return CLIENT_UNREACHABLE;
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 1);
  // A command without its terminator within the buffer is sent as far as
  // the buffer goes: nothing past it is read.
  size_t len = strnlen(buf, size);
  Fd sock;
  bool sent = false;
  int r = client_open(path, buf, len < size ? len + 1 : len, end, sock, sent);
  buf[0] = '\0';
  if (r != 0)
    return r;
  len = 0;
  r = client_read(sock.get(), sent, end, [&](const char *bytes, size_t n) {
    size_t room = size - 1 - len;
    if (room == 0)
      return false;  // full: the reply is cut here
    size_t take = n < room ? n : room;
    std::memcpy(buf + len, bytes, take);
    len += take;
    buf[len] = '\0';
    return take == n;  // false: the reply was cut here
  });
  if (r != 0)
    buf[0] = '\0';
  return r;
}

int udsclient_exchange(const char *path, char *buf, size_t size)
{
  return udsclient_exchange_ms(path, buf, size, client_timeout_ms());
}

namespace {

// One exchange of a zero-terminated command whose reply goes to sink, within
// the client time-out.
template <class Sink> int exchange_text(const char *path, const char *command, Sink sink)
{
  if (command == nullptr)
    return CLIENT_SEND_FAILED;
  auto end = Clock::now() + std::chrono::milliseconds(client_timeout_ms());
  Fd sock;
  bool sent = false;
  int r = client_open(path, command, std::strlen(command) + 1, end, sock, sent);
  return r != 0 ? r : client_read(sock.get(), sent, end, sink);
}

}  // namespace

int udsclient_stdout(const char *path, const char *command)
{
  return exchange_text(path, command, [](const char *bytes, size_t n) {
    return std::fwrite(bytes, 1, n, stdout) == n;
  });
}

int udsclient_exchange_all(const char *path, const char *command, std::string &reply)
{
  reply.clear();
  bool too_long = false;
  int r = exchange_text(path, command, [&](const char *bytes, size_t n) {
    too_long = reply.size() + n > UDS_MAX_REPLY;
    if (!too_long)
      reply.append(bytes, n);
    return !too_long;
  });
  if (r == 0 && too_long)
    r = CLIENT_READ_FAILED;
  if (r != 0)
    reply.clear();
  return r;
}

// ---------------------------------------------------------------- server API

int udsserver_run(udsserver *srv)
{
  if (srv == nullptr || srv->handler == nullptr)
    return -1;
  if (srv->stop.load())
    return 0;
  Fd listener;
  if (listen_on(srv, listener) != 0)
    return -1;
  Published published(srv, listener.get());

  // With no command arriving the server waits in accept; otherwise in poll,
  // over those commands and the listener.
  std::vector<Reading> reading;
  std::vector<struct pollfd> polled;
  Clock::time_point pause_until{};
  int result = 0;
  while (result == 0 && !srv->stop.load()) {
    if (reading.empty() && pause_until == Clock::time_point{})
      result = accept_one(srv, listener.get(), reading, pause_until);
    else
      result = poll_round(srv, listener.get(), reading, polled, pause_until);
  }
  return result < 0 ? -1 : 0;
}

ssize_t udsserver_peek(int fd, char *buf, size_t size)
{
  if (fd < 0 || buf == nullptr || size == 0)
    return -1;
  auto end = Clock::now() + std::chrono::milliseconds(UDS_SERVER_READ_MS);
  for (;;) {
    // The end of input is asked first: bytes that came before it are all.
    struct pollfd p = {fd, POLLRDHUP, 0};
    bool ended = ::poll(&p, 1, 0) > 0;
    ssize_t n = ::recv(fd, buf, size, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return 0;
    size_t got = n > 0 ? static_cast<size_t>(n) : 0;
    if (const void *nul = std::memchr(buf, '\0', got))
      return static_cast<const char *>(nul) - buf;
    if (ended || got == size || Clock::now() >= end)
      return static_cast<ssize_t>(got);
    if (got == 0) {
      wait_fd(fd, POLLIN | POLLRDHUP, end);
      continue;
    }
    // Unread bytes keep the socket readable: poll would return at once.
    struct timespec ts = {0, 1000 * 1000};
    ::nanosleep(&ts, nullptr);
  }
}

void udsserver_stop(udsserver *srv)
{
  if (srv == nullptr)
    return;
  std::lock_guard<std::mutex> lock(listen_mutex);
  srv->stop.store(true);
  // Both a wait in accept (EINVAL) and a poll (POLLHUP) end at the shutdown;
  // new clients are refused from here on.
  int listening = srv->listening.load();
  if (listening > 0)
    ::shutdown(listening - 1, SHUT_RDWR);
}

void udsserver_reset(udsserver *srv)
{
  if (srv != nullptr)
    srv->stop.store(false);
}

ssize_t udsserver_recv(void *conn, void *buf, size_t size)
{
  Connection *c = find_current(conn);
  if (c == nullptr || (buf == nullptr && size > 0)) {
    errno = EBADF;
    return -1;
  }
  size_t left = c->command.size() - c->served;
  size_t n = size < left ? size : left;
  std::memcpy(buf, c->command.data() + c->served, n);
  c->served += n;
  return static_cast<ssize_t>(n);
}

ssize_t udsserver_send(void *conn, const void *buf, size_t count)
{
  Connection *c = find_current(conn);
  if (c == nullptr || c->fd < 0 || (buf == nullptr && count > 0)) {
    errno = EBADF;
    return -1;
  }
  if (c->send_failed) {
    errno = ETIMEDOUT;
    return -1;
  }
  // A reply lost after the command was carried out is no failure the
  // command could take back: it is not one of the command's calls.
  ZunFaultPause not_the_command;
  if (send_all(c->fd, static_cast<const char *>(buf), count, Clock::time_point{}) != 0) {
    c->send_failed = true;
    return -1;
  }
  return static_cast<ssize_t>(count);
}

int udsserver_close(void *conn)
{
  Connection *c = find_current(conn);
  if (c == nullptr || c->fd < 0) {
    errno = EBADF;
    return -1;
  }
  // The command stays readable: the parser may still be inside it.
  return ::close(std::exchange(c->fd, -1));
}
