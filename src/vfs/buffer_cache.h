// BufferCache: loaded files by file handle. A loaded path is mapped to the
// cache's own handle (value = the file handle) so that opening it again
// finds it; when an entry is evicted its path is mapped back to where the
// content came from, so the next open loads it again.
//
// Entries with references are never evicted. Once the sum of the cached
// sizes passes the limit, entries without references are evicted least
// recently used first (on Add, Release and SetLimit only).
//
// Thread safety: every operation takes the cache's lock. The allocator and
// the mapper have locks of their own and never call back into the cache.
#pragma once

#include <stdint.h>

#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

// One loaded file.
struct CacheEntry {
  std::string path;       // as it was opened
  int32_t rootHandle;     // where the content came from
  int32_t value;          // what the mapper held for the path before loading
  IBuffer* buffer;        // owned
  int32_t references;     // opens not yet closed
  int64_t size;           // counted in the total
};

class BufferCache final : public IBufferCache {
 public:
  explicit BufferCache(ErrorReporter* reporter) : reporter_(reporter) {}

  int32_t Init(IHandleAlloc* handles, IFileMapper* mapper, int32_t limit) override;
  void Destroy() override;
  void Clear() override;
  int32_t SetLimit(int32_t n) override;
  int32_t Add(const char* path, int32_t rootHandle, int32_t value, IBuffer* buffer) override;
  IBuffer* Get(int32_t fileHandle) override;
  int32_t AddRef(int32_t fileHandle) override;
  int32_t Release(int32_t fileHandle) override;
  int32_t OwnHandle() override { return ownHandle_; }

  // For tests: the number of cached entries and their total size.
  size_t EntryCount();
  int64_t TotalSize();

 private:
  struct Slot {
    CacheEntry entry;
    std::list<int32_t>::iterator position;  // in order_
  };

  ~BufferCache() = default;
  // REQUIRES: lock_ held. Evicts until the total fits; returns the count.
  int32_t TrimLocked();
  // REQUIRES: lock_ held. Maps the path back, releases buffer and handle.
  void DropLocked(int32_t fileHandle, Slot& slot);

  ErrorReporter* reporter_;
  std::mutex lock_;
  bool initialised_ = false;
  int32_t ownHandle_ = -1;
  int64_t limit_ = 0;
  int64_t total_ = 0;
  std::list<int32_t> order_;  // least recently used first
  std::unordered_map<int32_t, Slot> entries_;
  IHandleAlloc* handles_ = nullptr;
  IFileMapper* mapper_ = nullptr;
};

// A new, initialised cache, or null with "buffercache interface create
// error" / "buffercache interface init failed".
IBufferCache* CreateBufferCache(IHandleAlloc* handles, IFileMapper* mapper, int32_t limit,
                                ErrorReporter* reporter);

}  // namespace gavio
