// The RADIUS client's packets, for its fuzz target: the request it sends and
// the check of every datagram that comes back. Used by radius.cpp and fuzz/
// only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

namespace zun_radius {

constexpr size_t RADIUS_MAX_PACKET = 4096;
constexpr size_t SECRET_MAX = 128;

// "address:port:secret"; the secret may itself hold colons.
struct radius_server {
  sockaddr_in addr;
  char secret[SECRET_MAX + 1];
  size_t secret_len;
};

// A packet under construction.
struct packet {
  uint8_t data[RADIUS_MAX_PACKET];
  size_t len;
};

// What a genuine reply says.
struct reply_info {
  uint8_t code;        // ACCESS_ACCEPT, ACCESS_REJECT or ACCESS_CHALLENGE
  bool administrator;  // Service-Type Administrative-User, and no other
};

// 0, or -1 for a text that is not "address:port:secret".
int parse_server(const char *text, radius_server *srv);

// An Access-Request for name and pass with this identifier and request
// authenticator (16 bytes); nas is the NAS-IP-Address. 0 or -1.
int build_request(packet *p, const radius_server &srv, uint8_t id, const uint8_t *authenticator,
                  in_addr nas, const char *name, const char *pass);

// True when r (n bytes as received) is a genuine reply to req; *out then
// says what it means and is untouched otherwise.
bool check_reply(const uint8_t *r, size_t n, const radius_server &srv, const packet &req,
                 reply_info *out);

}  // namespace zun_radius
