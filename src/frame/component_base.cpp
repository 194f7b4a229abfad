#include "frame/component_base.h"

#include <stdio.h>

#include "frame/instances.h"
#include "gavio/ids.h"

namespace gavio {

ComponentLife::~ComponentLife() {
  if (life_.load() != 0) {
    GavioDebugBreak("a component was deleted while initialised or held; use Destroy");
  }
}

void ComponentLife::DestroyInstance(int32_t bForce) {
  if (recorded_ && !HostSafeToDestroy()) return;
  if (keepAlive_ != 0 && bForce == 0) return;
  // A Destroy from inside ComponentFinalize leaves the rest to the outer one.
  if (finalising_) return;
  if (!IsInitialised()) {
    // Finalised earlier, and its deletion was put off (the safe switch was
    // off when the last hold closed): nothing holds it any more.
    if (life_.load() == 0) DeleteIfReleased();
    return;
  }
  finalising_ = true;
  OpenHold();  // finalising may call out; nothing may delete us meanwhile
  RunFinalize();
  CloseHold();  // cannot release: the initialised bit is still set
  finalising_ = false;
  // Clearing the flag and learning whether a hold is still open is one
  // step; a guard closing on another thread sees the same word.
  if (life_.fetch_sub(kInitialised) == kInitialised) DeleteIfReleased();
}

// The last hold closed on a finalised instance. The earlier Destroy already
// passed the keep-alive test, so only the safe switch is asked again (a
// keep-alive instance destroyed with force from inside its own callback
// must still go away).
void ComponentLife::DeleteIfReleased() {
  if (recorded_ && !HostSafeToDestroy()) return;
  IComponent* self = Self();
  bool recorded = recorded_;
  bool wasNotFactory = self->GetComponentID() != kComponentFactoryId;
  delete this;
  if (recorded) HostNotifyRemoved(self, wasNotFactory);
}

void ReportCallAfterFinalise(uint32_t componentId) {
  char reason[96];
  snprintf(reason, sizeof reason, "call on a finalised component (id %u)", componentId);
  GavioDebugBreak(reason);
}

}  // namespace gavio
