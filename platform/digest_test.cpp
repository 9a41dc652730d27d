// The self-contained SHA-256 and HMAC against published vectors and against
// libcrypto over every length around the block boundaries.
#include "digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

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

std::string sha(const std::string &text)
{
  zun_sha256 ctx;
  uint8_t out[SHA256_SIZE];
  zun_sha256_init(&ctx);
  zun_sha256_update(&ctx, text.data(), text.size());
  zun_sha256_final(&ctx, out);
  return hex(out, sizeof out);
}

std::string hmac(const std::string &key, const std::string &data)
{
  uint8_t out[SHA256_SIZE];
  zun_hmac_sha256(key.data(), key.size(), data.data(), data.size(), out);
  return hex(out, sizeof out);
}

std::string md5(const std::string &text)
{
  zun_md5 ctx;
  uint8_t out[MD5_SIZE];
  zun_md5_init(&ctx);
  zun_md5_update(&ctx, text.data(), text.size());
  zun_md5_final(&ctx, out);
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

}  // namespace

TEST(Sha256, PublishedVectors)
{
  EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // RFC 4231 test cases 1, 2 and 6 (a key longer than the block).
  EXPECT_EQ(hmac(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmac(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(Sha256, AgreesWithLibcryptoAcrossBlockBoundaries)
{
  for (size_t n = 0; n < 300; n++) {
    std::string key(n % 3 == 0 ? 100 : 32, char('k' + n % 5));  // long keys are hashed first
    std::string data(n, '\0');
    for (size_t i = 0; i < n; i++)
      data[i] = char(i * 7 + n);
    ASSERT_EQ(hmac(key, data), reference(EVP_sha256(), key, data)) << n;
    ASSERT_EQ(hmac_md5(key, data), reference(EVP_md5(), key, data)) << n;
  }
}

TEST(Md5, PublishedVectors)
{
  EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // RFC 2104 test vectors.
  EXPECT_EQ(hmac_md5(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(hmac_md5("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
}

TEST(Sha256, ChunkedUpdatesGiveTheSameDigest)
{
  std::string text(1000, 'q');
  zun_sha256 ctx;
  uint8_t out[SHA256_SIZE];
  zun_sha256_init(&ctx);
  for (size_t i = 0; i < text.size(); i += 37)
    zun_sha256_update(&ctx, text.data() + i, std::min<size_t>(37, text.size() - i));
  zun_sha256_final(&ctx, out);
  EXPECT_EQ(hex(out, sizeof out), sha(text));
}

TEST(Sha256, ConstantTimeCompare)
{
  uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4}, c[4] = {1, 2, 3, 5};
  EXPECT_TRUE(zun_equal_ct(a, b, 4));
  EXPECT_FALSE(zun_equal_ct(a, c, 4));
}
