// HandleAlloc: numbers every handle of the virtual file system (mounts,
// roots, loaded files, finds) from one counter, reusing released handles
// most recently released first.
//
// Thread safety: every operation takes the allocator's lock.
#pragma once

#include <stdint.h>

#include <mutex>
#include <vector>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

class HandleAlloc final : public IHandleAlloc {
 public:
  explicit HandleAlloc(ErrorReporter* reporter) : reporter_(reporter) {}

  void Reset() override;
  void Destroy() override { delete this; }
  int32_t Alloc() override;
  int32_t Free(int32_t handle) override;

 private:
  ~HandleAlloc() = default;

  ErrorReporter* reporter_;
  std::mutex lock_;
  int32_t next_ = 0;
  std::vector<int32_t> released_;
  // released_[i] is free; indexed by handle, sized to next_. Catches a
  // handle freed twice, which would otherwise be handed out twice.
  std::vector<bool> isFree_;
};

// A new allocator, or null with "handle alloc interface create error!".
IHandleAlloc* CreateHandleAlloc(ErrorReporter* reporter);

}  // namespace gavio
