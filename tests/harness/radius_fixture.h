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

// A reply as a genuine server builds it; each field but code spoils one part.
struct reply_shape {
  uint8_t code = 2;  // Access-Accept
  int id_delta = 0;
  bool with_ma = true;
  bool spoil_ma = false;
  bool spoil_authenticator = false;
  bool long_length_field = false;
  bool broken_attribute = false;
  std::string reply_secret;  // "" : the shared secret
};
bytes build_reply(const reply_shape &shape, const request_view &req, const std::string &shared);

// Accept replies forged in one way each, that a client must refuse.
struct forged_accept {
  const char *what;
  void (*spoil)(reply_shape &);
};
inline constexpr forged_accept FORGED_ACCEPTS[] = {
    {"wrong response authenticator", [](reply_shape &s) { s.spoil_authenticator = true; }},
    {"wrong identifier", [](reply_shape &s) { s.id_delta = 1; }},
    {"no message authenticator", [](reply_shape &s) { s.with_ma = false; }},
    {"wrong message authenticator", [](reply_shape &s) { s.spoil_ma = true; }},
    {"signed with another secret", [](reply_shape &s) { s.reply_secret = "other"; }},
};

// A server on a loopback port that answers each request as told, in a thread
// of the test process; it records every request it receives.
class FakeServer {
public:
  enum class mode { answer, silent, answer_second, from_other_port };

  FakeServer(const std::string &secret, mode m, reply_shape shape = {});
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;
  bool ok() const { return fd_ >= 0 && other_fd_ >= 0; }
  uint16_t port() const { return port_; }
  std::vector<bytes> requests();

private:
  void serve();

  std::string secret_;
  mode mode_;
  reply_shape shape_;
  int fd_ = -1, other_fd_ = -1;
  uint16_t port_ = 0, other_port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<bytes> requests_;
  std::thread thread_;
};

// Debian's freeradius under root/etc/raddb on a loopback port: one client
// (127.0.0.1 with `secret`), the users file `users` as given, PAP, and a
// Message-Authenticator in every reply. Started and waited for (bounded) by
// the constructor; ok() tells whether it is ready.
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
