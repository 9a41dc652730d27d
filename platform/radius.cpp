// RADIUS login: a small PAP client (Access-Request / Access-Accept) over UDP.
//
// The request carries User-Name, the hidden User-Password, NAS-IP-Address
// and a Message-Authenticator (HMAC-MD5 over the packet). A reply is taken
// only from the server's own address and port, with the request's
// identifier, a correct Response Authenticator and a correct
// Message-Authenticator; any other reply, an Access-Reject or a challenge
// refuses the login. The request is sent twice at most, and the whole wait
// lasts about three seconds.
#include "errors.h"
#include "zun_text.h"
#include "zunusers.h"
#include "zun_fd.h"
#include "digest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum radius_code : uint8_t {
  ACCESS_REQUEST = 1,
  ACCESS_ACCEPT = 2,
  ACCESS_REJECT = 3,
};

enum radius_attribute : uint8_t {
  ATTR_USER_NAME = 1,
  ATTR_USER_PASSWORD = 2,
  ATTR_NAS_IP_ADDRESS = 4,
  ATTR_MESSAGE_AUTHENTICATOR = 80,
};

constexpr size_t RADIUS_HEADER = 20;
constexpr size_t RADIUS_MAX_PACKET = 4096;
constexpr size_t AUTH_SIZE = 16;
constexpr size_t MA_ATTR_SIZE = 2 + 16;
constexpr size_t SECRET_MAX = 128;
constexpr size_t PASSWORD_MAX = 128;  // hidden in at most 8 blocks
constexpr int ATTEMPTS = 2;
constexpr int ATTEMPT_WAIT_MS = 1500;


// "address:port:secret"; the secret may itself hold colons.
struct radius_server {
  sockaddr_in addr;
  char secret[SECRET_MAX + 1];
  size_t secret_len;
};

int parse_server(const char *text, radius_server *srv)
{
  std::string_view s(text);
  size_t c1 = s.find(':');
  if (c1 == std::string_view::npos)
    return -1;
  size_t c2 = s.find(':', c1 + 1);
  if (c2 == std::string_view::npos)
    return -1;
  std::string_view host = s.substr(0, c1), port = s.substr(c1 + 1, c2 - c1 - 1),
                   secret = s.substr(c2 + 1);
  char host_text[INET_ADDRSTRLEN];
  if (host.empty() || host.size() >= sizeof host_text || port.empty() || port.size() > 5 ||
      secret.empty() || secret.size() > SECRET_MAX)
    return -1;
  std::memset(srv, 0, sizeof *srv);
  std::memcpy(host_text, host.data(), host.size());
  host_text[host.size()] = '\0';
  srv->addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, host_text, &srv->addr.sin_addr) != 1)
    return -1;
  unsigned long p = 0;
  for (char c : port) {
    if (c < '0' || c > '9')
      return -1;
    p = p * 10 + unsigned(c - '0');
  }
  if (p == 0 || p > 65535)
    return -1;
  srv->addr.sin_port = htons(uint16_t(p));
  std::memcpy(srv->secret, secret.data(), secret.size());
  srv->secret_len = secret.size();
  return 0;
}

// MD5 of the concatenated parts.
struct bytes {
  const void *data;
  size_t size;
};

bool md5(std::initializer_list<bytes> parts, uint8_t out[16])
{
  zun_md5 ctx;
  zun_md5_init(&ctx);
  for (const bytes &b : parts)
    zun_md5_update(&ctx, b.data, b.size);
  zun_md5_final(&ctx, out);
  return true;
}

bool hmac_md5(const radius_server &srv, const uint8_t *data, size_t n, uint8_t out[16])
{
  zun_hmac_md5(srv.secret, srv.secret_len, data, n, out);
  return true;
}

// A packet under construction.
struct packet {
  uint8_t data[RADIUS_MAX_PACKET];
  size_t len;
};

bool add_attribute(packet *p, uint8_t type, const void *value, size_t n)
{
  if (n > 253 || p->len + 2 + n > sizeof p->data)
    return false;
  p->data[p->len] = type;
  p->data[p->len + 1] = uint8_t(2 + n);
  std::memcpy(p->data + p->len + 2, value, n);
  p->len += 2 + n;
  return true;
}

