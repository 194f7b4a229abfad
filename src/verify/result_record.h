// The hash result record a report is made with: a zeroed HashCheckResult
// from the owner's memory manager, lent to the report for the length of
// the call. When the manager refuses one, the record lies on the stack
// instead: a submission's report is never lost for want of memory.
#pragma once

#include "frame/log_sink.h"
#include "gavio/verify.h"
#include "runtime/memory_client.h"

namespace gavio {
namespace result_record_detail {

// Apart, so the stack holds the 67588-byte record only when it is needed.
template <class Report>
__attribute__((noinline)) void ReportOnStack(const Report& report) {
  HashCheckResult record{};
  report(&record);
}

}  // namespace result_record_detail

// Calls report(record) once with a zeroed record; refusedLog goes to the
// error log when the memory manager refuses the block.
template <class Report>
void WithResultRecord(MemoryClient* memory, LogSink* log, const char* refusedLog,
                      const Report& report) {
  auto* record = static_cast<HashCheckResult*>(memory->AllocateZeroed(sizeof(HashCheckResult)));
  if (record == nullptr) {
    log->Error("%s", refusedLog);
    result_record_detail::ReportOnStack(report);
    return;
  }
  report(record);
  memory->Release(record);
}

}  // namespace gavio
