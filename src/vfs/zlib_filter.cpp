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

}  // namespace

// Borrows a compressor for one call (null when none can be made).
class ZlibFilter::EncoderLease {
 public:
  EncoderLease(ZlibFilter* filter, int32_t level) : filter_(filter), level_(level) {
    {
      std::lock_guard<std::mutex> guard(filter_->poolLock_);
      if (filter_->encoderLevel_ == level && !filter_->encoders_.empty()) {
        encoder_ = filter_->encoders_.back();
        filter_->encoders_.pop_back();
      }
    }
    if (encoder_ == nullptr) encoder_ = libdeflate_alloc_compressor(level);
  }
  ~EncoderLease() {
    if (encoder_ == nullptr) return;
    std::lock_guard<std::mutex> guard(filter_->poolLock_);
    if (filter_->encoderLevel_ != level_) {
      for (libdeflate_compressor* old : filter_->encoders_) libdeflate_free_compressor(old);
      filter_->encoders_.clear();
      filter_->encoderLevel_ = level_;
    }
    filter_->encoders_.push_back(encoder_);
  }
  EncoderLease(const EncoderLease&) = delete;
  EncoderLease& operator=(const EncoderLease&) = delete;
  libdeflate_compressor* get() const { return encoder_; }

 private:
  ZlibFilter* filter_;
  int32_t level_;
  libdeflate_compressor* encoder_ = nullptr;
};

// Borrows a decompressor for one call (null when none can be made).
class ZlibFilter::DecoderLease {
 public:
  explicit DecoderLease(ZlibFilter* filter) : filter_(filter) {
    {
      std::lock_guard<std::mutex> guard(filter_->poolLock_);
      if (!filter_->decoders_.empty()) {
        decoder_ = filter_->decoders_.back();
        filter_->decoders_.pop_back();
      }
    }
    if (decoder_ == nullptr) decoder_ = libdeflate_alloc_decompressor();
  }
  ~DecoderLease() {
    if (decoder_ == nullptr) return;
    std::lock_guard<std::mutex> guard(filter_->poolLock_);
    filter_->decoders_.push_back(decoder_);
  }
  DecoderLease(const DecoderLease&) = delete;
  DecoderLease& operator=(const DecoderLease&) = delete;
  libdeflate_decompressor* get() const { return decoder_; }

 private:
  ZlibFilter* filter_;
  libdeflate_decompressor* decoder_ = nullptr;
};

ZlibFilter::~ZlibFilter() {
  for (libdeflate_compressor* encoder : encoders_) libdeflate_free_compressor(encoder);
  for (libdeflate_decompressor* decoder : decoders_) libdeflate_free_decompressor(decoder);
}

int64_t ZlibFilter::Inflate(const uint8_t* in, size_t n, uint8_t* out, size_t capacity) {
  DecoderLease decoder(this);
  if (decoder.get() == nullptr || in == nullptr || out == nullptr) return -1;
  size_t length = 0;
  if (libdeflate_zlib_decompress(decoder.get(), in, n, out, capacity, &length) != LIBDEFLATE_SUCCESS) {
    return -1;
  }
  return static_cast<int64_t>(length);
}

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
  EncoderLease lease(this, level_.load(std::memory_order_relaxed));
  libdeflate_compressor* compressor = lease.get();
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
