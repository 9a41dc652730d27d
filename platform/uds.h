// UNIX stream socket exchange: one connection carries one command and its
// reply. The client writes the command text and one NUL byte, then reads the
// reply until the server closes the connection.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <sys/types.h>

// Limits of the exchange.
inline constexpr size_t UDS_MAX_REQUEST = 65536;     // server reads at most this
inline constexpr int UDS_SERVER_READ_MS = 5000;      // server gives a client this long
inline constexpr int UDS_CLIENT_TIMEOUT_MS = 10000;  // client gives up after this
inline constexpr size_t UDS_MAX_READING = 256;       // commands a server reads at once

// Sends the zero-terminated command held in buf to the socket at `path`
// (mapped under APPLIANCE_ROOT) and replaces it by the zero-terminated reply,
// cut to size-1 bytes. A daemon that read the command and closed without
// writing has answered with the empty text: 0, buf empty. Non-zero (buf then
// empty) only when the daemon is not reachable, resets the connection (it
// closed without reading the whole command), or does not finish its reply
// within the client time-out.
int udsclient_exchange(const char *path, char *buf, size_t size);

// The same with its own time limit (milliseconds), for callers that must not
// wait the full client time-out (the log).
int udsclient_exchange_ms(const char *path, char *buf, size_t size, int timeout_ms);

// The same with the reply copied to standard output (through stdio, so it
// keeps its place among printf output) as it arrives (never cut). Returns 0
// on success (an empty reply prints nothing), negative on the failures above
// (nothing of a reply that never came is written).
int udsclient_stdout(const char *path, const char *command);

// The same with the whole reply kept in `reply`, which grows as it arrives
// (up to UDS_MAX_REPLY bytes; a longer reply fails the exchange rather than
// being cut): for callers that print a listing of any length, but only once
// it arrived whole. Returns 0 on success (reply then holds it), non-zero as
// udsclient_exchange (reply then empty).
inline constexpr size_t UDS_MAX_REPLY = 64u << 20;
int udsclient_exchange_all(const char *path, const char *command, std::string &reply);

// Client time-out override for tests (milliseconds; 0 restores the default).
void udsclient_set_timeout_ms(int ms);

// Connection handler: takes the connection handle, returns an integer.
typedef int (*udsserver_handler)(int conn);

struct udsserver;

// Admission check, asked with the descriptor of each accepted connection
// before a byte of its command is read (it may look at the command with
// MSG_PEEK, never take it). Non-zero: the server closes the connection with
// the command unread, so that the client sees a reset, as from a daemon that
// went away. For stand-ins that play such a daemon; the daemons leave it null.
typedef int (*udsserver_admit)(udsserver *srv, int fd);

// For an admission check: waits (at most UDS_SERVER_READ_MS) until the
// command on the descriptor has come whole (its NUL, the end of input, or
// size bytes) and copies it into buf without taking it from the socket.
// Returns its length without the NUL (what came when the time ran out), 0
// when none came, negative on a bad argument.
ssize_t udsserver_peek(int fd, char *buf, size_t size);

// Server record. The daemon fills path and handler; the rest is zero at
// start and belongs to the library.
struct udsserver {
  const char *path;            // socket path as written (mapped inside)
  udsserver_handler handler;
  udsserver_admit admit;       // optional (null: every connection is read)
  std::atomic<int> listening;  // library's: 1 + the listening socket while run serves,
                               // else 0 (another thread may watch it)
  std::atomic<bool> stop;      // library's: set by udsserver_stop
};

// Binds the socket (replacing a stale one) and serves it on the calling
// thread. The commands of all pending connections are read together, each
// for at most 5 s from its accept (until NUL, end of input or 64 KiB), so a
// client that stalls holds up no other; at most UDS_MAX_READING are read at
// once, and beyond that (or out of descriptors) new connections wait in the
// listen queue. Each command is dispatched as soon as it is complete: the
// handler is called with the connection, one handler at a time, on this
// thread. A connection that brought no byte of command is closed without
// calling the handler. The handle is not a descriptor: it names the
// connection's record for the calls below and is never given to two
// connections. The server ends a connection that the handler left open when
// the handler returns. Returns when udsserver_stop was called (0; connections
// still being read are closed) or on a fatal socket error (negative); the
// caller may call it again.
int udsserver_run(udsserver *srv);

// Asks a running udsserver_run to return after the command in progress (one
// about to start returns at once); safe from any thread. It shuts the
// listening socket down, which wakes the server and refuses new clients.
// udsserver_reset withdraws the request: the record may be run again.
void udsserver_stop(udsserver *srv);
void udsserver_reset(udsserver *srv);

// Connection calls with the semantics of read/write/close, made by the
// handler on the server's thread while it runs. `conn` is the address of an
// int holding the connection handle (the xml_channel context
// convention). recv yields the command bytes read by the server, then 0; it
// goes on serving them after close, since the parser may still be inside the
// command when its handler closes. send writes everything or fails (-1): a
// client that takes nothing for 5 s fails it, and every later send on the
// connection fails at once; a client that went away fails it without
// SIGPIPE. Unknown or closed handles, and calls from another thread, give
// -1 (EBADF).
ssize_t udsserver_recv(void *conn, void *buf, size_t size);
ssize_t udsserver_send(void *conn, const void *buf, size_t count);
int udsserver_close(void *conn);
