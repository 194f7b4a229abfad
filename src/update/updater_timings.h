// The version updater's waits, process-wide. The defaults are the
// updater's contract; tests shorten them to drive every path quickly.
#pragma once

#include <stdint.h>

namespace gavio {

struct UpdaterTimings {
  uint32_t firstAnswerMs = 10000;   // timer 1: the updater's first message
  uint32_t onlineCheckMs = 20000;   // timer 2: the online sign-of-life check
  int64_t onlineSilenceSeconds = 60;  // silence longer than this is a time-out
};

UpdaterTimings GetUpdaterTimings();
void SetUpdaterTimings(const UpdaterTimings& timings);

}  // namespace gavio
