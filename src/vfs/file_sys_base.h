// FileSysBase: what the folder and the archive file systems share. Both
// take the handle allocator, a mapper and a buffer cache from the manager
// (or make and own their own), serve loaded files from that cache, and
// hand out find handles whose records answer the root and path questions
// the same way; only how a find walks its tree differs (Advance).
//
// Find needs the fields FindTable asks for (rootHandle, start, match).
//
// Thread safety: one recursive lock per file system; every operation here
// holds it, and the derived class holds it in its own.
#pragma once

#include <stdint.h>

#include <mutex>

#include "gavio/vfs.h"
#include "platform/errors.h"
#include "vfs/buffer_cache.h"
#include "vfs/file_mapper.h"
#include "vfs/find_table.h"
#include "vfs/handle_alloc.h"

namespace gavio {

class ErrorReporter;

template <typename Find>
class FileSysBase : public IFileSys {
 public:
  FileSysBase(const FileSysBase&) = delete;
  FileSysBase& operator=(const FileSysBase&) = delete;

  int32_t IsCaseSensitive() override { return caseSensitive_ ? 1 : 0; }
  IBuffer* GetFileBuffer(int32_t fileHandle) override {
    Lock lock(lock_);
    return initialised_ ? cache_->Get(fileHandle) : nullptr;
  }
  int32_t CloseFile(int32_t fileHandle) override {
    Lock lock(lock_);
    return initialised_ && cache_->Release(fileHandle) > 0 ? 1 : 0;
  }
  int32_t SetCacheLimit(int32_t limit) override {
    Lock lock(lock_);
    return initialised_ ? cache_->SetLimit(limit) : 0;
  }
  int32_t FindNext(int32_t findHandle) override {
    Lock lock(lock_);
    Find* find = finds_.Get(findHandle);
    if (find == nullptr) {
      ReportNoFind();
      return 0;
    }
    return Advance(find) ? 1 : 0;
  }
  int32_t FindClose(int32_t findHandle) override {
    Lock lock(lock_);
    return finds_.Close(handles_, findHandle) ? 1 : 0;
  }
  int32_t GetFindRoot(int32_t findHandle) override {
    Lock lock(lock_);
    return finds_.RootOf(findHandle);
  }
  const char* GetFindPath(int32_t findHandle) override {
    Lock lock(lock_);
    return finds_.MatchOf(findHandle);
  }
  const char* GetFindRelativePath(int32_t findHandle) override {
    Lock lock(lock_);
    return finds_.RelativeMatchOf(findHandle);
  }
  int32_t OwnsMapper() override { return ownsMapper_ ? 1 : 0; }
  int32_t OwnsHandleAlloc() override { return ownsHandles_ ? 1 : 0; }

 protected:
  using Lock = std::lock_guard<std::recursive_mutex>;
  // Which of the manager's mappers and caches this file system uses.
  using MapperOf = IFileMapper* (IFileSysMgr::*)();
  using CacheOf = IBufferCache* (IFileSysMgr::*)();

  explicit FileSysBase(ErrorReporter* reporter) : reporter_(reporter) {}
  ~FileSysBase() = default;

  // Moves a find to its next match; false when there is none.
  virtual bool Advance(Find* find) = 0;
  // "hfind not exist", reported under the derived class's source name.
  virtual void ReportNoFind() = 0;

  // Takes the parts from manager, or (manager null) makes and owns them.
  // failures[] are the debugger lines for: parts missing from the manager,
  // no allocator, no mapper, no cache (null: say nothing). On failure
  // nothing is held.
  bool TakeParts(IFileSysMgr* manager, MapperOf mapperOf, CacheOf cacheOf,
                 const char* const failures[4]);
  // Destroys the owned parts (the cache first: it maps its paths back and
  // frees its handle) and forgets all three.
  void ReleaseParts();

  ErrorReporter* reporter_;
  std::recursive_mutex lock_;
  bool initialised_ = false;
  bool caseSensitive_ = true;
  IHandleAlloc* handles_ = nullptr;
  IFileMapper* mapper_ = nullptr;
  IBufferCache* cache_ = nullptr;
  bool ownsHandles_ = false;
  bool ownsMapper_ = false;
  bool ownsCache_ = false;
  FindTable<Find> finds_;
};

template <typename Find>
bool FileSysBase<Find>::TakeParts(IFileSysMgr* manager, MapperOf mapperOf, CacheOf cacheOf,
                                  const char* const failures[4]) {
  if (manager != nullptr) {
    handles_ = manager->GetHandleAlloc();
    mapper_ = (manager->*mapperOf)();
    cache_ = (manager->*cacheOf)();
    if (handles_ != nullptr && mapper_ != nullptr && cache_ != nullptr) return true;
    if (failures[0] != nullptr) OutputDebugStringA(failures[0]);
    ReleaseParts();
    return false;
  }
  handles_ = CreateHandleAlloc(reporter_);
  ownsHandles_ = handles_ != nullptr;
  mapper_ = handles_ != nullptr ? CreateFileMapper(reporter_) : nullptr;
  ownsMapper_ = mapper_ != nullptr;
  cache_ = mapper_ != nullptr ? CreateBufferCache(handles_, mapper_, 0, reporter_) : nullptr;
  ownsCache_ = cache_ != nullptr;
  if (cache_ != nullptr) return true;
  const char* failure = handles_ == nullptr ? failures[1] : mapper_ == nullptr ? failures[2] : failures[3];
  if (failure != nullptr) OutputDebugStringA(failure);
  ReleaseParts();
  return false;
}

template <typename Find>
void FileSysBase<Find>::ReleaseParts() {
  if (ownsCache_) cache_->Destroy();
  if (ownsMapper_) mapper_->Destroy();
  if (ownsHandles_) handles_->Destroy();
  cache_ = nullptr;
  mapper_ = nullptr;
  handles_ = nullptr;
  ownsCache_ = ownsMapper_ = ownsHandles_ = false;
}

}  // namespace gavio
