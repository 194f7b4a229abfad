// The one export of the factory library.
#include "hostlib.h"
#include "platform/errors.h"

// CreateComponent(361, creator) returns the process-wide factory object;
// 991 and 66 return new instances of the registry and the host lookup, which
// the caller owns. Other ids: null.
extern "C" __attribute__((visibility("default"))) gavio::IComponent* CreateComponent(
    uint32_t componentId, uint32_t creatorId) {
  using namespace gavio;
  using namespace gavio::hostlib;
  switch (componentId) {
    case kComponentFactoryId:
      return FactoryObject();
    case kRegistryId:
      return NewRegistry();
    case kHostLookupId:
      return NewHostLookup();
    default:
      SetLastError(ERROR_NOT_FOUND);
      return nullptr;
  }
}
