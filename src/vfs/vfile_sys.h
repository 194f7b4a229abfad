// CVFileSys: the archive file system ("vfs"). Mounts archives read-only so
// that their files open by mounted path (through the mapper and the buffer
// cache), and opens archives as roots for editing: writing, reading,
// deleting, copying and enumerating files. An archive opened in modes 1-3
// reaches its file consistently only at CloseRoot, which writes head and
// FDT back (appended data overwrite the old FDT while editing).
//
// Values in the mapper for mounted paths are entry positions in the
// mount's FDT list; LoadFile checks them against the mount, so a stale
// mapping can never reach freed or foreign memory.
//
// Thread safety: one lock guards the mount, root and find tables and entry
// removal, and every operation holds it; an opened archive must still be
// edited by one thread at a time.
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
#include "vfs/archive.h"
#include "vfs/extent_store.h"
#include "vfs/file_sys_base.h"
#include "platform/files.h"
#include "vfs/host_file.h"
#include "vfs/rollback_journal.h"
#include "vfs/vfs_path.h"
#include "vfs/zlib_filter.h"

namespace gavio {

class ErrorReporter;

// An archive mounted read-only under a mount path (its file held under a
// shared lock).
struct MountRecord {
  explicit MountRecord(ErrorReporter* reporter) : archive(reporter) {}
  HostFile file;
  Archive archive;
  std::string archivePath;  // absolute host path
  std::string mountPath;    // cleaned, directory form
  // By list position: an entry that a lookup of its own path finds (no
  // earlier sibling of it or of a parent has the same name with case
  // folded).
  std::vector<bool> firstOfName;
};

// An archive opened for the root operations. Readers hold a shared lock on
// the file, writers an exclusive one, so no other process writes under a
// reader or beside a writer. A writer edits the file in place under a
// rollback journal, committed at the close.
struct RootRecord {
  explicit RootRecord(ErrorReporter* reporter) : archive(reporter) {}
  HostFile file;
  Archive archive;
  std::string archivePath;
  int32_t mode = kRootReadOnly;
  RollbackJournal journal;
  // An edit could not be undone after a failed write: the edit was rolled
  // back to the last commit, the root takes no more edits and the close
  // writes nothing.
  bool failed = false;
};

// One running enumeration.
struct FindRecord {
  int32_t rootHandle = -1;
  RootRecord* root = nullptr;  // null once the root was closed
  FdtEntry* next = nullptr;    // the next node to examine
  std::string start;           // cleaned, ends in '\' unless empty
  std::string match;           // start + dirPath + name of the last match
  std::string dirPath;         // below start, of the chain being walked
  std::deque<std::pair<FdtEntry*, std::string>> pending;  // directories, with their dirPath
  int32_t flags = 0;
};

class CVFileSys final : public FileSysBase<FindRecord> {
 public:
  explicit CVFileSys(ErrorReporter* reporter) : FileSysBase(reporter) {}

  int32_t Init(IFileSysMgr* manager) override;
  void Destroy() override;
  void SetCaseSensitive(int32_t flag) override {
    caseSensitive_ = flag != 0;
    exactNames_ = flag == kCaseExactNames;
  }
  // Mounted archives, read-only, their files opened by mounted path.
  int32_t Mount(const char* hostPath, const char* mountPath) override;
  void UnmountAll() override;
  int32_t OpenFile(const char* path, uint32_t flags) override;

