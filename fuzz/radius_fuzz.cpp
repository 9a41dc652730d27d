// Fuzz target for the RADIUS client's reply check: any datagram that comes
// from the server's address and port while a login waits reaches it.
//
// Input: one mode byte, then the datagram. A fuzzer cannot guess an MD5, so
// mode bit 1 fills in a correct Message-Authenticator (in the first
// attribute of its type and size, when the length field fits the datagram)
// and bit 0 then a correct Response Authenticator, as the server with the
// shared secret would; the checks behind them are then reached. Checked:
// nothing crashes or reads past the datagram; a reply accepted is a Reply
// of the request's identifier, its attributes walk to its Length exactly
// with at most one Message-Authenticator and no Proxy-State, and both
// authenticators verify; a reply refused leaves the result alone.
#include "digest.h"
#include "radius_internal.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace zun_radius;

constexpr uint8_t ID = 0x2a;
constexpr const char *SECRET = "fuzz-secret";
constexpr size_t HEADER = 20;

struct request {
  radius_server srv;
  packet req;

  request()
  {
    uint8_t authenticator[16];
    for (int i = 0; i < 16; i++)
      authenticator[i] = uint8_t(0x10 + i);
    in_addr nas{htonl(INADDR_LOOPBACK)};
    if (parse_server("127.0.0.1:1812:fuzz-secret", &srv) != 0 ||
        build_request(&req, srv, ID, authenticator, nas, "anna", "anna-password") != 0)
      std::abort();
  }
};

size_t length_field(const std::vector<uint8_t> &r) { return size_t(r[2]) << 8 | r[3]; }

// Where the first Message-Authenticator's value is within the declared
// length, 0 when none is.
size_t find_ma(const std::vector<uint8_t> &r, size_t len)
{
  for (size_t off = HEADER; off + 2 <= len && r[off + 1] >= 2; off += r[off + 1])
    if (r[off] == 80 && r[off + 1] == 18 && off + 18 <= len)
      return off + 2;
  return 0;
}

void message_authenticator(const std::vector<uint8_t> &r, size_t len, const uint8_t *req_auth,
                           size_t at, uint8_t out[16])
{
  std::vector<uint8_t> copy(r.begin(), r.begin() + long(len));
  std::memcpy(copy.data() + 4, req_auth, 16);
  std::memset(copy.data() + at, 0, 16);
  zun_hmac_md5(SECRET, std::strlen(SECRET), copy.data(), len, out);
}

void response_authenticator(const std::vector<uint8_t> &r, size_t len, const uint8_t *req_auth,
                            uint8_t out[16])
{
  zun_md5 ctx;
  zun_md5_init(&ctx);
  zun_md5_update(&ctx, r.data(), 4);
  zun_md5_update(&ctx, req_auth, 16);
  zun_md5_update(&ctx, r.data() + HEADER, len - HEADER);
  zun_md5_update(&ctx, SECRET, std::strlen(SECRET));
  zun_md5_final(&ctx, out);
}

// What an accepted reply must be, walked again from scratch.
bool well_formed(const std::vector<uint8_t> &r, size_t len)
{
  if ((r[0] != 2 && r[0] != 3 && r[0] != 11) || r[1] != ID)
    return false;
  int ma = 0;
  size_t off = HEADER;
  while (off < len) {
    if (off + 2 > len || r[off + 1] < 2 || off + r[off + 1] > len || r[off] == 33)
      return false;
    if (r[off] == 80 && (r[off + 1] != 18 || ++ma > 1))
      return false;
    off += r[off + 1];
  }
  return off == len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static request rq;
  // The client reads at most one packet's bytes and drops a longer datagram.
  if (size == 0 || size - 1 > RADIUS_MAX_PACKET)
    return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> r(data + 1, data + size);
  const uint8_t *req_auth = rq.req.data + 4;
  const size_t len = r.size() >= HEADER ? length_field(r) : 0;
  const bool len_fits = len >= HEADER && len <= r.size();
  if (len_fits && (mode & 2) != 0)
    if (size_t at = find_ma(r, len); at != 0)
      message_authenticator(r, len, req_auth, at, r.data() + at);
  if (len_fits && (mode & 1) != 0)
    response_authenticator(r, len, req_auth, r.data() + 4);

  reply_info out{0xee, true};
  // An exact-size copy, so that a read past the datagram is caught.
  std::vector<uint8_t> datagram(r);
  if (!check_reply(datagram.data(), datagram.size(), rq.srv, rq.req, &out)) {
    if (out.code != 0xee || !out.administrator)
      std::abort();
    return 0;
  }
  if (!len_fits || !well_formed(r, len) || out.code != r[0])
    std::abort();
  uint8_t expect[16];
  response_authenticator(r, len, req_auth, expect);
  if (std::memcmp(expect, r.data() + 4, 16) != 0)
    std::abort();
  if (size_t at = find_ma(r, len); at != 0) {
    message_authenticator(r, len, req_auth, at, expect);
    if (std::memcmp(expect, r.data() + at, 16) != 0)
      std::abort();
  }
  return 0;
}
