// Buffer (component 256): a growable, zero-filled byte block. Every file the
// virtual file system loads or stores passes through one.
//
// The file systems make their buffers directly (CreateBuffer) rather than
// through the component factory; CreateComponent(256) still makes one for
// other callers. Only those are in the library's live-instance map; the
// others are marked unrecorded, so the shared component life ends them at
// once, without the safe switch or a notice of removal. A buffer has no
// callbacks, hence never a hold, and it is never kept alive.
#pragma once

#include <stdint.h>

#include "frame/component_base.h"
#include "gavio/ids.h"
#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

class Buffer final : public Component<kBufferId, IBuffer> {
 public:
  // recorded: made by the factory function, so CreateComponent recorded it.
  explicit Buffer(bool recorded) {
    if (!recorded) MarkUnrecorded();
  }

  int32_t Init(int32_t size, int32_t request) override;
  // Init(n, n) for a caller that writes all n bytes itself at once: only
  // the bytes behind them are zeroed.
  int32_t InitForOverwrite(int32_t n);
  void Release() override { Destroy(0); }
  int32_t Reserve(int32_t n) override;
  int32_t Capacity() override { return capacity_; }
  int32_t Size() override { return size_; }
  int32_t SetSize(int32_t n) override;
  uint8_t* Data() override { return data_; }
  void ComponentFinalize() override {}

 private:
  ~Buffer() override;
  // The usable size of the current block, capped to what i32 holds.
  void UpdateCapacity();

  uint8_t* data_ = nullptr;
  int32_t size_ = 0;
  int32_t capacity_ = 0;
};

// A new buffer of n zero bytes (size n), owned by the caller, or null with
// "buffer interface create error" / "buffer interface init failed".
IBuffer* CreateBuffer(int32_t n, ErrorReporter* reporter);
// The same, but the first n bytes are left for the caller to fill: every
// one of them must be written before the buffer is handed on.
IBuffer* CreateBufferForOverwrite(int32_t n, ErrorReporter* reporter);

}  // namespace gavio
