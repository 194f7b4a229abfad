// TGavioPtr: creates a component by id through the factory library and
// destroys it when the pointer goes away.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

class TGavioPtr {
 public:
  // A null or empty registry path means the one set by SetDLLRegistry.
  TGavioPtr(const char* registryPath, uint32_t componentId);
  ~TGavioPtr();
  TGavioPtr(const TGavioPtr&) = delete;
  TGavioPtr& operator=(const TGavioPtr&) = delete;

  IComponent* Get() const { return component_; }
  template <class T>
  T* As() const {
    return static_cast<T*>(component_);
  }
  explicit operator bool() const { return component_ != nullptr; }
  // Hands the component to the caller; the pointer no longer destroys it.
  IComponent* Detach() {
    IComponent* c = component_;
    component_ = nullptr;
    return c;
  }
  // Destroys the component now.
  void Reset();

 private:
  IComponent* component_ = nullptr;
};

// Creates a component and moves it into *out. Returns 1 when one was
// created, 0 otherwise (at once for a null out).
int32_t CreateAndDetach(IComponent** out, uint32_t componentId, const char* registryPath);

// The same, typed: the component's main interface, or null.
template <class T>
T* CreateComponentAs(uint32_t componentId, const char* registryPath = nullptr) {
  IComponent* c = nullptr;
  CreateAndDetach(&c, componentId, registryPath);
  return static_cast<T*>(c);
}

}  // namespace gavio
