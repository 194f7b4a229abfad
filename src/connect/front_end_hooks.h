// A test seam of the connector front-ends, process-wide. The hook, when
// set, runs on the front-end's thread right after each wait-list block went
// to the connector. No transport raises an event inside a send today; tests
// use the hook to do there what a listener of such an event may do (destroy
// or disconnect the front-end).
#pragma once

#include "gavio/connect.h"

namespace gavio {

using WaitListSendHook = void (*)(IConnectorFrontEnd* frontEnd);

// Null removes the hook.
void SetWaitListSendHook(WaitListSendHook hook);

}  // namespace gavio
