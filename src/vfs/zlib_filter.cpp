#include "vfs/zlib_filter.h"

#include <libdeflate.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\ZlibFilter";

int32_t AsResult(size_t length) { return length == 0 ? 1 : static_cast<int32_t>(length); }

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Coder state is a few hundred KiB for compression and about 10 KiB for
// decompression: made once per thread, not once per file.
libdeflate_compressor* ThreadCompressor(int32_t level) {
  thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor;
  thread_local int32_t compressorLevel = 0;
  if (compressor == nullptr || compressorLevel != level) {
    compressor.reset(libdeflate_alloc_compressor(level));
    compressorLevel = compressor != nullptr ? level : 0;
  }
  return compressor.get();
}

libdeflate_decompressor* ThreadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  return decompressor.get();
}

// Decodes into at most capacity bytes; the decoded length, or -1.
int64_t Inflate(const uint8_t* in, size_t n, uint8_t* out, size_t capacity) {
  libdeflate_decompressor* decompressor = ThreadDecompressor();
  if (decompressor == nullptr || in == nullptr || out == nullptr) return -1;
  size_t length = 0;
  if (libdeflate_zlib_decompress(decompressor, in, n, out, capacity, &length) != LIBDEFLATE_SUCCESS) {
    return -1;
  }
  return static_cast<int64_t>(length);
}

}  // namespace

int32_t ZlibFilter::Bound(IBuffer* input) {
  if (input == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  int64_t n = input->Size();
  int64_t bound = n + (n >> 12) + (n >> 14) + 11;
  return bound > INT32_MAX ? 0 : static_cast<int32_t>(bound);
}

int32_t ZlibFilter::PreSave(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  libdeflate_compressor* compressor = ThreadCompressor(level_.load(std::memory_order_relaxed));
  size_t n = static_cast<size_t>(std::max(input->Size(), 0));
  size_t needed = compressor != nullptr ? libdeflate_zlib_compress_bound(compressor, n) : 0;
  if (compressor == nullptr || needed > static_cast<size_t>(INT32_MAX) ||
      output->Reserve(static_cast<int32_t>(needed)) == 0) {
    VFS_REPORT(reporter_, "RWFilter PreSave error!");
    return 0;
  }
  size_t length = libdeflate_zlib_compress(compressor, input->Data(), n, output->Data(),
                                           static_cast<size_t>(output->Capacity()));
  if (length == 0) {
    VFS_REPORT(reporter_, "RWFilter PreSave error!");
    return 0;
  }
  output->SetSize(static_cast<int32_t>(length));
  return AsResult(length);
}

int32_t ZlibFilter::PostLoad(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  return DecodeInto(input->Data(), static_cast<size_t>(std::max(input->Size(), 0)), output);
}

int32_t ZlibFilter::DecodeInto(const uint8_t* in, size_t n, IBuffer* output) {
  int32_t before = output->Size();
  int64_t length = Inflate(in, n, output->Data(), static_cast<size_t>(output->Capacity()));
  if (length < 0) {
    VFS_REPORT(reporter_, "RWFilter PostLoad error!");
    return 0;
  }
  if (length < before) memset(output->Data() + length, 0, static_cast<size_t>(before - length));
  output->SetSize(static_cast<int32_t>(length));
  return AsResult(static_cast<size_t>(length));
}

int32_t ZlibFilter::SetKey(int32_t selector) {
  if (selector < 1 || selector > kMaxLevel) return 0;
  level_.store(selector, std::memory_order_relaxed);
  return 1;
}

ZlibFilter* CreateZlibFilter(ErrorReporter* reporter) {
  return new (std::nothrow) ZlibFilter(reporter);
}

}  // namespace gavio
