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
#include <string>

#include "gavio/vfs.h"
#include "platform/errors.h"
#include "vfs/buffer_cache.h"
#include "vfs/file_mapper.h"
#include "vfs/find_table.h"
#include "vfs/handle_alloc.h"
#include "vfs/vfs_path.h"

namespace gavio {

class ErrorReporter;

template <typename Find>
class FileSysBase : public IFileSys {
 public:
  FileSysBase(const FileSysBase&) = delete;
  FileSysBase& operator=(const FileSysBase&) = delete;

  int32_t IsCaseSensitive() override { return caseSensitive_ ? 1 : 0; }
  int32_t LoadFile(int32_t rootHandle, const char* path, int32_t value, uint32_t flags) override {
    Lock lock(lock_);
    if (!initialised_ || path == nullptr) return -1;
    // A loaded file: the mapper points at the cache, and value is its handle.
    if (rootHandle == cache_->OwnHandle()) return cache_->AddRef(value) > 0 ? value : -1;
    return LoadMounted(rootHandle, path, value);
  }
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
      ReportText("hfind not exist");
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

  // Reads a mounted path from the mount with that handle into the cache:
  // the new file handle, or -1 (also for a handle that is no mount). value
  // is what the mapper held for the path (-1: nothing), only a hint.
  virtual int32_t LoadMounted(int32_t mountHandle, const std::string& path, int32_t value) = 0;
  // Moves a find to its next match; false when there is none.
  virtual bool Advance(Find* find) = 0;
  // The path an open looks up: as given when the caller says it is clean
  // (kPathIsClean), else cleaned; false for a path that cannot be.
  bool OpenKey(const char* path, uint32_t flags, std::string* key) const {
    if (path == nullptr) return false;
    if ((flags & kPathIsClean) != 0) {
      *key = path;
      return true;
    }
    return PrepareVfsPath(path, false, caseSensitive_, key);
  }
  // Loads what the mapper holds for key (setting *mappedRoot, -1 for
  // nothing); -1 when that is nothing that loads.
  int32_t LoadMapped(const std::string& key, uint32_t flags, int32_t* mappedRoot) {
    int32_t value = 0;
    *mappedRoot = mapper_->Lookup(key.c_str(), &value);
    return *mappedRoot == -1 ? -1 : LoadFile(*mappedRoot, key.c_str(), value, flags);
  }
  // Reports a failed check under the derived class's source name.
  virtual void ReportText(const char* text) = 0;

  // The checks every delete makes first: a known root ("root not found")
  // that was not opened read-only ("no right to del file").
  template <typename Root>
  Root* RootThatMayDelete(Root* root) {
    if (!initialised_ || root == nullptr) {
      ReportText("root not found");
      return nullptr;
    }
    if (root->mode == kRootReadOnly) {
      ReportText("no right to del file");
      return nullptr;
    }
    return root;
  }

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
