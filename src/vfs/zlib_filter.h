// ZlibFilter: the default content filter of archives. Every file is one
// zlib stream, coded and decoded whole from known sizes (so single-call
// coders do the work), at level 6 unless SetKey chose another.
//
// Thread safety: PreSave, PostLoad and Bound may run on several threads at
// once: each call borrows coder state from the filter's pool (under the
// pool's lock) and gives it back; the level is one atomic.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "gavio/vfs.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace gavio {

class ErrorReporter;

class ZlibFilter final : public RWFilter {
 public:
  static constexpr int32_t kDefaultLevel = 6;
  static constexpr int32_t kMaxLevel = 12;

  explicit ZlibFilter(ErrorReporter* reporter) : reporter_(reporter) {}

  void Destroy() override { delete this; }
  // n + n/4096 + n/16384 + 11 for n input bytes.
  int32_t Bound(IBuffer* input) override;
  // Returns the compressed length. The output grows first when it is
  // smaller than what the coder needs for incompressible input (the bound
  // above falls a little short of that).
  int32_t PreSave(IBuffer* input, IBuffer* output) override;
  // Decompresses into at most the output's capacity. Returns the decoded
  // length, or 1 when it is 0 (an empty file is a success, not a failure).
  int32_t PostLoad(IBuffer* input, IBuffer* output) override;
  // PostLoad from n bytes at in. Output bytes behind the decoded ones, up
  // to the output's size before the call, become zero.
  int32_t DecodeInto(const uint8_t* in, size_t n, IBuffer* output);
  // 1-12 selects the compression level of later PreSave calls (1).
  // Anything else changes nothing (0).
  int32_t SetKey(int32_t selector) override;

 private:
  class EncoderLease;
  class DecoderLease;

  ~ZlibFilter();
  // Decodes into at most capacity bytes: the decoded length, or -1.
  int64_t Inflate(const uint8_t* in, size_t n, uint8_t* out, size_t capacity);

  ErrorReporter* reporter_;
  std::atomic<int32_t> level_{kDefaultLevel};
  // Coder state costs a few hundred KiB to compress and about 10 KiB to
  // decompress: made once, kept for the next call.
  std::mutex poolLock_;
  std::vector<libdeflate_compressor*> encoders_;  // all at encoderLevel_
  int32_t encoderLevel_ = 0;
  std::vector<libdeflate_decompressor*> decoders_;
};

// A new filter, or null.
ZlibFilter* CreateZlibFilter(ErrorReporter* reporter);

}  // namespace gavio
