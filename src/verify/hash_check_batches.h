// The hash-check manager's waiting list: submissions that found every
// handler busy, packed into batches of at most 256 files (one handler's
// request), each with the indexes where one submission ends and the next
// begins, and the split of a batch's answer back into one result per
// submission.
//
// A submission joins the last batch only when all its files fit there, so
// no submission is ever cut across two batches (it would otherwise be
// reported twice, once with each part); only a submission longer than a
// whole batch spans several.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "gavio/verify.h"

namespace gavio {

struct HashCheckBatch {
  HashCheckTask task{};
  // Indexes below task.count at which the next submission begins, in order.
  std::vector<uint32_t> boundaries;
};

class WaitingBatches {
 public:
  // Queues count files of one submission.
  void Queue(const char (*paths)[kVerifyPathMax], uint32_t count) {
    HashCheckBatch* last = batches_.empty() ? nullptr : batches_.back().get();
    if (last != nullptr && count <= kHashCheckMaxFiles - last->task.count) {
      last->boundaries.push_back(last->task.count);
      Append(last, paths, count);
      return;
    }
    do {
      uint32_t part = std::min<uint32_t>(count, kHashCheckMaxFiles);
      batches_.push_back(std::make_unique<HashCheckBatch>());
      Append(batches_.back().get(), paths, part);
      paths += part;
      count -= part;
    } while (count > 0);
  }

  bool Empty() const { return batches_.empty(); }
  size_t Count() const { return batches_.size(); }
  const HashCheckBatch& At(size_t index) const { return *batches_[index]; }

  std::unique_ptr<HashCheckBatch> TakeFirst() {
    if (batches_.empty()) return nullptr;
    std::unique_ptr<HashCheckBatch> first = std::move(batches_.front());
    batches_.pop_front();
    return first;
  }

  void Clear() { batches_.clear(); }

 private:
  static void Append(HashCheckBatch* batch, const char (*paths)[kVerifyPathMax], uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      char* to = batch->task.paths[batch->task.count + i];
      memcpy(to, paths[i], kVerifyPathMax - 1);
      to[kVerifyPathMax - 1] = '\0';
    }
    batch->task.count += count;
  }

  std::deque<std::unique_ptr<HashCheckBatch>> batches_;
};

// Calls report(piece) once per submission of batch, in order: piece holds
// that submission's files in their order with their verdicts from answer
// (null, or an index the answer does not cover: not verified).
template <class Report>
void SplitBySubmission(const HashCheckBatch& batch, const HashCheckResult* answer,
                       HashCheckResult* piece, Report report) {
  const uint32_t total = std::min<uint32_t>(batch.task.count, kHashCheckMaxFiles);
  const uint32_t answered = answer == nullptr ? 0 : std::min(answer->count, total);
  uint32_t begin = 0;
  for (size_t i = 0; i <= batch.boundaries.size(); ++i) {
    uint32_t end = i < batch.boundaries.size() ? batch.boundaries[i] : total;
    end = std::clamp(end, begin, total);
    memset(piece, 0, sizeof *piece);
    piece->count = end - begin;
    for (uint32_t k = begin; k < end; ++k) {
      memcpy(piece->paths[k - begin], batch.task.paths[k], kVerifyPathMax);
      piece->verdicts[k - begin] = k < answered ? answer->verdicts[k] : kHashNotVerified;
    }
    report(piece);
    begin = end;
  }
}

}  // namespace gavio
