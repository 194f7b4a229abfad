#include "vfs/buffer_cache.h"

#include <algorithm>
#include <new>

#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\BufferCache";

}  // namespace

int32_t BufferCache::Init(IHandleAlloc* handles, IFileMapper* mapper, int32_t limit) {
  std::lock_guard<std::mutex> guard(lock_);
  if (initialised_ || handles == nullptr || mapper == nullptr) return 0;
  handles_ = handles;
  mapper_ = mapper;
  limit_ = std::max(limit, 0);
  total_ = 0;
  ownHandle_ = handles_->Alloc();
  initialised_ = true;
  return 1;
}

void BufferCache::Destroy() {
  Clear();
  if (initialised_ && ownHandle_ != -1) handles_->Free(ownHandle_);
  delete this;
}

void BufferCache::DropLocked(int32_t fileHandle, Slot& slot) {
  CacheEntry& entry = slot.entry;
  mapper_->Map(entry.path.c_str(), entry.rootHandle, entry.value);
  total_ = std::max<int64_t>(total_ - entry.size, 0);
  entry.buffer->Release();
  handles_->Free(fileHandle);
  order_.erase(slot.position);
}

void BufferCache::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!initialised_) return;
  for (auto& [handle, slot] : entries_) DropLocked(handle, slot);
  entries_.clear();
  order_.clear();
  total_ = 0;
}

int32_t BufferCache::TrimLocked() {
  int32_t evicted = 0;
  auto it = order_.begin();
  while (total_ > limit_ && it != order_.end()) {
    int32_t handle = *it++;
    auto found = entries_.find(handle);
    if (found->second.entry.references > 0) continue;
    DropLocked(handle, found->second);
    entries_.erase(found);
    ++evicted;
  }
  return evicted;
}

int32_t BufferCache::SetLimit(int32_t n) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!initialised_) return 0;
  limit_ = std::max(n, 0);
  return TrimLocked();
}

int32_t BufferCache::Add(const char* path, int32_t rootHandle, int32_t value, IBuffer* buffer) {
  if (path == nullptr || buffer == nullptr || rootHandle == -1) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  std::lock_guard<std::mutex> guard(lock_);
  // 0 would be a valid file handle, so "not initialised" is -1 as well.
  if (!initialised_) return -1;
  if (rootHandle == ownHandle_) {
    auto found = entries_.find(value);
    if (found != entries_.end()) order_.splice(order_.end(), order_, found->second.position);
    return -1;
  }
  int32_t handle = handles_->Alloc();
  if (handle == -1) return -1;
  if (mapper_->Map(path, ownHandle_, handle) == 0) {
    handles_->Free(handle);
    return -1;
  }
  Slot slot{CacheEntry{path, rootHandle, value, buffer, 1, buffer->Size()}, order_.end()};
  slot.position = order_.insert(order_.end(), handle);
  total_ += slot.entry.size;
  entries_.emplace(handle, std::move(slot));
  TrimLocked();
  return handle;
}

IBuffer* BufferCache::Get(int32_t fileHandle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(fileHandle);
  if (found == entries_.end()) return nullptr;
  order_.splice(order_.end(), order_, found->second.position);
  return found->second.entry.buffer;
}

int32_t BufferCache::AddRef(int32_t fileHandle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(fileHandle);
  if (found == entries_.end()) return 0;
  return ++found->second.entry.references;
}

int32_t BufferCache::Release(int32_t fileHandle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(fileHandle);
  if (found == entries_.end()) return 0;
  int32_t& references = found->second.entry.references;
  references = std::max(references - 1, 0);
  int32_t result = references;
  TrimLocked();
  return result;
}

size_t BufferCache::EntryCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

int64_t BufferCache::TotalSize() {
  std::lock_guard<std::mutex> guard(lock_);
  return total_;
}

IBufferCache* CreateBufferCache(IHandleAlloc* handles, IFileMapper* mapper, int32_t limit,
                                ErrorReporter* reporter) {
  auto* cache = new (std::nothrow) BufferCache(reporter);
  if (cache == nullptr) {
    VFS_REPORT(reporter, "buffercache interface create error");
    return nullptr;
  }
  if (cache->Init(handles, mapper, limit) == 0) {
    cache->Destroy();
    VFS_REPORT(reporter, "buffercache interface init failed");
    return nullptr;
  }
  return cache;
}

}  // namespace gavio
