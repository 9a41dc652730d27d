// RADIUS login: a small PAP client (Access-Request / Access-Accept) over UDP.
//
// The request carries User-Name, the hidden User-Password, NAS-IP-Address
// and a Message-Authenticator (HMAC-MD5 over the packet). A reply counts only
// when it is a genuine answer to that request: from the server's own address
// and port, an Access-Accept, -Reject or -Challenge with the request's
// identifier and a consistent length, a correct Response Authenticator, a
// correct Message-Authenticator when it carries one (servers commonly send
// none in a PAP reply), and no Proxy-State. Anything else that arrives is
// ignored and the wait goes on: a stray or forged datagram must neither end
// nor lengthen a login. Only a genuine Access-Accept admits the user; a
// genuine Reject or Challenge refuses. The request is sent twice at most
// within one overall wait of three seconds.
#include "errors.h"
#include "zun_text.h"
#include "zunusers.h"
#include "zun_fd.h"
#include "digest.h"
#include "radius_internal.h"

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

using namespace zun_radius;

namespace {

enum radius_code : uint8_t {
  ACCESS_REQUEST = 1,
  ACCESS_ACCEPT = 2,
  ACCESS_REJECT = 3,
  ACCESS_CHALLENGE = 11,
};

enum radius_attribute : uint8_t {
  ATTR_USER_NAME = 1,
  ATTR_USER_PASSWORD = 2,
  ATTR_NAS_IP_ADDRESS = 4,
  ATTR_SERVICE_TYPE = 6,
  ATTR_PROXY_STATE = 33,
  ATTR_MESSAGE_AUTHENTICATOR = 80,
};

// Service-Type value that makes an accepted user an administrator.
constexpr uint8_t SERVICE_ADMINISTRATIVE_USER[4] = {0, 0, 0, 6};

constexpr size_t RADIUS_HEADER = 20;
constexpr size_t AUTH_SIZE = 16;
constexpr size_t MA_ATTR_SIZE = 2 + 16;
constexpr size_t PASSWORD_MAX = 128;  // hidden in at most 8 blocks
constexpr int ATTEMPTS = 2;
constexpr unsigned long WAIT_MS = 3000;  // the whole wait, every attempt included

// Decimal digits only, 1..max; false otherwise.
bool parse_decimal(std::string_view text, unsigned long max, unsigned long *out)
{
  if (text.empty() || text.size() > 9)
    return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v == 0 || v > max)
    return false;
  *out = v;
  return true;
}

// The whole wait for a reply. Tests shorten it with APPLIANCE_RADIUS_WAIT_MS
// (like APPLIANCE_ROOT, unset on the board); it can never be made longer.
long long wait_ms()
{
  const char *text = std::getenv("APPLIANCE_RADIUS_WAIT_MS");
  unsigned long ms = 0;
  if (text == nullptr || !parse_decimal(text, WAIT_MS, &ms))
    ms = WAIT_MS;
  return (long long)ms;
}

}  // namespace

int zun_radius::parse_server(const char *text, radius_server *srv)
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
  unsigned long p = 0;
  if (host.empty() || host.size() >= sizeof host_text || !parse_decimal(port, 65535, &p) ||
      secret.empty() || secret.size() > SECRET_MAX)
    return -1;
  std::memset(srv, 0, sizeof *srv);
  std::memcpy(host_text, host.data(), host.size());
  host_text[host.size()] = '\0';
  srv->addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, host_text, &srv->addr.sin_addr) != 1)
    return -1;
  srv->addr.sin_port = htons(uint16_t(p));
  std::memcpy(srv->secret, secret.data(), secret.size());
  srv->secret_len = secret.size();
  return 0;
}

namespace {

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

}  // namespace

int zun_radius::build_request(packet *p, const radius_server &srv, uint8_t id,
                              const uint8_t *authenticator, in_addr nas, const char *name,
                              const char *pass)
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

// The checks of the comment at the top.
bool zun_radius::check_reply(const uint8_t *r, size_t n, const radius_server &srv,
                             const packet &req, reply_info *out)
{
  if (n < RADIUS_HEADER)
    return false;
  size_t len = size_t(r[2]) << 8 | r[3];
  if (len < RADIUS_HEADER || len > n || len > RADIUS_MAX_PACKET)
    return false;  // octets past Length are padding and ignored
  if ((r[0] != ACCESS_ACCEPT && r[0] != ACCESS_REJECT && r[0] != ACCESS_CHALLENGE) ||
      r[1] != req.data[1])
    return false;
  // Attributes well formed; at most one Message-Authenticator; no
  // Proxy-State: we never send one, so a reply echoing it was not made for
  // our request, and chosen-prefix MD5 collisions against the Response
  // Authenticator hide their blocks in it.
  size_t ma_at = 0;
  int ma_count = 0;
  bool admin = false, other_service = false;
  for (size_t off = RADIUS_HEADER; off < len;) {
    if (len - off < 2 || r[off + 1] < 2 || r[off + 1] > len - off)
      return false;
    const uint8_t type = r[off], size = r[off + 1];
    if (type == ATTR_PROXY_STATE)
      return false;
    if (type == ATTR_MESSAGE_AUTHENTICATOR) {
      if (size != MA_ATTR_SIZE)
        return false;
      ma_at = off + 2;
      ma_count++;
    }
    if (type == ATTR_SERVICE_TYPE) {
      bool is_admin = size == 2 + sizeof SERVICE_ADMINISTRATIVE_USER &&
                      std::memcmp(r + off + 2, SERVICE_ADMINISTRATIVE_USER, 4) == 0;
      admin = admin || is_admin;
      other_service = other_service || !is_admin;
    }
    off += size;
  }
  if (ma_count > 1)
    return false;
  // Response Authenticator: MD5(code id length request-authenticator
  // attributes secret).
  uint8_t expect[16];
  if (!md5({{r, 4}, {req.data + 4, AUTH_SIZE}, {r + RADIUS_HEADER, len - RADIUS_HEADER},
            {srv.secret, srv.secret_len}},
           expect) ||
      !zun_equal_ct(expect, r + 4, AUTH_SIZE))
    return false;
  // Message-Authenticator of a reply: HMAC-MD5 over the reply with the
  // request authenticator in place of its own and the attribute zeroed.
  if (ma_count == 1) {
    uint8_t copy[RADIUS_MAX_PACKET];
    std::memcpy(copy, r, len);
    std::memcpy(copy + 4, req.data + 4, AUTH_SIZE);
    std::memset(copy + ma_at, 0, 16);
    uint8_t mac[16];
    if (!hmac_md5(srv, copy, len, mac) || !zun_equal_ct(mac, r + ma_at, 16))
      return false;
  }
  out->code = r[0];
  out->administrator = admin && !other_service;
  return true;
}

