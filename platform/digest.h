// SHA-256 (FIPS 180-4), MD5 (RFC 1321) and their HMAC (RFC 2104), from
// nettle. engine checks a session's seal on every request and starts once per
// request: nettle costs nothing at start-up (libcrypto's provider start-up
// costs many times the rest of such a request), links statically, and uses
// the processor's hash instructions where it has them. The RADIUS client
// needs only MD5.
#pragma once
#include <nettle/md5.h>
#include <nettle/sha2.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA256_SIZE = SHA256_DIGEST_SIZE;

struct zun_sha256 {
  sha256_ctx state;
};

void zun_sha256_init(zun_sha256 *ctx);
void zun_sha256_update(zun_sha256 *ctx, const void *data, size_t n);
// Writes the digest; ctx must be initialised again before further use.
void zun_sha256_final(zun_sha256 *ctx, uint8_t out[SHA256_SIZE]);

void zun_hmac_sha256(const void *key, size_t key_len, const void *data, size_t n,
                     uint8_t out[SHA256_SIZE]);

inline constexpr size_t MD5_SIZE = MD5_DIGEST_SIZE;

struct zun_md5 {
  md5_ctx state;
};

void zun_md5_init(zun_md5 *ctx);
void zun_md5_update(zun_md5 *ctx, const void *data, size_t n);
// Writes the digest; ctx must be initialised again before further use.
void zun_md5_final(zun_md5 *ctx, uint8_t out[MD5_SIZE]);

void zun_hmac_md5(const void *key, size_t key_len, const void *data, size_t n,
                  uint8_t out[MD5_SIZE]);

// Compares two byte strings in time independent of where they differ.
bool zun_equal_ct(const uint8_t *a, const uint8_t *b, size_t n);
