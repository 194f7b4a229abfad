#include "vfs/handle_alloc.h"

#include <new>

#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\HandleAlloc";

}  // namespace

void HandleAlloc::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  next_ = 0;
  released_.clear();
  isFree_.clear();
}

int32_t HandleAlloc::Alloc() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!released_.empty()) {
    int32_t handle = released_.back();
    released_.pop_back();
    isFree_[static_cast<size_t>(handle)] = false;
    return handle;
  }
  if (next_ == INT32_MAX) return -1;
  isFree_.push_back(false);
  return next_++;
}

int32_t HandleAlloc::Free(int32_t handle) {
  if (handle == -1) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock_);
  // A handle never issued or already free would later be handed out while
  // still (or again) in use.
  if (handle < 0 || handle >= next_ || isFree_[static_cast<size_t>(handle)]) return 0;
  if (handle == next_ - 1) {
    --next_;
    isFree_.pop_back();
  } else {
    released_.push_back(handle);
    isFree_[static_cast<size_t>(handle)] = true;
  }
  return 1;
}

IHandleAlloc* CreateHandleAlloc(ErrorReporter* reporter) {
  auto* alloc = new (std::nothrow) HandleAlloc(reporter);
  if (alloc == nullptr) VFS_REPORT(reporter, "handle alloc interface create error!");
  return alloc;
}

}  // namespace gavio
