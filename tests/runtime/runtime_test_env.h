// The setting every runtime test runs in, made once per program: the real
// factory library handed over as a client would, an INI that turns on
// every log category for the debugger output, a private application-data
// folder (so the trash and the registry are the test's own) and a client
// root folder named in that registry.
#pragma once

#include <string>

#include "gavio/component.h"

namespace runtime_test {

void UseRuntimeEnvironment();
// The client root folder that relative paths resolve against.
const std::string& RootFolder();
// The application-data folder ($XDG_DATA_HOME) of this program.
const std::string& DataFolder();

// Creates a registered component through the host frame, typed.
template <class T>
T* Create(uint32_t componentId);
gavio::IComponent* CreateComponent(uint32_t componentId);
template <class T>
T* Create(uint32_t componentId) {
  return static_cast<T*>(CreateComponent(componentId));
}

}  // namespace runtime_test
