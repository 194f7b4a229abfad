// FileSys: plain host folders behind IFileSys. Mounted folders serve
// OpenFile (the first mount, in handle order, whose mount path prefixes the
// path and whose folder holds the file); opened folders serve the root
// operations. Files are read and written whole.
//
// Paths never leave their folder: a ".." component is refused. With case
// sensitivity off, paths are lower-cased and a name the host does not hold
// as written is matched against the host's names without ASCII case.
//
// Thread safety: one lock guards the tables and every operation holds it.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gavio/vfs.h"
#include "vfs/file_sys_base.h"
#include "vfs/host_fs.h"
#include "vfs/vfs_path.h"

namespace gavio {

class ErrorReporter;

// A host folder mounted or opened as a root.
struct HostFolder {
  std::string directory;  // absolute host folder, ending in '/'
  std::string mountPath;  // cleaned, directory form (mounts only)
  int32_t mode = kRootReadOnly;  // (roots only)
};

// One running enumeration of a folder tree. Every folder is listed once:
// one set of folder identities (device, inode) for the whole walk, so
// folder links that loop, or that reach one folder along many ways, cost
// one listing each. A link to a folder inside the walked tree is left out
// (the folder is walked under its own name); a link leading out of it is
// walked like a folder, once. Every name left out is reported.
struct FolderFind {
  int32_t rootHandle = -1;
  const HostFolder* root = nullptr;  // null once the root was closed
  int32_t flags = 0;
  std::string start;    // cleaned, ends in '\' unless empty
  std::string dirPath;  // below start, of the folder being listed
  std::string match;
  std::vector<HostDirEntry> listing;
  size_t index = 0;
  std::deque<std::string> pending;  // dirPaths of folders still to list
  std::set<std::pair<uint64_t, uint64_t>> visited;
  std::string canonicalRoot;  // the start folder with links resolved
  uint32_t skipped = 0;  // names reported and left out
};

class FileSys final : public FileSysBase<FolderFind> {
 public:
  explicit FileSys(ErrorReporter* reporter) : FileSysBase(reporter) {}

  int32_t Init(IFileSysMgr* manager) override;
  void Destroy() override;
  void SetCaseSensitive(int32_t flag) override { caseSensitive_ = flag != 0; }
  int32_t Mount(const char* hostPath, const char* mountPath) override;
  void UnmountAll() override;
  int32_t OpenFile(const char* path, uint32_t flags) override;
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
  int32_t CreateDir(int32_t rootHandle, const char* path) override;
  // Folders store bytes as they are: no filters.
  int32_t RegisterFilter(const char* ext, RWFilter* filter) override { return 0; }
  // Archive head fields do not exist for folders: all return 0.
  int32_t SetRootInfo(int32_t, uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
  int32_t GetRootInfo(int32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*) override { return 0; }
  int32_t SetFdtCoding(int32_t, uint32_t, uint32_t) override { return 0; }
  int32_t ReadArchiveHead(int32_t, uint32_t*, uint32_t*, char*, int32_t) override { return 0; }
  int32_t WriteArchiveHead(int32_t, uint32_t, uint32_t, const char*) override { return 0; }
  int32_t GetAttributes(const char* path) override;
  RWFilter* GetFilter(const char* path, const VfsHead* head) override { return nullptr; }

 private:
  ~FileSys() = default;

  bool PreparePath(const char* path, bool directoryForm, std::string* out) const {
    return PrepareVfsPath(path, directoryForm, caseSensitive_, out);
  }
  // The host path of a cleaned path below folder; false when a component is
  // "..". A trailing '\' is dropped.
  bool HostPathBelow(const std::string& folder, std::string_view path, std::string* out) const;
  // The host's spelling of name in folder, compared without ASCII case.
  static bool FindNameWithoutCase(const std::string& folder, std::string_view name,
                                  std::string* actual);
  const HostFolder* FindRoot(int32_t rootHandle) const;
  // The root a delete may change, with path cleaned into clean and its
  // host path into host; null, with a report, for an unknown or read-only
  // root or a bad path.
  const HostFolder* RootForDelete(int32_t rootHandle, const char* path, std::string* clean,
                              std::string* host);
  // Reads a mounted path from the folder of mount (the mount path must
  // prefix it) into the cache. Returns the file handle or -1.
  int32_t LoadFromMount(int32_t mountHandle, const HostFolder& mount, const std::string& path);
  IBuffer* ReadHostFile(const std::string& hostPath);
  bool WriteHostFile(const std::string& hostPath, const uint8_t* data, size_t n);
  bool ListInto(FolderFind* find);
  int32_t LoadMounted(int32_t mountHandle, const std::string& path, int32_t /*value*/) override;
  bool Advance(FolderFind* find) override;
  void ReportText(const char* text) override;
  // Whether the folder link at path (below the find's root) points into
  // the tree being walked.
  bool LeadsInside(const FolderFind* find, const std::string& path) const;
  // Reports a name the walk leaves out, and counts it.
  void ReportSkipped(FolderFind* find, const std::string& path, const char* why);

  std::map<int32_t, HostFolder> mounts_;
  std::map<int32_t, std::unique_ptr<HostFolder>> roots_;
};

// Creates and initialises the folder file system (manager may be null).
IFileSys* CreateFileSys(IFileSysMgr* manager, ErrorReporter* reporter);

}  // namespace gavio
