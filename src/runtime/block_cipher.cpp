// Block cipher component (64): TEA with 16 rounds in a chained, padded frame.
//
// Frame: header byte (random, low 3 bits = pad), pad random bytes, 2 random
// salt bytes, the plain text, 7 zero bytes; its length is a multiple of 8.
// Chaining over 8-byte blocks P: X_i = P_i ^ C_(i-1), C_i = TEA(X_i) ^ X_(i-1),
// with C_(-1) = X_(-1) = 0. The zero trailer is what tells a wrong key.
#include <string.h>

#include <new>
#include <random>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "frame/component_base.h"

namespace gavio {
namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr uint32_t kRounds = 16;
constexpr uint32_t kDecryptSumStart = kDelta * kRounds;  // 0xE3779B90
constexpr uint32_t kHeaderSize = 1;
constexpr uint32_t kSaltSize = 2;
constexpr uint32_t kTrailerSize = 7;
constexpr uint32_t kFrameOverhead = kHeaderSize + kSaltSize + kTrailerSize;
constexpr uint32_t kBlock = 8;

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

struct TeaKey {
  uint32_t k[4];
  explicit TeaKey(const uint8_t* key) {
    for (int i = 0; i < 4; ++i) k[i] = LoadBe32(key + 4 * i);
  }
};

void TeaEncryptBlock(const TeaKey& key, const uint8_t in[kBlock], uint8_t out[kBlock]) {
  uint32_t y = LoadBe32(in), z = LoadBe32(in + 4), sum = 0;
  const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
  for (uint32_t round = 0; round < kRounds; ++round) {
    sum += kDelta;
    y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
    z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
  }
  StoreBe32(out, y);
  StoreBe32(out + 4, z);
}

void TeaDecryptBlock(const TeaKey& key, const uint8_t in[kBlock], uint8_t out[kBlock]) {
  uint32_t y = LoadBe32(in), z = LoadBe32(in + 4), sum = kDecryptSumStart;
  const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
  for (uint32_t round = 0; round < kRounds; ++round) {
    z -= ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
    y -= ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
    sum -= kDelta;
  }
  StoreBe32(out, y);
  StoreBe32(out + 4, z);
}

inline void XorBlock(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
  for (uint32_t i = 0; i < kBlock; ++i) dst[i] = a[i] ^ b[i];
}

// The header and salt only need to differ between calls; each thread keeps
// its own generator, seeded once from the system's entropy, so processes
// started alike do not repeat each other's frames.
uint8_t RandomByte() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return static_cast<uint8_t>(generator() >> 8);
}

// Walks the frame block by block while building each plain block on the fly,
// so no copy of the frame is made.
class FrameEncryptor {
 public:
  FrameEncryptor(const uint8_t* key, uint8_t* out) : key_(key), out_(out) {}

  void Put(uint8_t byte) {
    block_[filled_++] = byte;
    if (filled_ == kBlock) Flush();
  }
  void Put(const uint8_t* bytes, uint32_t length) {
    while (length > 0) {
      uint32_t take = kBlock - filled_ < length ? kBlock - filled_ : length;
      memcpy(block_ + filled_, bytes, take);
      filled_ += take;
      bytes += take;
      length -= take;
      if (filled_ == kBlock) Flush();
    }
  }

 private:
  void Flush() {
    uint8_t x[kBlock], tea[kBlock];
    XorBlock(x, block_, previousCipher_);
    TeaEncryptBlock(key_, x, tea);
    XorBlock(out_, tea, previousX_);
    memcpy(previousCipher_, out_, kBlock);
    memcpy(previousX_, x, kBlock);
    out_ += kBlock;
    filled_ = 0;
  }

  TeaKey key_;
  uint8_t* out_;
  uint8_t block_[kBlock] = {};
  uint32_t filled_ = 0;
  uint8_t previousCipher_[kBlock] = {};
  uint8_t previousX_[kBlock] = {};
};

class CBlockCipher final : public Component<kBlockCipherId, IBlockCipher> {
 public:
  uint32_t EncryptedLength(uint32_t plainLength) override {
    if (plainLength > UINT32_MAX - kFrameOverhead - kBlock) return 0;
    uint32_t n = plainLength + kFrameOverhead;
    return n + (kBlock - n % kBlock) % kBlock;
  }

  void Encrypt(const void* plain, uint32_t plainLength, const uint8_t* key, void* out,
               uint32_t* outLength) override {
    if (plain == nullptr || key == nullptr || out == nullptr) return;
    uint32_t frameLength = EncryptedLength(plainLength);
    if (frameLength == 0) return;
    uint32_t pad = frameLength - plainLength - kFrameOverhead;
    FrameEncryptor frame(key, static_cast<uint8_t*>(out));
    frame.Put(static_cast<uint8_t>((RandomByte() & ~7u) | pad));
    for (uint32_t i = 0; i < pad + kSaltSize; ++i) frame.Put(RandomByte());
    frame.Put(static_cast<const uint8_t*>(plain), plainLength);
    static const uint8_t kTrailer[kTrailerSize] = {};
    frame.Put(kTrailer, kTrailerSize);
    if (outLength != nullptr) *outLength = frameLength;
  }

  int32_t Decrypt(const void* cipher, int32_t cipherLength, const uint8_t* key, void* out,
                  int32_t* outLength) override {
    if (cipher == nullptr || key == nullptr || out == nullptr || outLength == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (cipherLength < 2 * int32_t(kBlock) || cipherLength % kBlock != 0) {
      SetLastError(ERROR_INVALID_DATA);
      return 0;
    }
    const auto* c = static_cast<const uint8_t*>(cipher);
    const TeaKey teaKey(key);
    uint8_t x[kBlock];
    TeaDecryptBlock(teaKey, c, x);
    const uint32_t pad = x[0] & 7u;
    const int32_t plainLength = cipherLength - int32_t(pad + kFrameOverhead);
    if (plainLength < 0 || plainLength > *outLength) {
      SetLastError(plainLength < 0 ? ERROR_INVALID_DATA : ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    // Frame offsets: plain text at [plainStart, trailerStart), zeros after.
    const uint32_t plainStart = kHeaderSize + pad + kSaltSize;
    const uint32_t trailerStart = plainStart + uint32_t(plainLength);
    auto* dst = static_cast<uint8_t*>(out);
    static const uint8_t kZeroBlock[kBlock] = {};
    uint8_t previousX[kBlock] = {};
    const uint8_t* previousCipher = kZeroBlock;
    bool trailerZero = true;
    for (uint32_t offset = 0; offset < uint32_t(cipherLength); offset += kBlock) {
      uint8_t mixed[kBlock], p[kBlock];
      XorBlock(mixed, c + offset, previousX);
      TeaDecryptBlock(teaKey, mixed, x);
      XorBlock(p, x, previousCipher);
      for (uint32_t i = 0; i < kBlock; ++i) {
        uint32_t at = offset + i;
        if (at >= trailerStart) {
          trailerZero = trailerZero && p[i] == 0;
        } else if (at >= plainStart) {
          dst[at - plainStart] = p[i];
        }
      }
      memcpy(previousX, x, kBlock);
      previousCipher = c + offset;
    }
    if (!trailerZero) {
      memset(dst, 0, size_t(plainLength));
      SetLastError(ERROR_INVALID_DATA);
      return 0;
    }
    *outLength = plainLength;
    return 1;
  }

  void ComponentFinalize() override {}
};

}  // namespace

IComponent* NewBlockCipher() { return new (std::nothrow) CBlockCipher(); }

}  // namespace gavio
