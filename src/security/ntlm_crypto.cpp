#include "security/ntlm_crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string.h>

#include <utility>

namespace gavio::ntlm {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return x << n | x >> (32 - n); }

inline uint32_t LoadLittle32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void StoreLittle32(uint32_t value, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Md4Block(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittle32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto f = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (~x1 & z); };
  auto g = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (x1 & z) | (y & z); };
  auto h = [](uint32_t x1, uint32_t y, uint32_t z) { return x1 ^ y ^ z; };
  static constexpr int kShift1[4] = {3, 7, 11, 19};
  static constexpr int kShift2[4] = {3, 5, 9, 13};
  static constexpr int kShift3[4] = {3, 9, 11, 15};
  static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  // Each round updates a, d, c, b in turn; rotating the four names after
  // every step keeps one formula per round.
  for (int i = 0; i < 16; ++i) {
    a = RotateLeft(a + f(b, c, d) + x[i], kShift1[i % 4]);
    std::swap(a, d), std::swap(d, c), std::swap(c, b);
  }
  for (int i = 0; i < 16; ++i) {
    int k = (i % 4) * 4 + i / 4;
    a = RotateLeft(a + g(b, c, d) + x[k] + 0x5A827999u, kShift2[i % 4]);
    std::swap(a, d), std::swap(d, c), std::swap(c, b);
  }
  for (int i = 0; i < 16; ++i) {
    a = RotateLeft(a + h(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u, kShift3[i % 4]);
    std::swap(a, d), std::swap(d, c), std::swap(c, b);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md4(const void* data, size_t length, uint8_t out[kDigestSize]) {
  uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t whole = length / 64 * 64;
  for (size_t offset = 0; offset < whole; offset += 64) Md4Block(state, bytes + offset);
  // The tail, the 0x80 marker and the bit length fill one or two blocks.
  uint8_t tail[128] = {};
  size_t rest = length - whole;
  if (rest > 0) memcpy(tail, bytes + whole, rest);
  tail[rest] = 0x80;
  size_t tailLength = rest < 56 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t offset = 0; offset < tailLength; offset += 64) Md4Block(state, tail + offset);
  for (int i = 0; i < 4; ++i) StoreLittle32(state[i], out + 4 * i);
}

void HmacMd5(const uint8_t* key, size_t keyLength, const void* data, size_t length,
             uint8_t out[kDigestSize]) {
  unsigned int outLength = kDigestSize;
  static const uint8_t kEmpty = 0;
  if (HMAC(EVP_md5(), key, static_cast<int>(keyLength),
           length > 0 ? static_cast<const uint8_t*>(data) : &kEmpty, length, out,
           &outLength) == nullptr) {
    memset(out, 0, kDigestSize);
  }
}

void Rc4(const uint8_t* key, size_t keyLength, uint8_t* data, size_t length) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + key[i % keyLength]);
    std::swap(s[i], s[j]);
  }
  uint8_t x = 0;
  j = 0;
  for (size_t n = 0; n < length; ++n) {
    x = static_cast<uint8_t>(x + 1);
    j = static_cast<uint8_t>(j + s[x]);
    std::swap(s[x], s[j]);
    data[n] ^= s[static_cast<uint8_t>(s[x] + s[j])];
  }
}

}  // namespace gavio::ntlm
