#include "digest.h"

#include <nettle/hmac.h>
#include <nettle/memops.h>

#include <cstring>

namespace {

const uint8_t *bytes(const void *p) { return static_cast<const uint8_t *>(p); }

// One HMAC over nettle's keyed context; the context holds the key's pads, so
// it is wiped before it leaves the stack.
template <class Ctx, void (*SetKey)(Ctx *, size_t, const uint8_t *),
          void (*Update)(Ctx *, size_t, const uint8_t *),
          void (*Digest)(Ctx *, size_t, uint8_t *), size_t Size>
void hmac(const void *key, size_t key_len, const void *data, size_t n, uint8_t *out)
{
  Ctx ctx;
  SetKey(&ctx, key_len, bytes(key));
  Update(&ctx, n, bytes(data));
  Digest(&ctx, Size, out);
  explicit_bzero(&ctx, sizeof ctx);
}

}  // namespace

void zun_sha256_init(zun_sha256 *ctx) { sha256_init(&ctx->state); }

void zun_sha256_update(zun_sha256 *ctx, const void *data, size_t n)
{
  sha256_update(&ctx->state, n, bytes(data));
}

void zun_sha256_final(zun_sha256 *ctx, uint8_t out[SHA256_SIZE])
{
  sha256_digest(&ctx->state, SHA256_SIZE, out);
}

void zun_hmac_sha256(const void *key, size_t key_len, const void *data, size_t n,
                     uint8_t out[SHA256_SIZE])
{
  hmac<hmac_sha256_ctx, hmac_sha256_set_key, hmac_sha256_update, hmac_sha256_digest,
       SHA256_SIZE>(key, key_len, data, n, out);
}

void zun_md5_init(zun_md5 *ctx) { md5_init(&ctx->state); }

void zun_md5_update(zun_md5 *ctx, const void *data, size_t n)
{
  md5_update(&ctx->state, n, bytes(data));
}

void zun_md5_final(zun_md5 *ctx, uint8_t out[MD5_SIZE])
{
  md5_digest(&ctx->state, MD5_SIZE, out);
}

void zun_hmac_md5(const void *key, size_t key_len, const void *data, size_t n,
                  uint8_t out[MD5_SIZE])
{
  hmac<hmac_md5_ctx, hmac_md5_set_key, hmac_md5_update, hmac_md5_digest, MD5_SIZE>(
      key, key_len, data, n, out);
}

bool zun_equal_ct(const uint8_t *a, const uint8_t *b, size_t n)
{
  return memeql_sec(a, b, n) != 0;
}