namespace {

long long now_ms()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Sends the request (again halfway through the wait) and waits for the first
// genuine reply, ignoring everything else. The deadline is fixed at the
// start, so no amount of stray traffic lengthens the wait. ACCESS_ACCEPT
// (*out filled), ZUN_ERR_RADIUS_REJECT for a genuine refusal,
// ZUN_ERR_RADIUS_DOWN when none came in time.
int exchange(int fd, const radius_server &srv, const packet &req, reply_info *out)
{
  const long long start = now_ms(), total = wait_ms(), deadline = start + total;
  int sent = 0;
  for (;;) {
    const long long now = now_ms();
    if (now >= deadline)
      return ZUN_ERR_RADIUS_DOWN;
    const long long next_send = start + total * sent / ATTEMPTS;
    if (sent < ATTEMPTS && now >= next_send) {
      // A retransmission keeps identifier and authenticator (RFC 2865 2.5).
      if (send(fd, req.data, req.len, 0) != ssize_t(req.len))
        return ZUN_ERR_RADIUS_DOWN;
      sent++;
      continue;
    }
    const long long until = sent < ATTEMPTS ? next_send : deadline;
    pollfd pfd{fd, POLLIN, 0};
    int pr = poll(&pfd, 1, int(until - now));
    if (pr < 0 && errno != EINTR)
      return ZUN_ERR_RADIUS_DOWN;
    if (pr <= 0)
      continue;
    uint8_t reply[RADIUS_MAX_PACKET];
    ssize_t n = recv(fd, reply, sizeof reply, MSG_TRUNC | MSG_DONTWAIT);
    // An ICMP error (ECONNREFUSED) is as easy to forge as a datagram.
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != ECONNREFUSED)
      return ZUN_ERR_RADIUS_DOWN;
    if (n < 0 || size_t(n) > sizeof reply || !check_reply(reply, size_t(n), srv, req, out))
      continue;
    return out->code == ACCESS_ACCEPT ? int(ACCESS_ACCEPT) : int(ZUN_ERR_RADIUS_REJECT);
  }
}

// A UDP socket connected to the server: the kernel then delivers datagrams
// from the server's own address and port only. *nas: the address this host
// uses towards it (NAS-IP-Address).
int server_socket(const radius_server &srv, Fd *fd, in_addr *nas)
{
  fd->reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd->get() < 0 ||
      connect(fd->get(), reinterpret_cast<const sockaddr *>(&srv.addr), sizeof srv.addr) != 0 ||
      getsockname(fd->get(), reinterpret_cast<sockaddr *>(&local), &len) != 0)
    return -1;
  *nas = local.sin_addr;
  return 0;
}

// The record of a user admitted by the server: not an account of the
// appliance (id 0). Only the server's administrators get every right; a
// server that admits all staff must not make each of them an administrator
// of the appliance, so everyone else may read everything and change nothing.
void fill_radius_user(zunuser *user, const char *name, bool administrator)
{
  zunusers_clear(user);
  user->id = 0;
  user->valid = 1;
  user->radius = 1;
  strlcpy(user->name, name, sizeof user->name);
  strlcpy(user->remote, "NULL", sizeof user->remote);
  for (char *list : {user->sread, user->cread, user->gread})
    strlcpy(list, "all", sizeof user->sread);
  for (char *list : {user->swrite, user->cwrite, user->gwrite})
    strlcpy(list, administrator ? "all" : "", sizeof user->swrite);
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
  Fd fd;
  in_addr nas{};
  uint8_t authenticator[AUTH_SIZE];
  uint8_t id = 0;
  if (server_socket(srv, &fd, &nas) != 0 ||
      getrandom(authenticator, sizeof authenticator, 0) != ssize_t(sizeof authenticator) ||
      getrandom(&id, 1, 0) != 1)
    return ZUN_ERR_RADIUS_DOWN;
  packet req;
  reply_info reply{};
  int rc = build_request(&req, srv, id, authenticator, nas, name, pass) == 0
               ? exchange(fd.get(), srv, req, &reply)
               : ZUN_ERR_RADIUS_DOWN;
  explicit_bzero(&req, sizeof req);
  explicit_bzero(&srv, sizeof srv);
  if (rc != ACCESS_ACCEPT)
    return rc;
  fill_radius_user(user, name, reply.administrator);
  return 0;
}
