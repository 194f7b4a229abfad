#include "frame/gavio_ptr.h"

#include "frame/factory_lookup.h"
#include "frame/instances.h"
#include "platform/errors.h"
#include "frame/log_sink.h"

namespace gavio {

TGavioPtr::TGavioPtr(const char* registryPath, uint32_t componentId) {
  char default_path[kPathSize];
  if (registryPath == nullptr || registryPath[0] == '\0') {
    HostGetRegistryPath(default_path);
    registryPath = default_path;
  }
  if (componentId == 0) OutputDebugStringA("[Gavio_Error] TGavioPtr with ComponentId = 0\n");
  IComponentFactory* factory = ObtainFactoryObject(registryPath);
  if (factory == nullptr) return;
  component_ = factory->CreateComponentById(componentId, registryPath);
  if (component_ != nullptr) component_->SetAutoFree(0);
}

TGavioPtr::~TGavioPtr() { Reset(); }

void TGavioPtr::Reset() {
  if (component_ != nullptr) {
    IComponent* c = component_;
    component_ = nullptr;
    c->Destroy(0);
  }
}

int32_t CreateAndDetach(IComponent** out, uint32_t componentId, const char* registryPath) {
  if (out == nullptr) return 0;
  TGavioPtr pointer(registryPath, componentId);
  *out = pointer.Detach();
  return *out != nullptr ? 1 : 0;
}

}  // namespace gavio
