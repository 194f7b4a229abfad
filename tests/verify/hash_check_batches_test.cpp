// The hash-check manager's waiting list: how submissions that find every
// handler busy are packed into batches of at most 256 files, and how a
// batch's answer is split back into one result per submission.
#include <stdio.h>
#include <string.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "verify/hash_check_batches.h"

namespace {

using gavio::HashCheckBatch;
using gavio::HashCheckResult;
using gavio::WaitingBatches;

// A submission's paths: "s<submission>/f<index>".
std::vector<std::array<char, gavio::kVerifyPathMax>> Paths(int submission, uint32_t count) {
  std::vector<std::array<char, gavio::kVerifyPathMax>> paths(count);
  for (uint32_t i = 0; i < count; ++i) {
    snprintf(paths[i].data(), paths[i].size(), "s%d/f%u", submission, i);
  }
  return paths;
}

struct Expected {
  uint32_t count;
  std::vector<uint32_t> boundaries;
};

struct Case {
  const char* name;
  std::vector<uint32_t> submissions;
  std::vector<Expected> batches;
};

TEST(HashCheckBatchesTest, SubmissionsPackIntoBatchesWithoutBeingCut) {
  const Case cases[] = {
      {"three of 100", {100, 100, 100}, {{200, {100}}, {100, {}}}},
      {"one of 300", {300}, {{256, {}}, {44, {}}}},
      {"six of one", {1, 1, 1, 1, 1, 1}, {{6, {1, 2, 3, 4, 5}}}},
      {"exactly full", {56, 200, 1}, {{256, {56}}, {1, {}}}},
      {"600 after 10", {10, 600}, {{10, {}}, {256, {}}, {256, {}}, {88, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WaitingBatches waiting;
    for (size_t s = 0; s < c.submissions.size(); ++s) {
      auto paths = Paths(static_cast<int>(s), c.submissions[s]);
      waiting.Queue(reinterpret_cast<const char(*)[gavio::kVerifyPathMax]>(paths.data()),
                    c.submissions[s]);
    }
    ASSERT_EQ(waiting.Count(), c.batches.size());
    for (size_t b = 0; b < c.batches.size(); ++b) {
      EXPECT_EQ(waiting.At(b).task.count, c.batches[b].count) << "batch " << b;
      EXPECT_EQ(waiting.At(b).boundaries, c.batches[b].boundaries) << "batch " << b;
    }
  }
}

// Every submission comes back once, whole and in order, with the verdict
// the answer gave each of its files; files the answer did not cover are
// not verified.
TEST(HashCheckBatchesTest, AnswerSplitsIntoOneResultPerSubmission) {
  WaitingBatches waiting;
  const uint32_t sizes[] = {100, 100, 100};
  for (int s = 0; s < 3; ++s) {
    auto paths = Paths(s, sizes[s]);
    waiting.Queue(reinterpret_cast<const char(*)[gavio::kVerifyPathMax]>(paths.data()), sizes[s]);
  }
  std::unique_ptr<HashCheckBatch> first = waiting.TakeFirst();
  ASSERT_EQ(first->task.count, 200u);
  auto answer = std::make_unique<HashCheckResult>();
  answer->count = 150;  // the service answered for fewer files than asked
  for (uint32_t i = 0; i < 256; ++i) answer->verdicts[i] = i % 2;
  auto piece = std::make_unique<HashCheckResult>();
  std::vector<std::vector<std::string>> reportedPaths;
  std::vector<std::vector<uint32_t>> reportedVerdicts;
  gavio::SplitBySubmission(*first, answer.get(), piece.get(), [&](HashCheckResult* r) {
    reportedPaths.emplace_back();
    reportedVerdicts.emplace_back();
    for (uint32_t i = 0; i < r->count; ++i) {
      reportedPaths.back().push_back(r->paths[i]);
      reportedVerdicts.back().push_back(r->verdicts[i]);
    }
  });
  ASSERT_EQ(reportedPaths.size(), 2u);
  for (int s = 0; s < 2; ++s) {
    ASSERT_EQ(reportedPaths[s].size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) {
      EXPECT_EQ(reportedPaths[s][i], "s" + std::to_string(s) + "/f" + std::to_string(i));
      uint32_t index = s * 100 + i;
      EXPECT_EQ(reportedVerdicts[s][i], index < 150 ? index % 2 : gavio::kHashNotVerified);
    }
  }
  std::unique_ptr<HashCheckBatch> second = waiting.TakeFirst();
  int reports = 0;
  gavio::SplitBySubmission(*second, nullptr, piece.get(), [&](HashCheckResult* r) {
    ++reports;
    EXPECT_EQ(r->count, 100u);
    EXPECT_STREQ(r->paths[99], "s2/f99");
    EXPECT_EQ(r->verdicts[0], gavio::kHashNotVerified);
  });
  EXPECT_EQ(reports, 1);
  EXPECT_TRUE(waiting.Empty());
}

}  // namespace
