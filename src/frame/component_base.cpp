#include "frame/component_base.h"

#include <stdio.h>

#include "frame/instances.h"

namespace gavio {

ComponentLife::~ComponentLife() {
  if (initialised_ != 0 || hold_ != 0) {
    GavioDebugBreak("a component was deleted while initialised or held; use Destroy");
  }
}

void ComponentLife::DestroyInstance(int32_t bForce) {
  if (!HostSafeToDestroy()) return;
  if (keepAlive_ != 0 && bForce == 0) return;
  // A Destroy from inside ComponentFinalize leaves the rest to the outer one.
  if (finalising_) return;
  if (initialised_ != 0) {
    finalising_ = true;
    ++hold_;  // finalising may call out; nothing may delete us meanwhile
    RunFinalize();
    --hold_;
    finalising_ = false;
    initialised_ = 0;
  }
  if (hold_ == 0) DeleteIfReleased();
}

// The last hold closed on a finalised instance. The earlier Destroy already
// passed the keep-alive test, so only the safe switch is asked again (a
// keep-alive instance destroyed with force from inside its own callback
// must still go away).
void ComponentLife::DeleteIfReleased() {
  if (!HostSafeToDestroy()) return;
  IComponent* self = Self();
  bool was_not_factory = self->GetComponentID() != 361;
  delete this;
  HostNotifyRemoved(self, was_not_factory);
}

void ReportCallAfterFinalise(uint32_t componentId) {
  char reason[96];
  snprintf(reason, sizeof reason, "call on a finalised component (id %u)", componentId);
  GavioDebugBreak(reason);
}

}  // namespace gavio
