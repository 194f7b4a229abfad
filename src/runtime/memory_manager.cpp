// Memory manager (component 3).
#include <stdlib.h>

#include <map>

#include "gavio/ids.h"
#include "gavio/memory.h"
#include "platform/sync.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

class CMemoryManager final : public Component<kMemoryManagerId, IMemoryManager> {
 public:
  CMemoryManager() : log_(nullptr, kMemoryManagerId) {
    SetKeepAlive(true);
    InitializeCriticalSection(&lock_);
  }
  ~CMemoryManager() override { DeleteCriticalSection(&lock_); }

  void* Allocate(uint32_t creatorId, uint32_t size) override {
    if (size == 0) return nullptr;
    void* block = malloc(size);
    if (block == nullptr) {
      log_.Error("Memory alloc fail!");
      return nullptr;
    }
    EnterCriticalSection(&lock_);
    blocks_[reinterpret_cast<uintptr_t>(block)] = Block{creatorId, size};
    LeaveCriticalSection(&lock_);
    return block;
  }

  int32_t Release(void* block) override {
    EnterCriticalSection(&lock_);
    auto it = blocks_.find(reinterpret_cast<uintptr_t>(block));
    int32_t result = 1;
    if (it != blocks_.end()) {
      free(block);
      blocks_.erase(it);
    } else if (block != nullptr) {
      log_.Error("Try to free memory not alloced by me. pMemory=0x%p", block);
      result = 0;
    }
    LeaveCriticalSection(&lock_);
    return result;
  }

  // Leaked blocks are reported, not freed: their owners may still use them.
  void ComponentFinalize() override {
    EnterCriticalSection(&lock_);
    if (!blocks_.empty()) {
      static const char kRule[] =
          "=====================================================================";
      static_assert(sizeof kRule - 1 == 69);
      log_.Error("%s", kRule);
      log_.Error("Detect memory leak, block count = %d", static_cast<int>(blocks_.size()));
      for (const auto& [address, block] : blocks_) {
        log_.Error("Creator:0x%08x Size:%d Location:0x%08llx", block.creatorId,
                   static_cast<int>(block.size), static_cast<unsigned long long>(address));
      }
      log_.Error("%s", kRule);
    }
    LeaveCriticalSection(&lock_);
  }

 private:
  struct Block {
    uint32_t creatorId;
    uint32_t size;
  };

  LogSink log_;
  CRITICAL_SECTION lock_;
  std::map<uintptr_t, Block> blocks_;  // keyed by address, unsigned order
};

}  // namespace

IComponent* NewMemoryManager() { return new (std::nothrow) CMemoryManager; }

}  // namespace gavio
