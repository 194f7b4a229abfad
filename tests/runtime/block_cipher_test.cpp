// The TEA cipher: the frame checked against a plain reading of the format,
// round trips, wrong keys, and buffers that are too short.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "runtime_test_env.h"

namespace {

using gavio::IBlockCipher;
using Bytes = std::vector<uint8_t>;

const uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                          0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

// A straightforward reading of the format, kept apart from the component:
// big-endian words, 16 rounds, X_i = D(C_i ^ X_(i-1)), P_i = X_i ^ C_(i-1).
Bytes ReferenceDecryptFrame(const Bytes& cipher, const uint8_t* key) {
  auto word = [](const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  };
  uint32_t k[4] = {word(key), word(key + 4), word(key + 8), word(key + 12)};
  Bytes frame(cipher.size());
  uint8_t previousX[8] = {0}, previousC[8] = {0};
  for (size_t at = 0; at < cipher.size(); at += 8) {
    uint8_t in[8];
    for (int i = 0; i < 8; ++i) in[i] = cipher[at + i] ^ previousX[i];
    uint32_t y = word(in), z = word(in + 4), sum = 0x9E3779B9u * 16;
    for (int round = 0; round < 16; ++round) {
      z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
      y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
      sum -= 0x9E3779B9u;
    }
    uint8_t x[8] = {uint8_t(y >> 24), uint8_t(y >> 16), uint8_t(y >> 8), uint8_t(y),
                    uint8_t(z >> 24), uint8_t(z >> 16), uint8_t(z >> 8), uint8_t(z)};
    for (int i = 0; i < 8; ++i) frame[at + i] = x[i] ^ previousC[i];
    memcpy(previousX, x, 8);
    memcpy(previousC, &cipher[at], 8);
  }
  return frame;
}

class BlockCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cipher_ = runtime_test::Create<IBlockCipher>(gavio::kBlockCipherId);
    ASSERT_NE(cipher_, nullptr);
  }
  void TearDown() override { cipher_->Destroy(0); }

  Bytes Encrypt(const Bytes& plain, const uint8_t* key = kKey) {
    Bytes out(cipher_->EncryptedLength(static_cast<uint32_t>(plain.size())) + 8, 0xEE);
    uint32_t length = 0;
    const void* data = plain.empty() ? "" : static_cast<const void*>(plain.data());
    cipher_->Encrypt(data, static_cast<uint32_t>(plain.size()), key, out.data(), &length);
    EXPECT_EQ(out[length], 0xEE) << "wrote past the encrypted length";
    out.resize(length);
    return out;
  }

  IBlockCipher* cipher_ = nullptr;
};

TEST_F(BlockCipherTest, EncryptedLengthAddsTheFrameAndRoundsToBlocks) {
  EXPECT_EQ(cipher_->EncryptedLength(0), 16u);
  EXPECT_EQ(cipher_->EncryptedLength(6), 16u);
  EXPECT_EQ(cipher_->EncryptedLength(7), 24u);
  EXPECT_EQ(cipher_->EncryptedLength(14), 24u);
  EXPECT_EQ(cipher_->EncryptedLength(0xFFFFFFF0u), 0u);  // would not fit 32 bits
}

TEST_F(BlockCipherTest, FrameHoldsPadCountSaltPlainTextAndZeroTrailer) {
  for (size_t length : {0u, 1u, 5u, 6u, 7u, 13u, 100u}) {
    Bytes plain(length);
    for (size_t i = 0; i < length; ++i) plain[i] = static_cast<uint8_t>('a' + i % 26);
    Bytes frame = ReferenceDecryptFrame(Encrypt(plain), kKey);
    ASSERT_FALSE(frame.empty());
    ASSERT_EQ(frame.size() % 8, 0u);
    size_t pad = frame[0] & 7;
    ASSERT_EQ(frame.size(), 1 + pad + 2 + length + 7) << length;
    EXPECT_EQ(Bytes(frame.begin() + 3 + pad, frame.end() - 7), plain);
    EXPECT_EQ(Bytes(frame.end() - 7, frame.end()), Bytes(7, 0));
  }
}

TEST_F(BlockCipherTest, DecryptReturnsWhatWasEncryptedAndEachCallDiffers) {
  std::mt19937 random(64);
  std::set<Bytes> seen;
  for (size_t length : {0u, 1u, 6u, 7u, 8u, 9u, 255u, 4096u}) {
    Bytes plain(length);
    for (uint8_t& b : plain) b = static_cast<uint8_t>(random());
    for (int i = 0; i < 3; ++i) {
      Bytes cipher = Encrypt(plain);
      seen.insert(cipher);
      Bytes back(length + 4, 0xEE);
      int32_t backLength = static_cast<int32_t>(length);
      ASSERT_EQ(cipher_->Decrypt(cipher.data(), static_cast<int32_t>(cipher.size()), kKey,
                                 back.data(), &backLength), 1);
      EXPECT_EQ(backLength, static_cast<int32_t>(length));
      EXPECT_EQ(Bytes(back.begin(), back.begin() + length), plain);
      EXPECT_EQ(back[length], 0xEE);
    }
  }
  EXPECT_EQ(seen.size(), 24u);  // random header and salt: no two alike
}

TEST_F(BlockCipherTest, WrongKeysAndDamagedTextAreRefused) {
  Bytes plain(40, 'p');
  Bytes cipher = Encrypt(plain);
  uint8_t otherKey[16];
  memcpy(otherKey, kKey, 16);
  otherKey[15] ^= 1;
  Bytes out(64, 0xEE);
  int32_t outLength = 64;
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), static_cast<int32_t>(cipher.size()), otherKey,
                             out.data(), &outLength), 0);
  EXPECT_EQ(outLength, 64);
  EXPECT_EQ(std::count(out.begin(), out.end(), 'p'), 0) << "no half-decrypted text is left";

  cipher.back() ^= 0x80;  // the trailer no longer decrypts to zeros
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), static_cast<int32_t>(cipher.size()), kKey,
                             out.data(), &outLength), 0);
}

TEST_F(BlockCipherTest, ShortBuffersAndBadLengthsAreRefusedWithoutWriting) {
  Bytes plain(20, 'q');
  Bytes cipher = Encrypt(plain);
  Bytes out(32, 0xEE);
  int32_t capacity = 19;  // one byte short
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), static_cast<int32_t>(cipher.size()), kKey,
                             out.data(), &capacity), 0);
  EXPECT_EQ(capacity, 19);
  EXPECT_EQ(out, Bytes(32, 0xEE));

  int32_t length = 32;
  for (int32_t bad : {0, 8, 15, 17, static_cast<int32_t>(cipher.size()) - 1, -8}) {
    EXPECT_EQ(cipher_->Decrypt(cipher.data(), bad, kKey, out.data(), &length), 0) << bad;
  }
  EXPECT_EQ(cipher_->Decrypt(nullptr, 16, kKey, out.data(), &length), 0);
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), 16, nullptr, out.data(), &length), 0);
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), 16, kKey, nullptr, &length), 0);
  EXPECT_EQ(cipher_->Decrypt(cipher.data(), 16, kKey, out.data(), nullptr), 0);
  EXPECT_EQ(out, Bytes(32, 0xEE));

  uint32_t untouched = 77;
  cipher_->Encrypt(nullptr, 4, kKey, out.data(), &untouched);
  cipher_->Encrypt("abcd", 4, nullptr, out.data(), &untouched);
  cipher_->Encrypt("abcd", 4, kKey, nullptr, &untouched);
  EXPECT_EQ(untouched, 77u);
  EXPECT_EQ(out, Bytes(32, 0xEE));
}

}  // namespace
