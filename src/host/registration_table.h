// The registration table: which factory makes which component id, and
// CreateComponent and GetComponentIDs on top of it.
#pragma once

#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

using FactoryFunction = IComponent* (*)();

inline constexpr uint32_t kMaxRegistrations = 512;

// Adds (id, factory) at the end of the table. Ignored when the table is full,
// id is 0 or factory is null. Duplicates are kept; lookup finds the first.
void RegisterComponentClass(uint32_t componentId, FactoryFunction factory);
// Fills the table from the registration list; run once, at load.
void RegisterAllComponentClasses();

// CreateComponent without the export: the first factory registered for id,
// its instance recorded in the live-instance map.
IComponent* HostCreateComponent(uint32_t componentId, uint32_t creatorId);
uint32_t HostGetComponentIds(uint32_t* ids, uint32_t max);

}  // namespace gavio