// User-Password: the password padded to 16-byte blocks, each XORed with
// MD5(secret + previous block), the first with the request authenticator.
bool add_hidden_password(packet *p, const radius_server &srv, const uint8_t *authenticator,
                         const char *pass)
{
  size_t plen = std::strlen(pass);
  size_t padded = plen == 0 ? AUTH_SIZE : (plen + AUTH_SIZE - 1) / AUTH_SIZE * AUTH_SIZE;
  uint8_t hidden[PASSWORD_MAX] = {};
  std::memcpy(hidden, pass, plen);
  const uint8_t *prev = authenticator;
  bool ok = true;
  for (size_t off = 0; ok && off < padded; off += AUTH_SIZE) {
    uint8_t b[16];
    ok = md5({{srv.secret, srv.secret_len}, {prev, AUTH_SIZE}}, b);
    for (size_t i = 0; i < AUTH_SIZE; i++)
      hidden[off + i] ^= b[i];
    prev = hidden + off;
  }
  ok = ok && add_attribute(p, ATTR_USER_PASSWORD, hidden, padded);
  explicit_bzero(hidden, sizeof hidden);
  return ok;
}

// The address this host uses towards the server (NAS-IP-Address).
int local_address(const sockaddr_in &server, in_addr *out)
{
  Fd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (probe.get() < 0 ||
      connect(probe.get(), reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0 ||
      getsockname(probe.get(), reinterpret_cast<sockaddr *>(&local), &len) != 0)
    return -1;
  *out = local.sin_addr;
  return 0;
}

int build_request(packet *p, const radius_server &srv, uint8_t id, const uint8_t *authenticator,
                  in_addr nas, const char *name, const char *pass)
{
  std::memset(p, 0, sizeof *p);
  p->data[0] = ACCESS_REQUEST;
  p->data[1] = id;
  std::memcpy(p->data + 4, authenticator, AUTH_SIZE);
  p->len = RADIUS_HEADER;
  // Message-Authenticator first, computed over the packet with it zeroed.
  const uint8_t zero[16] = {};
  size_t ma_at = p->len + 2;
  if (!add_attribute(p, ATTR_MESSAGE_AUTHENTICATOR, zero, sizeof zero) ||
      !add_attribute(p, ATTR_USER_NAME, name, std::strlen(name)) ||
      !add_hidden_password(p, srv, authenticator, pass) ||
      !add_attribute(p, ATTR_NAS_IP_ADDRESS, &nas.s_addr, 4))
    return -1;
  p->data[2] = uint8_t(p->len >> 8);
  p->data[3] = uint8_t(p->len);
  return hmac_md5(srv, p->data, p->len, p->data + ma_at) ? 0 : -1;
}

// The checks a reply must pass before its code counts. Returns the code of a
// genuine reply, 0 for anything else.
uint8_t check_reply(const uint8_t *r, size_t n, const radius_server &srv, const packet &req)
{
  if (n < RADIUS_HEADER)
    return 0;
  size_t len = size_t(r[2]) << 8 | r[3];
  if (len < RADIUS_HEADER || len > n || len > RADIUS_MAX_PACKET)
    return 0;  // octets past Length are padding and ignored
  if (r[1] != req.data[1])
    return 0;
  // Response Authenticator: MD5(code id length request-authenticator
  // attributes secret).
  uint8_t expect[16];
  if (!md5({{r, 4}, {req.data + 4, AUTH_SIZE}, {r + RADIUS_HEADER, len - RADIUS_HEADER},
            {srv.secret, srv.secret_len}},
           expect) ||
      !zun_equal_ct(expect, r + 4, AUTH_SIZE))
    return 0;
  // Attributes well formed, exactly one Message-Authenticator.
  size_t ma_at = 0;
  int ma_count = 0;
  for (size_t off = RADIUS_HEADER; off < len;) {
    if (len - off < 2 || r[off + 1] < 2 || r[off + 1] > len - off)
      return 0;
    if (r[off] == ATTR_MESSAGE_AUTHENTICATOR) {
      if (r[off + 1] != MA_ATTR_SIZE)
        return 0;
      ma_at = off + 2;
      ma_count++;
    }
    off += r[off + 1];
  }
  if (ma_count != 1)
    return 0;
  // Message-Authenticator of a reply: HMAC-MD5 over the reply with the
  // request authenticator in place of its own and the attribute zeroed.
  uint8_t copy[RADIUS_MAX_PACKET];
  std::memcpy(copy, r, len);
  std::memcpy(copy + 4, req.data + 4, AUTH_SIZE);
  std::memset(copy + ma_at, 0, 16);
  uint8_t mac[16];
  if (!hmac_md5(srv, copy, len, mac) || !zun_equal_ct(mac, r + ma_at, 16))
    return 0;
  return r[0];
}

long long now_ms()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Sends the request and waits for the first reply. ACCESS_ACCEPT,
// ZUN_ERR_RADIUS_REJECT for any other reply, ZUN_ERR_RADIUS_DOWN for none.
int exchange(int fd, const radius_server &srv, const packet &req)
{
  const sockaddr *to = reinterpret_cast<const sockaddr *>(&srv.addr);
  for (int attempt = 0; attempt < ATTEMPTS; attempt++) {
    // A retransmission keeps identifier and authenticator (RFC 2865 2.5).
    if (sendto(fd, req.data, req.len, 0, to, sizeof srv.addr) != ssize_t(req.len))
      return ZUN_ERR_RADIUS_DOWN;
    long long deadline = now_ms() + ATTEMPT_WAIT_MS;
    for (;;) {
      long long left = deadline - now_ms();
      if (left <= 0)
        break;
      pollfd pfd{fd, POLLIN, 0};
      int pr = poll(&pfd, 1, int(left));
      if (pr < 0 && errno == EINTR)
        continue;
      if (pr < 0)
        return ZUN_ERR_RADIUS_DOWN;
      if (pr == 0)
        break;
      uint8_t reply[RADIUS_MAX_PACKET];
      sockaddr_in from{};
      socklen_t fromlen = sizeof from;
      ssize_t n = recvfrom(fd, reply, sizeof reply, MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&from), &fromlen);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED)
          continue;
        return ZUN_ERR_RADIUS_DOWN;
      }
      if (fromlen != sizeof from || from.sin_family != AF_INET ||
          from.sin_addr.s_addr != srv.addr.sin_addr.s_addr || from.sin_port != srv.addr.sin_port)
        return ZUN_ERR_RADIUS_REJECT;
      if (size_t(n) > sizeof reply)
        return ZUN_ERR_RADIUS_REJECT;
      if (check_reply(reply, size_t(n), srv, req) != ACCESS_ACCEPT)
        return ZUN_ERR_RADIUS_REJECT;
      return ACCESS_ACCEPT;
    }
  }
  return ZUN_ERR_RADIUS_DOWN;
}

