// Memory manager (component 3): heap blocks handed out on behalf of a named
// creator, with a report of blocks never returned.
//
// Thread safety: Allocate and Release may be called from any thread.
// The instance is kept alive: Destroy(0) does nothing, Destroy(1) writes the
// leak report (category "Error") and deletes it. Leaked blocks stay valid.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

class IMemoryManager : public IComponent {
 public:
  // 5: size bytes (not cleared) recorded under creatorId; null for size 0
  // or when the heap refuses ("Memory alloc fail!").
  virtual void* Allocate(uint32_t creatorId, uint32_t size) = 0;
  // 6: 1 when the block was this instance's (now freed) or null; 0 for any
  // other address, which is left alone.
  virtual int32_t Release(void* block) = 0;
  // 7: leak report; called by Destroy.
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
