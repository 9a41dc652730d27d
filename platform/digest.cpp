#include "digest.h"

#include <cstring>

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t h[8], const uint8_t block[64])
{
  uint32_t w[64];
  for (int i = 0; i < 16; i++)
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
           uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += k;
}


// Both hashes take 64-byte blocks: buffer the input and compress each full
// block.
template <class Ctx, void (*Compress)(uint32_t *, const uint8_t *)>
void block_update(Ctx *ctx, const void *data, size_t n)
{
  const uint8_t *p = static_cast<const uint8_t *>(data);
  ctx->length += n;
  while (n > 0) {
    size_t take = sizeof ctx->block - ctx->used;
    if (take > n)
      take = n;
    std::memcpy(ctx->block + ctx->used, p, take);
    ctx->used += take;
    p += take;
    n -= take;
    if (ctx->used == sizeof ctx->block) {
      Compress(ctx->h, ctx->block);
      ctx->used = 0;
    }
  }
}

// The final padding: 0x80, zeros, and the length in bits in the last eight
// bytes of a block (big-endian for SHA-256, little-endian for MD5).
template <class Ctx, void (*Compress)(uint32_t *, const uint8_t *)>
void block_pad(Ctx *ctx, bool big_endian)
{
  uint64_t bits = ctx->length * 8;
  static constexpr uint8_t pad[64] = {0x80};
  size_t padlen = ctx->used < 56 ? 56 - ctx->used : 120 - ctx->used;
  block_update<Ctx, Compress>(ctx, pad, padlen);
  uint8_t len[8];
  for (int i = 0; i < 8; i++)
    len[i] = uint8_t(bits >> (big_endian ? 56 - 8 * i : 8 * i));
  block_update<Ctx, Compress>(ctx, len, sizeof len);
}

}  // namespace

void zun_sha256_init(zun_sha256 *ctx)
{
  static constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(ctx->h, H0, sizeof H0);
  ctx->length = 0;
  ctx->used = 0;
}

void zun_sha256_update(zun_sha256 *ctx, const void *data, size_t n)
{
  block_update<zun_sha256, compress>(ctx, data, n);
}

void zun_sha256_final(zun_sha256 *ctx, uint8_t out[SHA256_SIZE])
{
  block_pad<zun_sha256, compress>(ctx, true);
  for (int i = 0; i < 8; i++) {
    out[4 * i] = uint8_t(ctx->h[i] >> 24);
    out[4 * i + 1] = uint8_t(ctx->h[i] >> 16);
    out[4 * i + 2] = uint8_t(ctx->h[i] >> 8);
    out[4 * i + 3] = uint8_t(ctx->h[i]);
  }
}

namespace {

// The hash functions behind one shape, for the HMAC construction.
struct sha256_fns {
  using ctx = zun_sha256;
  static constexpr size_t size = SHA256_SIZE;
  static void init(ctx *c) { zun_sha256_init(c); }
  static void update(ctx *c, const void *d, size_t n) { zun_sha256_update(c, d, n); }
  static void final(ctx *c, uint8_t *out) { zun_sha256_final(c, out); }
};

struct md5_fns {
  using ctx = zun_md5;
  static constexpr size_t size = MD5_SIZE;
  static void init(ctx *c) { zun_md5_init(c); }
  static void update(ctx *c, const void *d, size_t n) { zun_md5_update(c, d, n); }
  static void final(ctx *c, uint8_t *out) { zun_md5_final(c, out); }
};

void wipe(void *p, size_t n)
{
  volatile uint8_t *v = static_cast<uint8_t *>(p);
  for (size_t i = 0; i < n; i++)
    v[i] = 0;
}

// HMAC over a hash with a 64-byte block.
template <class H>
void hmac(const void *key, size_t key_len, const void *data, size_t n, uint8_t *out)
{
  uint8_t k[64] = {};
  typename H::ctx ctx;
  if (key_len > sizeof k) {
    H::init(&ctx);
    H::update(&ctx, key, key_len);
    H::final(&ctx, k);
  } else {
    std::memcpy(k, key, key_len);
  }
  uint8_t pad[64];
  for (size_t i = 0; i < sizeof pad; i++)
    pad[i] = k[i] ^ 0x36;
  uint8_t inner[H::size];
  H::init(&ctx);
  H::update(&ctx, pad, sizeof pad);
  H::update(&ctx, data, n);
  H::final(&ctx, inner);
  for (size_t i = 0; i < sizeof pad; i++)
    pad[i] = k[i] ^ 0x5c;
  H::init(&ctx);
  H::update(&ctx, pad, sizeof pad);
  H::update(&ctx, inner, sizeof inner);
  H::final(&ctx, out);
  // The key material must not stay on the stack.
  wipe(k, sizeof k);
  wipe(pad, sizeof pad);
  wipe(&ctx, sizeof ctx);
}

// ---- MD5 ----

constexpr uint32_t MD5_K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int MD5_R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void md5_compress(uint32_t h[4], const uint8_t block[64])
{
  uint32_t m[16];
  for (int i = 0; i < 16; i++)
    m[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
           uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + MD5_K[i] + m[g], MD5_R[i]);
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
}

}  // namespace

void zun_md5_init(zun_md5 *ctx)
{
  ctx->h[0] = 0x67452301;
  ctx->h[1] = 0xefcdab89;
  ctx->h[2] = 0x98badcfe;
  ctx->h[3] = 0x10325476;
  ctx->length = 0;
  ctx->used = 0;
}

void zun_md5_update(zun_md5 *ctx, const void *data, size_t n)
{
  block_update<zun_md5, md5_compress>(ctx, data, n);
}

void zun_md5_final(zun_md5 *ctx, uint8_t out[MD5_SIZE])
{
  block_pad<zun_md5, md5_compress>(ctx, false);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      out[4 * i + j] = uint8_t(ctx->h[i] >> (8 * j));
}

void zun_hmac_sha256(const void *key, size_t key_len, const void *data, size_t n,
                     uint8_t out[SHA256_SIZE])
{
  hmac<sha256_fns>(key, key_len, data, n, out);
}

void zun_hmac_md5(const void *key, size_t key_len, const void *data, size_t n,
                  uint8_t out[MD5_SIZE])
{
  hmac<md5_fns>(key, key_len, data, n, out);
}

bool zun_equal_ct(const uint8_t *a, const uint8_t *b, size_t n)
{
  uint8_t diff = 0;
  for (size_t i = 0; i < n; i++)
    diff |= uint8_t(a[i] ^ b[i]);
  return diff == 0;
}
