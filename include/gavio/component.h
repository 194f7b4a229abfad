// The interface every component implements, and the library's exports.
//
// Binary contract: interfaces are classes of pure virtual functions in slot
// order with no virtual destructor, so slot N is vtable index N. A
// component's own operations start at slot 5. Operations never throw;
// they return 1/0, a pointer or null, or a handle with -1 for none.
#pragma once

#include <stdint.h>

namespace gavio {

class IComponent {
 public:
  // 0: the class's component id.
  virtual uint32_t GetComponentID() = 0;
  // 1: 1 for every class of this library.
  virtual uint32_t GetVersion() = 0;
  // 2: ends the instance. Ignored while the library's safe-to-destroy
  // switch is 0, and without bForce while the instance is kept alive. From
  // inside one of the instance's own callbacks the instance is finalised
  // at once and deleted when the outermost operation returns.
  virtual void Destroy(int32_t bForce) = 0;
  // 3, 4: the auto-free flag; GavioDllFreeMap destroys instances that have it.
  virtual uint32_t GetAutoFree() = 0;
  virtual void SetAutoFree(uint32_t value) = 0;
};

// The registration interface of components that raise events: it is the
// second base of such a component, one pointer past its IComponent address.
class IEventSource {
 public:
  // 0: registers a listener (null is ignored); registering again replaces
  // the value.
  virtual void AddListener(void* listener, uint32_t value) = 0;
  // 1: returns the number of entries removed, 0 or 1.
  virtual int32_t RemoveListener(void* listener) = 0;
};

// Reaches the event-source interface of a component that has one: main
// interfaces hold no data, so the second base starts one pointer after the
// first. Only valid for components documented as taking listeners.
inline IEventSource* EventSourceOf(IComponent* component) {
  if (component == nullptr) return nullptr;
  return reinterpret_cast<IEventSource*>(reinterpret_cast<char*>(component) + sizeof(void*));
}

}  // namespace gavio

extern "C" {
typedef gavio::IComponent* (*GavioCreateComponentFn)(uint32_t componentId, uint32_t creatorId);
typedef uint32_t (*GavioGetComponentIDsFn)(uint32_t* ids, uint32_t max);
}
