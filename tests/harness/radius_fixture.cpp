// RADIUS test servers (see radius_fixture.h).
#include "radius_fixture.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zt::radius {

namespace {

struct attribute {
  uint8_t type;
  bytes value;
};

// Attributes of a packet whose length field is right; empty on damage.
std::vector<attribute> attributes_of(const bytes &p)
{
  std::vector<attribute> out;
  size_t len = size_t(p[2]) << 8 | p[3];
  for (size_t off = 20; off < len;) {
    if (off + 2 > len || p[off + 1] < 2 || off + p[off + 1] > len)
      return {};
    out.push_back({p[off], bytes(p.begin() + off + 2, p.begin() + off + p[off + 1])});
    off += p[off + 1];
  }
  return out;
}

const attribute *find_attr(const std::vector<attribute> &attrs, uint8_t type)
{
  for (const attribute &a : attrs)
    if (a.type == type)
      return &a;
  return nullptr;
}

std::string freeradius_conf(const std::string &dir, uint16_t port)
{
  return "prefix = /usr\nexec_prefix = /usr\nsysconfdir = /etc\nlocalstatedir = /var\n"
         "sbindir = /usr/sbin\nconfdir = " + dir + "\nraddbdir = ${confdir}\n"
         "modconfdir = ${confdir}\nlogdir = ${confdir}\nrun_dir = ${confdir}\n"
         "db_dir = ${confdir}\nlibdir = /usr/lib/freeradius\npidfile = ${run_dir}/radiusd.pid\n"
         "name = freeradius\nmax_request_time = 5\ncleanup_delay = 1\nmax_requests = 64\n"
         "hostname_lookups = no\n"
         "log {\n destination = stdout\n auth = no\n}\n"
         "security {\n allow_core_dumps = no\n max_attributes = 200\n reject_delay = 0\n"
         " status_server = no\n}\n"
         "$INCLUDE clients.conf\n"
         "modules {\n pap {\n }\n files {\n  filename = ${confdir}/users\n }\n}\n"
         "server default {\n"
         " listen {\n  type = auth\n  ipaddr = 127.0.0.1\n  port = " + std::to_string(port) + "\n }\n"
         " authorize {\n  files\n  pap\n }\n"
         " authenticate {\n  Auth-Type PAP {\n   pap\n  }\n }\n"
         "}\n";
}

std::string clients_conf(const std::string &secret)
{
  return "client loopback {\n ipaddr = 127.0.0.1\n secret = \"" + secret + "\"\n"
         " require_message_authenticator = yes\n}\n";
}

}  // namespace

std::string server_text(uint16_t port, const std::string &secret)
{
  return "127.0.0.1:" + std::to_string(port) + ":" + secret;
}

bytes md5(const bytes &in)
{
  uint8_t out[16];
  unsigned len = 0;
  EVP_Digest(in.data(), in.size(), out, &len, EVP_md5(), nullptr);
  return bytes(out, out + 16);
}

bytes hmac_md5(const std::string &key, const bytes &in)
{
  uint8_t out[16];
  unsigned len = 0;
  HMAC(EVP_md5(), key.data(), int(key.size()), in.data(), in.size(), out, &len);
  return bytes(out, out + 16);
}

int udp_socket(uint16_t *port)
{
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

request_view read_request(const bytes &p, const std::string &secret)
{
  request_view v;
  if (p.size() < 20 || p[0] != 1 || (size_t(p[2]) << 8 | p[3]) != p.size())
    return v;
  v.id = p[1];
  v.authenticator.assign(p.begin() + 4, p.begin() + 20);
  std::vector<attribute> attrs = attributes_of(p);
  const attribute *name = find_attr(attrs, 1), *pw = find_attr(attrs, 2),
                  *nas = find_attr(attrs, 4), *ma = find_attr(attrs, 80);
  if (name == nullptr || pw == nullptr || nas == nullptr || ma == nullptr ||
      pw->value.size() % 16 != 0 || nas->value.size() != 4 || ma->value.size() != 16)
    return v;
  v.name.assign(name->value.begin(), name->value.end());
  bytes prev = v.authenticator;
  for (size_t off = 0; off < pw->value.size(); off += 16) {
    bytes in(secret.begin(), secret.end());
    in.insert(in.end(), prev.begin(), prev.end());
    bytes b = md5(in);
    for (size_t i = 0; i < 16; i++)
      v.pass.push_back(char(pw->value[off + i] ^ b[i]));
    prev.assign(pw->value.begin() + off, pw->value.begin() + off + 16);
  }
  v.pass.erase(v.pass.find_last_not_of('\0') + 1);
  std::memcpy(&v.nas, nas->value.data(), 4);
  // The Message-Authenticator over the request with its own value zeroed.
  bytes zeroed = p;
  size_t at = 0;
  for (size_t off = 20; off < p.size(); off += p[off + 1])
    if (p[off] == 80)
      at = off + 2;
  std::fill(zeroed.begin() + at, zeroed.begin() + at + 16, 0);
  v.ma_valid = hmac_md5(secret, zeroed) == ma->value;
  v.well_formed = true;
  return v;
}

bytes build_reply(const reply_shape &s, const request_view &req, const std::string &shared)
{
  const std::string &secret = s.reply_secret.empty() ? shared : s.reply_secret;
  bytes p(20, 0);
  p[0] = s.code;
  p[1] = uint8_t(req.id + s.id_delta);
  size_t ma_at = 0;
  if (s.with_ma) {
    p.push_back(80);
    p.push_back(18);
    ma_at = p.size();
    p.insert(p.end(), 16, 0);
  }
  const char msg[] = "welcome";
  p.push_back(18);  // Reply-Message
  p.push_back(uint8_t(2 + sizeof msg - 1));
  p.insert(p.end(), msg, msg + sizeof msg - 1);
  for (uint32_t t : s.service_types)
    p.insert(p.end(), {6, 6, uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)});
  if (s.proxy_state) {
    p.insert(p.end(), {33, 6, 'p', 'r', 'o', 'x'});
  }
  if (s.broken_attribute) {
    p.push_back(18);
    p.push_back(40);  // runs past the end
    p.push_back('x');
  }
  p[2] = uint8_t(p.size() >> 8);
  p[3] = uint8_t(p.size());
  std::copy(req.authenticator.begin(), req.authenticator.end(), p.begin() + 4);
  if (s.with_ma) {
    bytes mac = hmac_md5(secret, p);
    if (s.spoil_ma)
      mac[3] ^= 0x40;
    std::copy(mac.begin(), mac.end(), p.begin() + ma_at);
  }
  bytes in = p;
  in.insert(in.end(), secret.begin(), secret.end());
  bytes auth = md5(in);
  if (s.spoil_authenticator)
    auth[0] ^= 0x01;
  std::copy(auth.begin(), auth.end(), p.begin() + 4);
  if (s.long_length_field) {
    p[2] = uint8_t((p.size() + 10) >> 8);
    p[3] = uint8_t(p.size() + 10);
  }
  if (s.cut_to != 0 && s.cut_to < p.size())
    p.resize(s.cut_to);
  return p;
}

