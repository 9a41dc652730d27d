// SHA-256 (FIPS 180-4), MD5 (RFC 1321) and their HMAC (RFC 2104),
// self-contained. engine checks a session's seal on every request, and
// libcrypto's provider start-up costs many times the rest of such a request;
// the RADIUS client needs only MD5. So engine links no crypto library.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA256_SIZE = 32;

struct zun_sha256 {
  uint32_t h[8];
  uint64_t length;      // bytes hashed so far
  uint8_t block[64];
  size_t used;          // bytes waiting in block
};

void zun_sha256_init(zun_sha256 *ctx);
void zun_sha256_update(zun_sha256 *ctx, const void *data, size_t n);
void zun_sha256_final(zun_sha256 *ctx, uint8_t out[SHA256_SIZE]);

void zun_hmac_sha256(const void *key, size_t key_len, const void *data, size_t n,
                     uint8_t out[SHA256_SIZE]);

inline constexpr size_t MD5_SIZE = 16;

struct zun_md5 {
  uint32_t h[4];
  uint64_t length;
  uint8_t block[64];
  size_t used;
};

void zun_md5_init(zun_md5 *ctx);
void zun_md5_update(zun_md5 *ctx, const void *data, size_t n);
void zun_md5_final(zun_md5 *ctx, uint8_t out[MD5_SIZE]);

void zun_hmac_md5(const void *key, size_t key_len, const void *data, size_t n,
                  uint8_t out[MD5_SIZE]);

// Compares two byte strings in time independent of where they differ.
bool zun_equal_ct(const uint8_t *a, const uint8_t *b, size_t n);