  // Archives opened as roots: reading, editing, walking.
  int32_t OpenRoot(const char* hostPath, int32_t mode) override;
  int32_t CloseRoot(int32_t rootHandle) override;
  IBuffer* ReadFileFromRoot(int32_t rootHandle, const char* path) override;
  int32_t WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) override;
  int32_t CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                   const char* targetPath) override;

  int32_t CreateDir(int32_t rootHandle, const char* path) override;
  int32_t DeleteFile(int32_t rootHandle, const char* path) override;
  int32_t DeleteDir(int32_t rootHandle, const char* path) override;
  int32_t GetPathType(int32_t rootHandle, const char* path) override;
  int32_t FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) override;

  // Filters and head fields.
  int32_t RegisterFilter(const char* ext, RWFilter* filter) override;
  RWFilter* GetFilter(const char* path, const VfsHead* head) override;
  int32_t SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                      uint32_t fdtCoded, uint32_t keySelector) override;
  int32_t GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                      uint32_t* fdtCoded, uint32_t* keySelector) override;
  int32_t SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) override;
  int32_t ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                          int32_t textSize) override;
  int32_t WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                           const char* text) override;
  int32_t GetAttributes(const char* path) override;

  // For tests and tools inside the library: the archive of an opened root.
  Archive* RootArchive(int32_t rootHandle);

 private:
  ~CVFileSys() = default;

  bool InitParts(IFileSysMgr* manager);
  void DestroyParts();
  // Cleans (and lower-cases unless case-sensitive) a path of the archive
  // namespace.
  bool PreparePath(const char* path, bool directoryForm, std::string* out) const {
    return PrepareVfsPath(path, directoryForm, caseSensitive_, out);
  }
  RootRecord* FindRoot(int32_t rootHandle);
  // The file a mounted path names in mount (its mount path must prefix
  // the path), with its list position; null when there is none. hint is
  // the position the mapper held, checked before it is used.
  const FdtEntry* MountedEntry(MountRecord& mount, const std::string& path, int32_t hint, int32_t* index);
  // The entry at position hint when it is exactly what a lookup of
  // relative would find; null when that is not certain.
  const FdtEntry* HintedEntry(const MountRecord& mount, std::string_view relative, int32_t hint) const;
  // The root a delete may change, with path cleaned into clean; null, with
  // a report, for an unknown or read-only root or a bad path.
  RootRecord* RootForDelete(int32_t rootHandle, const char* path, std::string* clean);
  // The head of a mounted or opened archive; null for an unknown handle.
  VfsHead* HeadOf(int32_t rootHandle);
  bool ReadArchive(const HostFile& file, Archive* archive);
  void RegisterMountedFiles(int32_t rootHandle, MountRecord& mount);
  // The entry's content, decoded, as a new buffer (null on failure).
  IBuffer* LoadContent(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                       const std::string& path, ExtentStore::ReadKind kind);
  // The entry's stored bytes as they are.
  IBuffer* LoadStored(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                      ExtentStore::ReadKind kind);
  // The entry's content through the built-in zlib filter, decoded from
  // the stored bytes without a buffer of their own.
  IBuffer* LoadInflated(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                        ExtentStore::ReadKind kind);
  // Reads all stored bytes of entry into out, one read for a one-extent file.
  bool ReadStoredInto(const HostFile& file, const Archive& archive, const FdtEntry& entry, uint8_t* out,
                      ExtentStore::ReadKind kind);
  // The size checks before an allocation, reported when they fail.
  bool StoredSizeFits(const Archive& archive, const FdtEntry& entry);
  bool UnfilteredSizeFits(const FdtEntry& entry);
  // Room for n stored bytes: the kept block, or for a large n a new one
  // that *once owns. Null when it cannot be had.
  uint8_t* Scratch(size_t n, std::unique_ptr<uint8_t[]>* once);
  // Encodes data with the path's filter and stores it as entry's content.
  // Returns the stored length, or -1.
  int64_t StoreContent(RootRecord* root, FdtEntry* entry, const std::string& path, IBuffer* data);
  // Detaches the subtree, ends finds inside it, frees its extents. False,
  // reported, when an extent could not be freed.
  bool RemoveEntry(RootRecord* root, FdtEntry* entry);
  bool CloseRootIndirect(RootRecord* root);
  // Undoes a crashed edit of the archive at path before it is opened;
  // false (reported) when that cannot be done now.
  bool RecoverCrashedEdit(const std::string& path);
  // Opens path for reading under a shared lock; false, reported, when a
  // writer holds it or it needs a recovery that cannot be made.
  bool OpenShared(const std::string& path, HostFile* file);
  // Opens an existing archive for editing under the exclusive lock.
  bool OpenExclusive(const std::string& path, HostFile* file);
  // Makes a missing archive appear whole: a fresh head written beside it
  // and linked into place (another process's new archive is kept).
  bool CreateArchiveFile(const std::string& path);
  // Whether file starts with a whole head (so it holds an archive).
  static bool HoldsHead(const HostFile& file);
  // Runs one edit of root as a statement: when it fails, what it wrote is
  // undone and the in-memory head and entry come back, so the file's
  // content stays as before (and the entries the edit made go away).
  template <typename Edit>
  bool RunStatement(RootRecord* root, FdtEntry* entry, size_t entriesBefore, Edit edit);
  // Whether data fits an archive file (and this archive); reports "file
  // too large" with the limit when not.
  bool FitsArchive(RootRecord* root, IBuffer* data);
  // Whether the root may be edited; reports why not.
  bool Editable(RootRecord* root);
  // A failed write could not be undone: rolls the edit back to what the
  // archive held when it was last committed, ends finds on it, and refuses
  // further edits.
  void FailEdit(RootRecord* root);
  // Forgets the position of every find walking root's entries.
  void EndFindsOn(RootRecord* root);
  // Moves a find to its next match.
  int32_t LoadMounted(int32_t mountHandle, const std::string& path, int32_t value) override;
  bool Advance(FindRecord* find) override;
  void ReportText(const char* text) override;

  bool exactNames_ = false;
  ZlibFilter* zlib_ = nullptr;         // owned
  std::unique_ptr<uint8_t[]> scratch_;  // see Scratch; under lock_
  size_t scratchSize_ = 0;
  RWFilter* coder_ = nullptr;          // owned
  RWFilter* defaultFilter_ = nullptr;  // zlib_ unless replaced by RegisterFilter("")
  std::map<std::string, RWFilter*> filters_;  // by lower-case extension; not owned
  std::map<int32_t, std::unique_ptr<MountRecord>> mounts_;
  std::map<int32_t, std::unique_ptr<RootRecord>> roots_;
};

// Creates and initialises the archive file system (manager may be null).
// Null on failure, with "vfs inerface create error" / "vfs inerface init
// failed" on the debugger output.
IFileSys* CreateVFileSys(IFileSysMgr* manager, ErrorReporter* reporter);

}  // namespace gavio
