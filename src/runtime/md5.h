// MD5 (RFC 1321) for the components that need a digest inside the library:
// the digest component (65) and the file utilities' compare by digest.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace gavio {

inline constexpr size_t kMd5Size = 16;

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t length);
  // Writes the digest; the object must not be updated afterwards.
  void Final(uint8_t out[kMd5Size]);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

// Digest of a host path's bytes, read in chunks. False (out
// zeroed) when the file cannot be opened or a read fails.
bool Md5OfFile(const char* hostPath, uint8_t out[kMd5Size]);

}  // namespace gavio
