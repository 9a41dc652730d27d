// The digests against published vectors and against libcrypto over every
// length around the block boundaries, the plain hashes fed in pieces of
// varying size.
#include "digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

namespace {

std::string hex(const uint8_t *p, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// The plain hashes are fed in chunks of `chunk` bytes, so that a digest
// depending on how the input was split shows.
std::string sha(const std::string &text, size_t chunk = SIZE_MAX)
{
  zun_sha256 ctx;
  uint8_t out[SHA256_SIZE];
  zun_sha256_init(&ctx);
  for (size_t i = 0; i < text.size(); i += chunk)
    zun_sha256_update(&ctx, text.data() + i, std::min(chunk, text.size() - i));
  zun_sha256_final(&ctx, out);
  return hex(out, sizeof out);
}

std::string md5(const std::string &text, size_t chunk = SIZE_MAX)
{
  zun_md5 ctx;
  uint8_t out[MD5_SIZE];
  zun_md5_init(&ctx);
  for (size_t i = 0; i < text.size(); i += chunk)
    zun_md5_update(&ctx, text.data() + i, std::min(chunk, text.size() - i));
  zun_md5_final(&ctx, out);
  return hex(out, sizeof out);
}

std::string hmac(const std::string &key, const std::string &data)
{
  uint8_t out[SHA256_SIZE];
  zun_hmac_sha256(key.data(), key.size(), data.data(), data.size(), out);
  return hex(out, sizeof out);
}

std::string hmac_md5(const std::string &key, const std::string &data)
{
  uint8_t out[MD5_SIZE];
  zun_hmac_md5(key.data(), key.size(), data.data(), data.size(), out);
  return hex(out, sizeof out);
}

std::string reference(const EVP_MD *md, const std::string &key, const std::string &data)
{
  uint8_t ref[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  HMAC(md, key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
       data.size(), ref, &len);
  return hex(ref, len);
}

std::string reference(const EVP_MD *md, const std::string &data)
{
  uint8_t ref[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data.data(), data.size(), ref, &len, md, nullptr);
  return hex(ref, len);
}

enum class Fn { sha256, md5, hmac_sha256, hmac_md5 };

std::string digest(Fn fn, const std::string &key, const std::string &data)
{
  switch (fn) {
  case Fn::sha256: return sha(data);
  case Fn::md5: return md5(data);
  case Fn::hmac_sha256: return hmac(key, data);
  case Fn::hmac_md5: return hmac_md5(key, data);
  }
  return "";
}

struct Vector {
  Fn fn;
  std::string key;
  std::string data;
  const char *expect;
};

const std::string MILLION_A(1000000, 'a');

}  // namespace

TEST(Digest, PublishedVectors)
{
  const Vector vectors[] = {
      // FIPS 180-4 examples.
      {Fn::sha256, "", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {Fn::sha256, "", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {Fn::sha256, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {Fn::sha256, "", MILLION_A, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // RFC 1321 test suite.
      {Fn::md5, "", "", "d41d8cd98f00b204e9800998ecf8427e"},
      {Fn::md5, "", "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {Fn::md5, "", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // RFC 4231 test cases 1, 2 and 6 (a key longer than the block).
      {Fn::hmac_sha256, std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {Fn::hmac_sha256, "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Fn::hmac_sha256, std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      // RFC 2104 / RFC 2202 test cases 1, 2 and 6 (a key longer than the block).
      {Fn::hmac_md5, std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {Fn::hmac_md5, "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {Fn::hmac_md5, std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
  };
  for (size_t i = 0; i < std::size(vectors); i++) {
    const Vector &v = vectors[i];
    EXPECT_EQ(digest(v.fn, v.key, v.data), v.expect) << "row " << i;
  }
}

TEST(Digest, AgreesWithLibcryptoAcrossBlockBoundaries)
{
  for (size_t n = 0; n < 300; n++) {
    std::string key(n % 3 == 0 ? 100 : 32, char('k' + n % 5));  // long keys are hashed first
    std::string data(n, '\0');
    for (size_t i = 0; i < n; i++)
      data[i] = char(i * 7 + n);
    ASSERT_EQ(hmac(key, data), reference(EVP_sha256(), key, data)) << n;
    ASSERT_EQ(hmac_md5(key, data), reference(EVP_md5(), key, data)) << n;
    ASSERT_EQ(sha(data, 1 + n % 70), reference(EVP_sha256(), data)) << n;
    ASSERT_EQ(md5(data, 1 + n % 70), reference(EVP_md5(), data)) << n;
  }
}

TEST(Digest, ChunkedUpdatesGiveTheSameDigest)
{
  std::string text(1000, 'q');
  for (size_t i = 0; i < text.size(); i++)
    text[i] = char(i * 13);
  for (size_t chunk : {1, 37, 64, 65}) {
    EXPECT_EQ(sha(text, chunk), sha(text)) << chunk;
    EXPECT_EQ(md5(text, chunk), md5(text)) << chunk;
  }
}

TEST(Digest, ConstantTimeCompare)
{
  struct {
    uint8_t a[4], b[4];
    size_t n;
    bool equal;
  } rows[] = {
      {{1, 2, 3, 4}, {1, 2, 3, 4}, 4, true},
      {{1, 2, 3, 4}, {1, 2, 3, 5}, 4, false},  // last byte
      {{0, 2, 3, 4}, {1, 2, 3, 4}, 4, false},  // first byte
      {{1, 2, 3, 4}, {1, 2, 3, 5}, 3, true},   // only n bytes count
      {{1, 2, 3, 4}, {9, 9, 9, 9}, 0, true},
  };
  for (size_t i = 0; i < std::size(rows); i++)
    EXPECT_EQ(zun_equal_ct(rows[i].a, rows[i].b, rows[i].n), rows[i].equal) << "row " << i;
}
