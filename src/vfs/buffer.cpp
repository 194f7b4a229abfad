#include "vfs/buffer.h"

#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "gavio/ids.h"
#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\Buffer";
// Requests up to this size double; larger ones grow by this much, so large
// buffers do not double their memory.
constexpr size_t kLinearGrowth = 0x400000;

}  // namespace

Buffer::~Buffer() { free(data_); }

void Buffer::UpdateCapacity() {
  size_t usable = data_ != nullptr ? malloc_usable_size(data_) : 0;
  capacity_ = static_cast<int32_t>(std::min<size_t>(usable, INT32_MAX));
}

int32_t Buffer::Init(int32_t size, int32_t request) {
  if (size < 0 || request < 0 || size > request) return 0;
  free(data_);
  data_ = static_cast<uint8_t*>(malloc(std::max<size_t>(static_cast<size_t>(request), 1)));
  size_ = 0;
  UpdateCapacity();
  if (data_ == nullptr) return 0;
  memset(data_, 0, static_cast<size_t>(capacity_));
  size_ = size;
  return 1;
}

int32_t Buffer::InitForOverwrite(int32_t n) {
  if (n < 0) return 0;
  free(data_);
  data_ = static_cast<uint8_t*>(malloc(std::max<size_t>(static_cast<size_t>(n), 1)));
  size_ = 0;
  UpdateCapacity();
  if (data_ == nullptr) return 0;
  memset(data_ + n, 0, static_cast<size_t>(capacity_ - n));
  size_ = n;
  return 1;
}

int32_t Buffer::Reserve(int32_t n) {
  if (n <= capacity_) return 1;
  size_t wanted = static_cast<size_t>(n);
  size_t grown = wanted <= kLinearGrowth ? 2 * wanted : wanted + kLinearGrowth;
  auto* block = static_cast<uint8_t*>(realloc(data_, grown));
  if (block == nullptr) return 0;  // the old block stays as it was
  int32_t old_capacity = capacity_;
  data_ = block;
  UpdateCapacity();
  memset(data_ + old_capacity, 0, static_cast<size_t>(capacity_ - old_capacity));
  return capacity_ >= n ? 1 : 0;
}

int32_t Buffer::SetSize(int32_t n) {
  if (n < 0) {
    size_ = 0;
    return 0;
  }
  if (n <= capacity_) {
    size_ = n;
    return 1;
  }
  size_ = capacity_;
  return 0;
}

namespace {

IBuffer* MakeBuffer(int32_t n, bool zeroed, ErrorReporter* reporter) {
  auto* buffer = new (std::nothrow) Buffer(false);
  if (buffer == nullptr) {
    VFS_REPORT(reporter, "buffer interface create error");
    return nullptr;
  }
  if ((zeroed ? buffer->Init(n, n) : buffer->InitForOverwrite(n)) == 0) {
    buffer->Release();
    VFS_REPORT(reporter, "buffer interface init failed");
    return nullptr;
  }
  return buffer;
}

}  // namespace

IBuffer* CreateBuffer(int32_t n, ErrorReporter* reporter) { return MakeBuffer(n, true, reporter); }

IBuffer* CreateBufferForOverwrite(int32_t n, ErrorReporter* reporter) {
  return MakeBuffer(n, false, reporter);
}

IComponent* NewBuffer() { return new (std::nothrow) Buffer(true); }

}  // namespace gavio
