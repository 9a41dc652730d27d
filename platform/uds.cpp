// UNIX stream socket exchange, client and server.
//
// Framing: the client connects, writes the command and one NUL byte, then
// reads the reply until the server closes. The server reads the command
// (until NUL, end of input, UDS_MAX_REQUEST bytes or UDS_SERVER_READ_MS),
// keeps it in a per-connection record that udsserver_recv serves, and hands
// the connection to the daemon's handler. Every wait is a poll against a
// deadline, so neither side can be held by a peer that stops talking, and
// every send uses MSG_NOSIGNAL, so a peer that went away costs an error
// return, never a SIGPIPE. The process's SIGPIPE disposition is left alone:
// an ignored SIGPIPE would be inherited by the commands the daemons run.
#include "uds.h"
#include "zun_fd.h"

#include "zun_path.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;


// Milliseconds left until `end` (0 when passed), for poll.
int ms_left(Clock::time_point end)
{
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
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

// Writes all of buf before the deadline. 0 done, -1 failure or time-out.
int send_all(int fd, const char *buf, size_t len, Clock::time_point end)
{
  while (len > 0) {
    ssize_t w = ::send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      buf += w;
      len -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR)
      continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
    r = ::connect(sock.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
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

// The command of one accepted connection, served by udsserver_recv.
struct Connection {
  int fd = -1;             // -1 once udsserver_close ran
  std::string command;     // bytes read before dispatch (without the NUL)
  size_t served = 0;       // how much udsserver_recv has handed out
  bool send_failed = false;  // a send timed out: later sends fail at once
};

// Connections of every server of the process, keyed by handle. Handles are
// never reused while the process runs long enough to matter (2^31 commands),
// so a handle that was closed can never reach another server's connection.
std::mutex conn_mutex;
std::map<int, Connection> connections;
int next_handle = 0;

int register_connection(int fd, std::string &&command)
{
  std::lock_guard<std::mutex> lock(conn_mutex);
  do
    next_handle = next_handle == 0x7fffffff ? 1 : next_handle + 1;
  while (connections.count(next_handle) != 0);
  Connection &c = connections[next_handle];
  c.fd = fd;
  c.command = std::move(command);
  return next_handle;
}

// Ends a connection: closes the socket (if still open) and forgets it.
void drop_connection(int handle)
{
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(conn_mutex);
    auto it = connections.find(handle);
    if (it == connections.end())
      return;
    fd = it->second.fd;
    connections.erase(it);
  }
  if (fd >= 0)
    ::close(fd);
}

// Guards the wake pipe's creation against a concurrent udsserver_stop.
std::mutex wake_mutex;

bool wake_pipe_open(const udsserver *srv) { return srv->wake_fd[0] != srv->wake_fd[1]; }

// Reads one command from a freshly accepted connection. Returns 1 when a
// command (possibly empty) was read, 0 when the server was asked to stop
// meanwhile.
int read_command(udsserver *srv, int fd, std::string &out)
{
  auto end = Clock::now() + std::chrono::milliseconds(UDS_SERVER_READ_MS);
  char chunk[4096];
  while (out.size() < UDS_MAX_REQUEST) {
    size_t want = UDS_MAX_REQUEST - out.size();
    if (want > sizeof chunk)
      want = sizeof chunk;
    ssize_t n = ::recv(fd, chunk, want, MSG_DONTWAIT);
    if (n > 0) {
      const char *nul = static_cast<const char *>(std::memchr(chunk, '\0', static_cast<size_t>(n)));
      if (nul != nullptr) {
        out.append(chunk, static_cast<size_t>(nul - chunk));
        return 1;
      }
      out.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n == 0)
      return 1;
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return 1;
    struct pollfd p[2] = {{fd, POLLIN, 0}, {srv->wake_fd[0], POLLIN, 0}};
    int r = ::poll(p, 2, ms_left(end));
    if (r == 0)
      return 1;  // out of time: what arrived is the command
    if (r < 0 && errno != EINTR)
      return 1;
    if (srv->stop.load())
      return 0;
  }
  return 1;
}

Connection *find_locked(void *conn)
{
  if (conn == nullptr)
    return nullptr;
  auto it = connections.find(*static_cast<int *>(conn));
  return it == connections.end() ? nullptr : &it->second;
}

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

int udsclient_stdout(const char *path, const char *command)
{
  if (command == nullptr)
    return CLIENT_SEND_FAILED;
  auto end = Clock::now() + std::chrono::milliseconds(client_timeout_ms());
  Fd sock;
  bool sent = false;
  int r = client_open(path, command, std::strlen(command) + 1, end, sock, sent);
  if (r != 0)
    return r;
  return client_read(sock.get(), sent, end, [](const char *bytes, size_t n) {
    return std::fwrite(bytes, 1, n, stdout) == n;
  });
}

// ---------------------------------------------------------------- server API

int udsserver_run(udsserver *srv)
{
  if (srv == nullptr || srv->handler == nullptr)
    return -1;
  {
    std::lock_guard<std::mutex> lock(wake_mutex);
    if (!wake_pipe_open(srv) && ::pipe2(srv->wake_fd, O_CLOEXEC | O_NONBLOCK) != 0) {
      srv->wake_fd[0] = srv->wake_fd[1] = -1;
      return -1;
    }
  }
  if (srv->stop.load())
    return 0;

  struct sockaddr_un addr;
  if (make_address(srv->path, &addr) != 0)
    return -1;
  Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (listener.get() < 0)
    return -1;
  ::unlink(addr.sun_path);  // a socket left by a previous run
  if (::bind(listener.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), 64) != 0)
    return -1;
  srv->listen_fd = listener.get();

  int result = 0;
  while (!srv->stop.load()) {
    struct pollfd p[2] = {{listener.get(), POLLIN, 0}, {srv->wake_fd[0], POLLIN, 0}};
    int r = ::poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      result = -1;
      break;
    }
    if (srv->stop.load())
      break;
    if ((p[0].revents & POLLIN) == 0)
      continue;
    Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (conn.get() < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: let the handlers in flight finish, then retry.
        struct pollfd w = {srv->wake_fd[0], POLLIN, 0};
        ::poll(&w, 1, 100);
        continue;
      }
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
          errno == EPROTO)
        continue;
      result = -1;
      break;
    }
    if (srv->admit != nullptr && srv->admit(srv, conn.get()) != 0)
      continue;  // refused: closed with its command unread
    std::string command;
    if (read_command(srv, conn.get(), command) == 0)
      break;  // asked to stop while a client was still sending
    if (command.empty())
      continue;  // nothing to dispatch: a probe, a client that went away or said nothing
    int handle = register_connection(conn.release(), std::move(command));
    struct Drop {  // also runs when a cancelled server thread unwinds
      int handle;
      ~Drop() { drop_connection(handle); }
    } drop{handle};
    srv->handler(handle);
  }
  srv->listen_fd = -1;
  return result;
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
  std::lock_guard<std::mutex> lock(wake_mutex);
  srv->stop.store(true);
  if (wake_pipe_open(srv)) {
    char c = 1;
    ssize_t w = ::write(srv->wake_fd[1], &c, 1);
    (void)w;  // a full pipe already wakes the server
  }
}