std::vector<reply_shape> stray_shapes()
{
  std::vector<reply_shape> out;
  for (const stray_reply &r : STRAY_REPLIES) {
    out.emplace_back();
    r.spoil(out.back());
  }
  return out;
}

FakeServer::FakeServer(const std::string &secret, mode m, reply_shape shape,
                       std::vector<reply_shape> strays)
    : secret_(secret), mode_(m), shape_(std::move(shape)), strays_(std::move(strays))
{
  fd_ = udp_socket(&port_);
  other_fd_ = udp_socket(&other_port_);
  thread_ = std::thread([this] { serve(); });
}

FakeServer::~FakeServer()
{
  stop_.store(true);
  thread_.join();
  if (fd_ >= 0)
    close(fd_);
  if (other_fd_ >= 0)
    close(other_fd_);
}

std::vector<bytes> FakeServer::requests()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeServer::send_reply(const reply_shape &shape, const bytes &req, const sockaddr_in &to)
{
  bytes reply = build_reply(shape, read_request(req, secret_), secret_);
  sendto(shape.from_other_port ? other_fd_ : fd_, reply.data(), reply.size(), 0,
         reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void FakeServer::serve()
{
  if (!ok())
    return;
  sockaddr_in client{};
  bool flooding = false;
  while (!stop_.load()) {
    if (flooding) {
      const uint8_t junk[] = {2, 0, 0, 20, 'j', 'u', 'n', 'k'};
      for (int i = 0; i < 64; i++)
        sendto(fd_, junk, sizeof junk, 0, reinterpret_cast<sockaddr *>(&client), sizeof client);
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, flooding ? 1 : 20) <= 0)
      continue;
    uint8_t buf[4096];
    socklen_t fl = sizeof client;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&client), &fl);
    if (n <= 0)
      continue;
    bytes req(buf, buf + n);
    size_t count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(req);
      count = requests_.size();
    }
    flooding = mode_ == mode::flood;
    for (const reply_shape &stray : strays_)
      send_reply(stray, req, client);
    if (mode_ == mode::answer || (mode_ == mode::answer_second && count >= 2))
      send_reply(shape_, req, client);
  }
}

bool FreeRadius::installed() { return access(kProgram, X_OK) == 0; }

FreeRadius::FreeRadius(const Root &root, const std::string &secret, const std::string &users)
{
  // A port that was free a moment ago.
  int probe = udp_socket(&port_);
  if (probe < 0)
    return;
  close(probe);
  std::string dir = root.file("/etc/raddb");
  root.write("/etc/raddb/radiusd.conf", freeradius_conf(dir, port_));
  root.write("/etc/raddb/clients.conf", clients_conf(secret));
  root.write("/etc/raddb/users", users);
  proc_ = std::make_unique<Process>(
      kProgram, std::vector<std::string>{"-f", "-l", "stdout", "-d", dir},
      std::map<std::string, std::string>{{"PATH", "/usr/sbin:/usr/bin:/bin"}});
  wait_for([&] { return proc_->out().find("Ready to process requests") != std::string::npos ||
                        !proc_->running(); },
           std::chrono::seconds(20));
  ready_ = proc_->running() && proc_->out().find("Ready to process requests") != std::string::npos;
}

std::string FreeRadius::log() const
{
  return proc_ ? proc_->out() + proc_->err() : std::string("freeradius was not started");
}

}  // namespace zt::radius
