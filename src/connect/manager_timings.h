// The connector manager's limits, process-wide. The defaults are the
// manager's contract; tests shorten them to walk hanging servers quickly.
#pragma once

#include <stdint.h>

namespace gavio {

struct ManagerTimings {
  uint32_t checkPeriodMs = 1000;    // how often the limits are looked at
  uint32_t attemptLimitMs = 2900;   // one connect attempt
  uint32_t overallLimitMs = 30000;  // the whole walk
};

ManagerTimings GetManagerTimings();
void SetManagerTimings(const ManagerTimings& timings);

}  // namespace gavio