void udsserver_reset(udsserver *srv)
{
  if (srv == nullptr)
    return;
  std::lock_guard<std::mutex> lock(wake_mutex);
  if (wake_pipe_open(srv)) {
    ::close(srv->wake_fd[0]);
    ::close(srv->wake_fd[1]);
  }
  srv->wake_fd[0] = srv->wake_fd[1] = -1;
  srv->stop.store(false);
}

ssize_t udsserver_recv(void *conn, void *buf, size_t size)
{
  std::lock_guard<std::mutex> lock(conn_mutex);
  Connection *c = find_locked(conn);
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
  int fd;
  {
    std::lock_guard<std::mutex> lock(conn_mutex);
    Connection *c = find_locked(conn);
    if (c == nullptr || c->fd < 0 || (buf == nullptr && count > 0)) {
      errno = EBADF;
      return -1;
    }
    if (c->send_failed) {
      errno = ETIMEDOUT;
      return -1;
    }
    fd = c->fd;
  }
  // Only the server thread that owns the connection sends or closes it, so
  // the descriptor stays valid outside the lock.
  auto end = Clock::now() + std::chrono::milliseconds(UDS_SERVER_READ_MS);
  if (send_all(fd, static_cast<const char *>(buf), count, end) != 0) {
    int err = errno;
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (Connection *c = find_locked(conn))
      c->send_failed = true;
    errno = err;
    return -1;
  }
  return static_cast<ssize_t>(count);
}

int udsserver_close(void *conn)
{
  int fd;
  {
    std::lock_guard<std::mutex> lock(conn_mutex);
    Connection *c = find_locked(conn);
    if (c == nullptr || c->fd < 0) {
      errno = EBADF;
      return -1;
    }
    // The command stays readable: the parser may still be inside it.
    fd = c->fd;
    c->fd = -1;
  }
  return ::close(fd);
}