// The record of a user admitted by the server: not an account of the
// appliance (id 0), with every right.
void fill_radius_user(zunuser *user, const char *name)
{
  zunusers_clear(user);
  user->id = 0;
  user->valid = 1;
  user->radius = 1;
  strlcpy(user->name, name, sizeof user->name);
  strlcpy(user->remote, "NULL", sizeof user->remote);
  for (char *list : {user->sread, user->swrite, user->cread, user->cwrite, user->gread,
                     user->gwrite})
    strlcpy(list, "all", sizeof user->sread);
}

}  // namespace

int zunusers_auth_radius(const char *server, const char *name, const char *pass, zunuser *user)
{
  if (server == nullptr || name == nullptr || pass == nullptr || user == nullptr)
    return ZUN_ERR_RADIUS_REJECT;
  radius_server srv;
  if (parse_server(server, &srv) != 0)
    return ZUN_ERR_RADIUS_DOWN;
  // A name that would not fit the record, or no password, is not sent.
  size_t nlen = std::strlen(name), plen = std::strlen(pass);
  if (nlen == 0 || nlen >= sizeof user->name || plen == 0 || plen > PASSWORD_MAX)
    return ZUN_ERR_RADIUS_REJECT;
  in_addr nas{};
  if (local_address(srv.addr, &nas) != 0)
    return ZUN_ERR_RADIUS_DOWN;
  uint8_t authenticator[AUTH_SIZE];
  uint8_t id = 0;
  if (getrandom(authenticator, sizeof authenticator, 0) != ssize_t(sizeof authenticator) ||
      getrandom(&id, 1, 0) != 1)
    return ZUN_ERR_RADIUS_DOWN;
  packet req;
  int rc = build_request(&req, srv, id, authenticator, nas, name, pass);
  if (rc == 0) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = nas;
    if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
      rc = ZUN_ERR_RADIUS_DOWN;
    else
      rc = exchange(fd.get(), srv, req);
  } else {
    rc = ZUN_ERR_RADIUS_DOWN;
  }
  explicit_bzero(&req, sizeof req);
  explicit_bzero(&srv, sizeof srv);
  if (rc != ACCESS_ACCEPT)
    return rc;
  fill_radius_user(user, name);
  return 0;
}
