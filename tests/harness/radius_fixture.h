// RADIUS test servers: Debian's freeradius with a private configuration on a
// loopback port, and an in-process server that answers each Access-Request
// as a genuine server would or spoiled in one chosen way (a forger).
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace zt::radius {

using bytes = std::vector<uint8_t>;

// "127.0.0.1:PORT:SECRET", the server description as stewardd keeps it.
std::string server_text(uint16_t port, const std::string &secret);

bytes md5(const bytes &in);
bytes hmac_md5(const std::string &key, const bytes &in);

// A UDP socket bound to a free loopback port (stored in *port); -1 on failure.
int udp_socket(uint16_t *port);

// What a server must be able to read from the client's Access-Request.
struct request_view {
  bool well_formed = false;
  bool ma_valid = false;  // the Message-Authenticator checks out
  uint8_t id = 0;
  bytes authenticator;
  std::string name, pass;  // pass: the hidden User-Password revealed
  in_addr nas{};
};
request_view read_request(const bytes &packet, const std::string &secret);

// A reply as a genuine server builds it (an Access-Accept with a
// Message-Authenticator and a Reply-Message); the fields below code and
// service_types change or spoil one part each.
struct reply_shape {
  uint8_t code = 2;                     // Access-Accept
  std::vector<uint32_t> service_types;  // a Service-Type attribute for each
  int id_delta = 0;
  bool with_ma = true;
  bool spoil_ma = false;
  bool spoil_authenticator = false;
  bool long_length_field = false;
  bool broken_attribute = false;
  bool proxy_state = false;      // a Proxy-State attribute, correctly signed
  size_t cut_to = 0;             // sent cut to this many bytes; 0: whole
  bool from_other_port = false;  // sent from another port of the server's host
  std::string reply_secret;      // "" : the shared secret
};
bytes build_reply(const reply_shape &shape, const request_view &req, const std::string &shared);

// Datagrams that are no genuine reply to the client's request, each an
// Access-Accept spoiled in one way: a client ignores each and waits on.
struct stray_reply {
  const char *what;
  void (*spoil)(reply_shape &);
};
inline constexpr stray_reply STRAY_REPLIES[] = {
    {"a few junk bytes", [](reply_shape &s) { s.cut_to = 5; }},
    {"shorter than a header", [](reply_shape &s) { s.cut_to = 19; }},
    {"wrong code (Accounting-Response)", [](reply_shape &s) { s.code = 5; }},
    {"wrong identifier", [](reply_shape &s) { s.id_delta = 1; }},
    {"length field past the datagram", [](reply_shape &s) { s.long_length_field = true; }},
    {"attribute past the end", [](reply_shape &s) { s.broken_attribute = true; }},
    {"wrong response authenticator", [](reply_shape &s) { s.spoil_authenticator = true; }},
    {"wrong message authenticator", [](reply_shape &s) { s.spoil_ma = true; }},
    {"signed with another secret", [](reply_shape &s) { s.reply_secret = "other"; }},
    {"a Proxy-State we never sent", [](reply_shape &s) { s.proxy_state = true; }},
    {"from another port", [](reply_shape &s) { s.from_other_port = true; }},
};

// A server on a loopback port that answers each request as told, in a thread
// of the test process; it records every request it receives. Before its
// answer to each request it sends the strays, in order (in silent mode too,
// with no answer after them). flood: no answer, but junk datagrams to the
// client without pause from its first request on.
class FakeServer {
public:
  enum class mode { answer, silent, answer_second, flood };

  FakeServer(const std::string &secret, mode m, reply_shape shape = {},
             std::vector<reply_shape> strays = {});
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;
  bool ok() const { return fd_ >= 0 && other_fd_ >= 0; }
  uint16_t port() const { return port_; }
  std::vector<bytes> requests();

private:
  void serve();
  void send_reply(const reply_shape &shape, const bytes &req, const sockaddr_in &to);

  std::string secret_;
  mode mode_;
  reply_shape shape_;
  std::vector<reply_shape> strays_;
  int fd_ = -1, other_fd_ = -1;
  uint16_t port_ = 0, other_port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<bytes> requests_;
  std::thread thread_;
};

// Every row of STRAY_REPLIES as a shape.
std::vector<reply_shape> stray_shapes();

// Debian's freeradius under root/etc/raddb on a loopback port, set up as an
// operator would: clients.conf with one client (127.0.0.1 with `secret`), the
// users file `users` as given, PAP, and nothing added to the replies for the
// client's sake. Started and waited for (bounded) by the constructor; ok()
// tells whether it is ready.
class FreeRadius {
public:
  static constexpr const char *kProgram = "/usr/sbin/freeradius";
  static bool installed();

  FreeRadius(const Root &root, const std::string &secret, const std::string &users);
  bool ok() const { return ready_; }
  uint16_t port() const { return port_; }
  std::string server(const std::string &secret) const { return server_text(port_, secret); }
  // What it printed so far, for failure messages.
  std::string log() const;

private:
  uint16_t port_ = 0;
  bool ready_ = false;
  std::unique_ptr<Process> proc_;
};

}  // namespace zt::radius
