// How many received bytes a connector keeps waiting behind its full receive
// buffer, process-wide. Unlimited by default (memory is the limit); tests
// lower it to make keeping a back-up chunk fail as it does when memory runs
// out.
#pragma once

#include <stdint.h>

#include "connect/packet_framer.h"

namespace gavio {

struct ConnectorLimits {
  int64_t backupBytes = PacketFramer::kNoBackupLimit;  // read by each Connect
};

ConnectorLimits GetConnectorLimits();
void SetConnectorLimits(const ConnectorLimits& limits);

}  // namespace gavio
