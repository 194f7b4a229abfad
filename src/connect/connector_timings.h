// The connector's connect time-out, process-wide. The default is the
// connector's contract; tests shorten it to drive the time-out paths quickly.
#pragma once

#include <stdint.h>

namespace gavio {

struct ConnectorTimings {
  uint32_t connectTimeoutMs = 120000;  // a connect by address still pending is dropped
};

ConnectorTimings GetConnectorTimings();
void SetConnectorTimings(const ConnectorTimings& timings);

}  // namespace gavio
