// Zeroed blocks from a memory manager instance (component 3) of the
// component's own, under the component's creator id, so blocks it never
// returns show in that manager's leak report.
//
// The manager is created on first use through the factory library. When
// none can be had (no factory library in the process) the ordinary heap
// serves instead: dropping data for want of bookkeeping would help no one.
// Not thread-safe: used on the owning component's thread.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "gavio/ids.h"
#include "gavio/memory.h"
#include "frame/gavio_ptr.h"

namespace gavio {

class MemoryClient {
 public:
  explicit MemoryClient(uint32_t creatorId) : creatorId_(creatorId) {}
  ~MemoryClient() { Close(); }
  MemoryClient(const MemoryClient&) = delete;
  MemoryClient& operator=(const MemoryClient&) = delete;

  // size zeroed bytes, or null for size 0 or when memory runs out.
  void* AllocateZeroed(uint32_t size) {
    if (size == 0) return nullptr;
    IMemoryManager* manager = Manager();
    void* block = manager != nullptr ? manager->Allocate(creatorId_, size) : calloc(1, size);
    if (block != nullptr && manager != nullptr) memset(block, 0, size);
    return block;
  }

  // Returns a block from AllocateZeroed (null is ignored).
  void Release(void* block) {
    if (block == nullptr) return;
    if (manager_ != nullptr) {
      manager_->Release(block);
    } else {
      free(block);
    }
  }

  // Ends the manager (its leak report lists blocks not returned). Blocks
  // must not be released afterwards.
  void Close() {
    if (manager_ != nullptr) manager_->Destroy(1);
    manager_ = nullptr;
  }

 private:
  IMemoryManager* Manager() {
    if (!tried_) {
      tried_ = true;
      manager_ = CreateComponentAs<IMemoryManager>(kMemoryManagerId);
    }
    return manager_;
  }

  const uint32_t creatorId_;
  IMemoryManager* manager_ = nullptr;
  bool tried_ = false;
};

}  // namespace gavio
