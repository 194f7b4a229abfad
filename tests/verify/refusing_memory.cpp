// A memory manager (component 3) for the tests: it refuses every block the
// size of a hash result record and serves the others from the heap. The
// factory library loads it for a test whose INI names it as component 3's
// library, so the verification components meet a manager that cannot give
// them the record of a report.
#include <stdint.h>
#include <stdlib.h>

#include "gavio/ids.h"
#include "gavio/memory.h"
#include "gavio/verify.h"

namespace {

class RefusingMemoryManager final : public gavio::IMemoryManager {
 public:
  uint32_t GetComponentID() override { return gavio::kMemoryManagerId; }
  uint32_t GetVersion() override { return 1; }
  void Destroy(int32_t bForce) override {
    if (bForce != 0) delete this;  // kept alive otherwise, like the real one
  }
  uint32_t GetAutoFree() override { return 0; }
  void SetAutoFree(uint32_t) override {}
  void* Allocate(uint32_t, uint32_t size) override {
    return size == 0 || size == sizeof(gavio::HashCheckResult) ? nullptr : malloc(size);
  }
  int32_t Release(void* block) override {
    free(block);
    return 1;
  }
  void ComponentFinalize() override {}
};

}  // namespace

extern "C" __attribute__((visibility("default"))) gavio::IComponent* CreateComponent(
    uint32_t componentId, uint32_t) {
  return componentId == gavio::kMemoryManagerId ? new RefusingMemoryManager : nullptr;
}
