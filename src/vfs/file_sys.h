// FileSys: plain host folders behind IFileSys. Mounted folders serve
// OpenFile (the first mount, in handle order, whose mount path prefixes the
// path and whose folder holds the file); opened folders serve the root
// operations. Files are read and written whole.
//
// Paths never leave their folder: a ".." component is refused. Names are
// the host's, so with case sensitivity off (paths lower-cased) only
// lower-case host names are found.
//
// Thread safety: one lock guards the tables and every operation holds it.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gavio/vfs.h"
#include "vfs/find_table.h"
#include "vfs/host_fs.h"
#include "vfs/vfs_path.h"

namespace gavio {

class ErrorReporter;

class FileSys final : public IFileSys {
 public:
  explicit FileSys(ErrorReporter* reporter) : reporter_(reporter) {}
  FileSys(const FileSys&) = delete;
  FileSys& operator=(const FileSys&) = delete;

  int32_t Init(IFileSysMgr* manager) override;
  void Destroy() override;
  void SetCaseSensitive(int32_t flag) override { caseSensitive_ = flag != 0; }
  int32_t IsCaseSensitive() override { return caseSensitive_ ? 1 : 0; }
  int32_t Mount(const char* hostPath, const char* mountPath) override;
  void UnmountAll() override;
  int32_t LoadFile(int32_t rootHandle, const char* path, int32_t value, uint32_t flags) override;
  int32_t OpenFile(const char* path, uint32_t flags) override;
  IBuffer* GetFileBuffer(int32_t fileHandle) override;
  int32_t CloseFile(int32_t fileHandle) override;
  int32_t SetCacheLimit(int32_t limit) override;
  int32_t OpenRoot(const char* hostPath, int32_t mode) override;
  int32_t CloseRoot(int32_t rootHandle) override;
  int32_t CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                   const char* targetPath) override;
  IBuffer* ReadFileFromRoot(int32_t rootHandle, const char* path) override;
  int32_t WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) override;
  int32_t DeleteFile(int32_t rootHandle, const char* path) override;
  int32_t DeleteDir(int32_t rootHandle, const char* path) override;
  int32_t GetPathType(int32_t rootHandle, const char* path) override;
  int32_t FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) override;
  int32_t FindNext(int32_t findHandle) override;
  int32_t FindClose(int32_t findHandle) override;
  int32_t GetFindRoot(int32_t findHandle) override;
  const char* GetFindPath(int32_t findHandle) override;
  const char* GetFindRelativePath(int32_t findHandle) override;
  int32_t CreateDir(int32_t rootHandle, const char* path) override;
  // Folders store bytes as they are: no filters.
  int32_t RegisterFilter(const char* ext, RWFilter* filter) override { return 0; }
  int32_t OwnsMapper() override { return ownsMapper_ ? 1 : 0; }
  int32_t OwnsHandleAlloc() override { return ownsHandles_ ? 1 : 0; }
  // Archive head fields do not exist for folders: all return 0.
  int32_t SetRootInfo(int32_t, uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
  int32_t GetRootInfo(int32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*) override { return 0; }
  int32_t SetFdtCoding(int32_t, uint32_t, uint32_t) override { return 0; }
  int32_t ReadArchiveHead(int32_t, uint32_t*, uint32_t*, char*, int32_t) override { return 0; }
  int32_t WriteArchiveHead(int32_t, uint32_t, uint32_t, const char*) override { return 0; }
  int32_t GetAttributes(const char* path) override;
  RWFilter* GetFilter(const char* path, const VfsHead* head) override { return nullptr; }

 private:
  struct Folder {
    std::string directory;  // absolute host folder, ending in '/'
    std::string mountPath;  // cleaned, directory form (mounts only)
    int32_t mode = kRootReadOnly;  // (roots only)
  };
  // Folder identities (device, inode) from the start down to a folder:
  // a symbolic link back to one of them would loop, a link elsewhere is
  // walked like any folder.
  using Ancestors = std::vector<std::pair<uint64_t, uint64_t>>;
  struct PendingFolder {
    std::string dirPath;
    Ancestors ancestors;  // including the folder itself
  };
  struct Find {
    int32_t rootHandle = -1;
    const Folder* root = nullptr;  // null once the root was closed
    int32_t flags = 0;
    std::string start;    // cleaned, ends in '\' unless empty
    std::string dirPath;  // below start, of the folder being listed
    Ancestors ancestors;  // of the folder being listed
    std::string match;
    std::vector<HostDirEntry> listing;
    size_t index = 0;
    std::deque<PendingFolder> pending;
  };

  ~FileSys() = default;

  bool PreparePath(const char* path, bool directoryForm, std::string* out) const {
    return PrepareVfsPath(path, directoryForm, caseSensitive_, out);
  }
  // The host path of a cleaned path below folder; false when a component is
  // "..". A trailing '\' is dropped.
  bool HostPathBelow(const std::string& folder, std::string_view path, std::string* out) const;
  const Folder* FindRoot(int32_t rootHandle) const;
  // The root a delete may change, with path cleaned into clean and its
  // host path into host; null, with a report, for an unknown or read-only
  // root or a bad path.
  const Folder* RootForDelete(int32_t rootHandle, const char* path, std::string* clean,
                              std::string* host);
  // Reads a mounted path from the folder of mount (the mount path must
  // prefix it) into the cache. Returns the file handle or -1.
  int32_t LoadFromMount(int32_t mountHandle, const Folder& mount, const std::string& path);
  IBuffer* ReadHostFile(const std::string& hostPath);
  bool WriteHostFile(const std::string& hostPath, const uint8_t* data, size_t n);
  bool ListInto(Find* find);
  bool Advance(Find* find);

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
  std::map<int32_t, Folder> mounts_;
  std::map<int32_t, std::unique_ptr<Folder>> roots_;
  FindTable<Find> finds_;
};

// Creates and initialises the folder file system (manager may be null).
IFileSys* CreateFileSys(IFileSysMgr* manager, ErrorReporter* reporter);

}  // namespace gavio
