// SHA-256 and HMAC-SHA256 (FIPS 180-4, RFC 2104), self-contained. engine
// checks a session's seal on every request; libcrypto's provider start-up
// costs many times the rest of such a request, so the seal uses this.
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

// Compares two byte strings in time independent of where they differ.
bool zun_equal_ct(const uint8_t *a, const uint8_t *b, size_t n);
