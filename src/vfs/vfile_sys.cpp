// CVFileSys, in five divisions: set-up and teardown; mounting and loading;
// opening and closing roots; editing (write, read, delete, copy, create);
// finds, filters and head fields.
#include "vfs/vfile_sys.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <unordered_set>

#include "platform/errors.h"
#include "vfs/buffer.h"
#include "vfs/buffer_cache.h"
#include "vfs/coder_filter.h"
#include "vfs/error_reporter.h"
#include "vfs/file_mapper.h"
#include "vfs/handle_alloc.h"
#include "vfs/host_fs.h"
#include "vfs/vfs_path.h"
#include "vfs/zlib_filter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\VFileSys";
// zlib expands at most about 1032 times; a larger decoded size in an FDT is
// a lie that must not become an allocation.
constexpr int64_t kMaxExpansion = 1032;
constexpr int64_t kExpansionSlack = 1024;
// Stored bytes of files up to this size are read into one block kept for
// the next load; larger ones get a block of their own.
constexpr size_t kScratchKept = 1 << 20;

}  // namespace

// ---------------------------------------------------------------------------
// Set-up and teardown

int32_t CVFileSys::Init(IFileSysMgr* manager) {
  Lock lock(lock_);
  if (initialised_) return 1;
  if (!InitParts(manager)) return 0;
  zlib_ = CreateZlibFilter(reporter_);
  coder_ = CreateCoderFilter(reporter_);
  if (zlib_ == nullptr || coder_ == nullptr) {
    DestroyParts();
    return 0;
  }
  defaultFilter_ = zlib_;
  initialised_ = true;
  return 1;
}

bool CVFileSys::InitParts(IFileSysMgr* manager) {
  static const char* const kFailures[4] = {
      "[vfs]_CVFileSys init1 Fails!", "[vfs]_CVFileSys create handle Fails!",
      "[vfs]_CVFileSys create mapper Fails!", "[vfs]_CVFileSys create cache Fails!"};
  return TakeParts(manager, &IFileSysMgr::GetVfsMapper, &IFileSysMgr::GetVfsCache, kFailures);
}

void CVFileSys::DestroyParts() {
  if (zlib_ != nullptr) zlib_->Destroy();
  if (coder_ != nullptr) coder_->Destroy();
  zlib_ = nullptr;
  coder_ = defaultFilter_ = nullptr;
  ReleaseParts();
}

void CVFileSys::Destroy() {
  {
    Lock lock(lock_);
    if (initialised_) {
      for (auto& [handle, mount] : mounts_) handles_->Free(handle);
      mounts_.clear();
      for (auto& [handle, root] : roots_) {
        CloseRootIndirect(root.get());
        handles_->Free(handle);
      }
      roots_.clear();
      finds_.CloseAll(handles_);
      filters_.clear();
    }
    DestroyParts();
    initialised_ = false;
  }
  delete this;
}

RootRecord* CVFileSys::FindRoot(int32_t rootHandle) {
  auto found = roots_.find(rootHandle);
  return found == roots_.end() ? nullptr : found->second.get();
}

Archive* CVFileSys::RootArchive(int32_t rootHandle) {
  Lock lock(lock_);
  RootRecord* root = FindRoot(rootHandle);
  return root == nullptr ? nullptr : &root->archive;
}

// ---------------------------------------------------------------------------
// Mounting and loading

bool CVFileSys::ReadArchive(const HostFile& file, Archive* archive) {
  return archive->ReadFdt(file, GetFilter(".?fdt", &archive->head())) && archive->Relink();
}

int32_t CVFileSys::Mount(const char* hostPath, const char* mountPath) {
  Lock lock(lock_);
  if (hostPath == nullptr || mountPath == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  if (!initialised_) return -1;
  // Host paths keep their case: the host file system is case-sensitive.
  std::string archive_path = MakeAbsoluteHostPath(hostPath);
  std::string mount_path;
  if (archive_path.empty() || !PreparePath(mountPath, true, &mount_path)) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  HostPathType type = GetHostPathType(archive_path);
  if (type == HostPathType::kDirectory) return -1;
  // The stored mount path is compared with the one passed as it was, so
  // "data" and "data\" are two mounts.
  for (const auto& [handle, mount] : mounts_) {
    if (EqualsNoCase(mount->archivePath, archive_path) && EqualsNoCase(mount->mountPath, mountPath)) {
      return handle;
    }
  }
  if (type != HostPathType::kFile) return -1;  // trace: "[VFS_TRACE]_VFS_PATH_NOTEXIST %s"

  auto mount = std::make_unique<MountRecord>(reporter_);
  if (!OpenShared(archive_path, &mount->file)) return -1;
  if (!mount->archive.ReadHead(mount->file)) return -1;  // trace: "[VFS]_ReadHead fails"
  if (!ReadArchive(mount->file, &mount->archive)) return -1;
  mount->archivePath = archive_path;
  mount->mountPath = mount_path;
  int32_t handle = handles_->Alloc();
  if (handle == -1) return -1;
  MountRecord* record = mount.get();
  mounts_[handle] = std::move(mount);
  RegisterMountedFiles(handle, *record);
  return handle;
}

namespace {

// Names compared and hashed with ASCII case folded.
struct FoldedHash {
  size_t operator()(std::string_view name) const {
    size_t hash = 14695981039346656037ull;
    for (char c : name) hash = (hash ^ static_cast<unsigned char>(LowerAsciiChar(c))) * 1099511628211ull;
    return hash;
  }
};
struct FoldedEqual {
  bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
};

}  // namespace

void CVFileSys::RegisterMountedFiles(int32_t rootHandle, MountRecord& mount) {
  const Archive& archive = mount.archive;
  mount.firstOfName.assign(archive.Count(), false);
  std::deque<std::pair<FdtEntry*, std::string>> chains;
  chains.emplace_back(archive.First(), mount.mountPath);
  std::unordered_set<std::string_view, FoldedHash, FoldedEqual> seen;
  while (!chains.empty()) {
    auto [node, prefix] = std::move(chains.front());
    chains.pop_front();
    seen.clear();
    const FdtEntry* parent = node == nullptr ? nullptr : archive.Parent(node);
    bool parent_first = parent == nullptr || mount.firstOfName[static_cast<size_t>(archive.IndexOf(parent))];
    for (FdtEntry* n = node; n != nullptr; n = archive.NextSibling(n)) {
      int32_t index = archive.IndexOf(n);
      mount.firstOfName[static_cast<size_t>(index)] = seen.insert(n->name.view()).second && parent_first;
      std::string path = prefix;
      path += n->name.view();
      // Longer paths can never be opened; not descending also keeps a
      // hostile, very deep tree from costing quadratic time.
      if (path.size() > kMaxVfsPath) continue;
      if (n->IsDirectory()) {
        if (FdtEntry* child = archive.FirstChild(n)) chains.emplace_back(child, path + '\\');
        continue;
      }
      if (!caseSensitive_) LowerAscii(&path);
      mapper_->Map(path.c_str(), rootHandle, index);
    }
  }
}

void CVFileSys::UnmountAll() {
  Lock lock(lock_);
  if (!initialised_) return;
  for (auto& [handle, mount] : mounts_) handles_->Free(handle);
  mounts_.clear();
}

int32_t CVFileSys::OpenFile(const char* path, uint32_t flags) {
  Lock lock(lock_);
  if (!initialised_) return -1;
  if (path == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  std::string key;
  if (!OpenKey(path, flags, &key)) return -1;
  int32_t root = -1;
  int32_t file_handle = LoadMapped(key, flags, &root);
  if (file_handle != -1) return file_handle;
  // A mapping left from an earlier mount (or none at all): the mounts have
  // the last word, the latest first, as the latest mount's mapping wins.
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
    if (it->first == root) continue;
    file_handle = LoadFile(it->first, key.c_str(), -1, flags);
    if (file_handle != -1) return file_handle;
  }
  return -1;
}

const FdtEntry* CVFileSys::MountedEntry(MountRecord& mount, const std::string& path, int32_t hint,
                                        int32_t* index) {
  const std::string& prefix = mount.mountPath;
  if (path.size() <= prefix.size() || !EqualsNoCase(std::string_view(path).substr(0, prefix.size()), prefix)) {
    return nullptr;
  }
  std::string_view relative = std::string_view(path).substr(prefix.size());
  const FdtEntry* hinted = HintedEntry(mount, relative, hint);
  if (hinted != nullptr) {
    *index = hint;
    return hinted;
  }
  FdtEntry* entry = mount.archive.Find(relative, false, exactNames_);
  if (entry == nullptr || entry->IsDirectory()) return nullptr;
  *index = mount.archive.IndexOf(entry);
  return *index < 0 ? nullptr : entry;
}

const FdtEntry* CVFileSys::HintedEntry(const MountRecord& mount, std::string_view relative, int32_t hint) const {
  const FdtEntry* entry = mount.archive.At(hint);
  // The marks were taken when the archive was mounted: a hint past them
  // proves nothing.
  if (entry == nullptr || entry->IsDirectory() || static_cast<size_t>(hint) >= mount.firstOfName.size() ||
      !mount.firstOfName[static_cast<size_t>(hint)]) {
    return nullptr;
  }
  // The entry's names, read upwards, must spell the path exactly as the
  // lookup would split it; being first of their names on every level, the
  // lookup would then have found this entry too.
  size_t end = relative.size();
  for (const FdtEntry* e = entry; e != nullptr; e = mount.archive.Parent(e)) {
    size_t size = e->name.size();
    if (size > end) return nullptr;
    std::string_view component = relative.substr(end - size, size);
    if (exactNames_ ? component != e->name.view() : !EqualsNoCase(component, e->name)) return nullptr;
    end -= size;
    if (e->parent != FdtEntry::kNone) {
      if (end == 0 || relative[end - 1] != '\\') return nullptr;
      --end;
    }
  }
  return end == 0 ? entry : nullptr;
}

int32_t CVFileSys::LoadMounted(int32_t rootHandle, const std::string& path, int32_t value) {
  auto found = mounts_.find(rootHandle);
  if (found == mounts_.end()) return -1;
  MountRecord& mount = *found->second;
  // The mapper's value is only a position in some archive's list: handles
  // are reused after an unmount, so the path itself decides which entry of
  // this mount (if any) it names.
  int32_t index = -1;
  const FdtEntry* entry = MountedEntry(mount, path, value, &index);
  if (entry == nullptr) return -1;
  IBuffer* content = LoadContent(mount.file, mount.archive, *entry, path, ExtentStore::ReadKind::kLoad);
  if (content == nullptr) return -1;
  int32_t file_handle = cache_->Add(path.c_str(), rootHandle, index, content);
  if (file_handle == -1) content->Release();
  return file_handle;
}

bool CVFileSys::StoredSizeFits(const Archive& archive, const FdtEntry& entry) {
  // Stored bytes live in the data area, so a larger size is a lie that must
  // not become an allocation.
  uint32_t stored = entry.storedSize;
  uint64_t data_area = archive.head().dataEnd > Archive::kFirstExtent
                           ? archive.head().dataEnd - Archive::kFirstExtent
                           : 0;
  if (stored > data_area || stored > INT32_MAX) {
    VFS_REPORT(reporter_, "file block range error");
    return false;
  }
  return true;
}

bool CVFileSys::ReadStoredInto(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                               uint8_t* out, ExtentStore::ReadKind kind) {
  // Reading never changes the head; the store gets a copy of it.
  VfsHead head = archive.head();
  ExtentStore store(file, head, reporter_);
  uint32_t first = entry.firstExtent;
  uint32_t stored = entry.storedSize;
  return store.ReadSingleExtent(first, stored, out) || store.Read(first, stored, out, kind);
}

IBuffer* CVFileSys::LoadStored(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                               ExtentStore::ReadKind kind) {
  if (!StoredSizeFits(archive, entry)) return nullptr;
  IBuffer* raw = CreateBufferForOverwrite(static_cast<int32_t>(entry.storedSize), reporter_);
  if (raw == nullptr) {
    VFS_REPORT(reporter_, "create buffer error!");
    return nullptr;
  }
  if (!ReadStoredInto(file, archive, entry, raw->Data(), kind)) {
    raw->Release();
    return nullptr;
  }
  return raw;
}

bool CVFileSys::UnfilteredSizeFits(const FdtEntry& entry) {
  int64_t unfiltered = entry.unfilteredSize;
  if (unfiltered > entry.storedSize * kMaxExpansion + kExpansionSlack || unfiltered > INT32_MAX) {
    VFS_REPORT(reporter_, "file size error");
    return false;
  }
  return true;
}

uint8_t* CVFileSys::Scratch(size_t n, std::unique_ptr<uint8_t[]>* once) {
  if (n > kScratchKept) {
    once->reset(new (std::nothrow) uint8_t[n]);
    return once->get();
  }
  if (n > scratchSize_ || scratch_ == nullptr) {
    // Grown in steps, so a run of slightly larger files does not
    // reallocate each time.
    size_t size = std::min(std::max<size_t>({n, 2 * scratchSize_, 4096}), kScratchKept);
    scratch_.reset(new (std::nothrow) uint8_t[size]);
    scratchSize_ = scratch_ != nullptr ? size : 0;
  }
  return scratch_.get();
}

IBuffer* CVFileSys::LoadInflated(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                                 ExtentStore::ReadKind kind) {
  if (!StoredSizeFits(archive, entry)) return nullptr;
  std::unique_ptr<uint8_t[]> once;
  uint8_t* raw = Scratch(entry.storedSize, &once);
  if (raw == nullptr) {
    VFS_REPORT(reporter_, "create buffer error!");
    return nullptr;
  }
  if (!ReadStoredInto(file, archive, entry, raw, kind) || !UnfilteredSizeFits(entry)) return nullptr;
  IBuffer* content = CreateBufferForOverwrite(static_cast<int32_t>(entry.unfilteredSize), reporter_);
  if (content != nullptr && zlib_->DecodeInto(raw, entry.storedSize, content) == 0) {
    content->Release();
    content = nullptr;
  }
  return content;
}

IBuffer* CVFileSys::LoadContent(const HostFile& file, const Archive& archive, const FdtEntry& entry,
                                const std::string& path, ExtentStore::ReadKind kind) {
  // An empty stored file is empty content, whatever its filter. Loading
  // does not even look at its extents.
  if (entry.storedSize == 0 && kind == ExtentStore::ReadKind::kLoad) {
    return CreateBuffer(0, reporter_);
  }
  RWFilter* filter = entry.storedSize == 0 ? nullptr : GetFilter(path.c_str(), &archive.head());
  // The built-in filter decodes straight from the stored bytes.
  if (filter != nullptr && filter == zlib_) return LoadInflated(file, archive, entry, kind);
  IBuffer* raw = LoadStored(file, archive, entry, kind);
  if (raw == nullptr || filter == nullptr) return raw;
  if (!UnfilteredSizeFits(entry)) {
    raw->Release();
    return nullptr;
  }
  IBuffer* content = CreateBuffer(static_cast<int32_t>(entry.unfilteredSize), reporter_);
  bool ok = content != nullptr && filter->PostLoad(raw, content) != 0;
  raw->Release();
  if (!ok && content != nullptr) {
    content->Release();
    content = nullptr;
  }
  return content;
}

// ---------------------------------------------------------------------------
// Opening and closing roots

int32_t CVFileSys::OpenRoot(const char* hostPath, int32_t mode) {
  Lock lock(lock_);
  if (!initialised_ || hostPath == nullptr || mode < kRootReadOnly || mode > kRootCreate) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  std::string archive_path = MakeAbsoluteHostPath(hostPath);
  HostPathType type = GetHostPathType(archive_path);
  if (archive_path.empty() || type == HostPathType::kDirectory) return -1;
  // Two roots editing one file would each write their own FDT over the
  // other's extents.
  for (const auto& [handle, root] : roots_) {
    if (root->archivePath == archive_path && (mode != kRootReadOnly || root->mode != kRootReadOnly)) {
      VFS_REPORT(reporter_, "root already opened");
      return -1;
    }
  }
  auto root = std::make_unique<RootRecord>(reporter_);
  root->archivePath = archive_path;
  root->mode = mode;
  if (mode == kRootReadOnly) {
    if (!OpenShared(archive_path, &root->file)) return -1;
  } else {
    if (type != HostPathType::kFile && (mode == kRootReadWrite || !CreateArchiveFile(archive_path))) {
      return -1;
    }
    if (!OpenExclusive(archive_path, &root->file)) return -1;
    root->journal.Begin(archive_path, &root->file);
  }
  // A zero-length file holds no archive yet; mode 2 treats it as missing.
  bool fresh = mode == kRootCreate || (mode == kRootOpenAlways && root->file.Size() <= kVfsHeadSize &&
                                       !HoldsHead(root->file));
  if (fresh) {
    root->archive.InitNewHead();
    if (!root->file.Truncate(0) || !root->archive.WriteHead(root->file)) {
      VFS_REPORT(reporter_, "write vfs head error");
      root->journal.Rollback();
      return -1;
    }
  } else {
    if (!root->archive.ReadHead(root->file)) {
      VFS_REPORT(reporter_, "read vfs head error!");
      return -1;
    }
    if (!ReadArchive(root->file, &root->archive)) return -1;
  }
  int32_t handle = handles_->Alloc();
  if (handle == -1) return -1;
  roots_[handle] = std::move(root);
  return handle;
}

bool CVFileSys::HoldsHead(const HostFile& file) {
  char magic[4];
  return file.ReadAt(0, magic, sizeof magic) && memcmp(magic, "vfs ", 4) == 0 &&
         file.Size() >= kVfsHeadSize;
}

bool CVFileSys::RecoverCrashedEdit(const std::string& path) {
  if (!RollbackJournal::IsPending(path)) return true;
  HostFile file;
  if (!file.Open(path, HostFile::Mode::kReadWrite) || !file.Lock(true)) {
    VFS_REPORT(reporter_, "archive has an unfinished edit that cannot be undone now");
    return false;
  }
  if (!RollbackJournal::Recover(path, file)) {
    VFS_REPORT(reporter_, "archive has an unfinished edit that cannot be undone now");
    return false;
  }
  return true;
}

bool CVFileSys::OpenShared(const std::string& path, HostFile* file) {
  if (!RecoverCrashedEdit(path) || !file->Open(path, HostFile::Mode::kReadOnly)) return false;
  // A writer that starts after the check holds the lock; one that crashed
  // between the check and the lock left a journal behind.
  if (!file->Lock(false) || RollbackJournal::IsPending(path)) {
    VFS_REPORT(reporter_, "archive is being written by another process");
    file->Close();
    SetLastError(ERROR_LOCK_VIOLATION);
    return false;
  }
  return true;
}

bool CVFileSys::OpenExclusive(const std::string& path, HostFile* file) {
  if (!file->Open(path, HostFile::Mode::kReadWrite)) return false;
  if (!file->Lock(true)) {
    VFS_REPORT(reporter_, "archive is in use by another process");
    file->Close();
    SetLastError(ERROR_LOCK_VIOLATION);
    return false;
  }
  if (RollbackJournal::IsPending(path) && !RollbackJournal::Recover(path, *file)) {
    VFS_REPORT(reporter_, "archive has an unfinished edit that cannot be undone now");
    file->Close();
    return false;
  }
  return true;
}

bool CVFileSys::CreateArchiveFile(const std::string& path) {
  Archive fresh(reporter_);
  fresh.InitNewHead();
  Archive::PrepareHeadForWrite(&fresh.head());
  if (GavioWriteFileAtomic(path.c_str(), &fresh.head(), sizeof(VfsHead), GAVIO_ATOMIC_NO_REPLACE)) {
    return true;
  }
  return GetLastError() == ERROR_ALREADY_EXISTS;
}

bool CVFileSys::CloseRootIndirect(RootRecord* root) {
  if (root == nullptr) {
    VFS_REPORT(reporter_, "CloseRootIndirect proot is NULL");
    return false;
  }
  if (root->mode == kRootReadOnly) return true;
  if (root->failed) {
    VFS_REPORT(reporter_, "archive not written back: a write failed");
    return false;
  }
  root->archive.ReserveFdtPlace();
  bool ok = true;
  if (!root->archive.WriteHead(root->file)) {
    VFS_REPORT(reporter_, "write vfs head error");
    ok = false;
  } else if (!root->archive.WriteFdt(root->file, GetFilter(".?fdt", &root->archive.head()))) {
    VFS_REPORT(reporter_, "write vfs fdt error");
    ok = false;
  } else if (!root->journal.Commit()) {
    VFS_REPORT(reporter_, "write vfs file error");
    ok = false;
  }
  // The previous content comes back now rather than at the next open.
  if (!ok) root->journal.Rollback();
  return ok;
}

int32_t CVFileSys::CloseRoot(int32_t rootHandle) {
  Lock lock(lock_);
  auto found = roots_.find(rootHandle);
  if (!initialised_ || found == roots_.end()) return 0;
  bool written = CloseRootIndirect(found->second.get());
  EndFindsOn(found->second.get());
  roots_.erase(found);
  handles_->Free(rootHandle);
  // The root is closed either way; 0 tells that an edit was not written.
  return written ? 1 : 0;
}

void CVFileSys::EndFindsOn(RootRecord* root) {
  finds_.ForEach([root](FindRecord& find) {
    if (find.root != root) return;
    find.root = nullptr;
    find.next = nullptr;
    find.pending.clear();
  });
}

bool CVFileSys::FitsArchive(RootRecord* root, IBuffer* data) {
  int64_t n = std::max(data->Size(), 0);
  // The filtered form can be a little longer than the content; an extent
  // for all of it must end within the archive's offsets.
  uint64_t bound = static_cast<uint64_t>(n) + (n >> 12) + (n >> 14) + 11 + 2 * root->archive.head().blockSize;
  uint64_t start = std::max<uint64_t>(root->archive.head().dataEnd, Archive::kFirstExtent);
  if (n > kMaxArchiveFileSize || start + bound > kMaxArchiveDataEnd) {
    char text[128];
    snprintf(text, sizeof text, "file too large: %lld bytes, the limit is %lld bytes",
             static_cast<long long>(n),
             static_cast<long long>(n > kMaxArchiveFileSize ? kMaxArchiveFileSize
                                                            : std::max<int64_t>(0, kMaxArchiveDataEnd - start - 2 * root->archive.head().blockSize - 11)));
    VFS_REPORT(reporter_, text);
    SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  return true;
}

bool CVFileSys::Editable(RootRecord* root) {
  if (root->mode == kRootReadOnly) {
    VFS_REPORT(reporter_, "root couldn't write");
    return false;
  }
  if (root->failed) {
    VFS_REPORT(reporter_, "an earlier write failed; the edit was rolled back");
    return false;
  }
  return true;
}

void CVFileSys::FailEdit(RootRecord* root) {
  root->failed = true;
  EndFindsOn(root);
  if (!root->journal.Rollback() || !root->archive.ReadHead(root->file) ||
      !ReadArchive(root->file, &root->archive)) {
    root->archive.Clear();
  }
}

template <typename Edit>
bool CVFileSys::RunStatement(RootRecord* root, FdtEntry* entry, size_t entriesBefore, Edit edit) {
  VfsHead head = root->archive.head();
  FdtContent content = FdtContent::Of(*entry);
  root->journal.BeginStatement();
  if (edit()) {
    root->journal.EndStatement();
    return true;
  }
  if (!root->journal.UndoStatement()) {
    FailEdit(root);
    return false;
  }
  root->archive.head() = head;
  content.RestoreTo(entry);
  if (root->archive.Count() > entriesBefore) {
    EndFindsOn(root);
    root->archive.Detach(root->archive.At(static_cast<int32_t>(entriesBefore)));
  }
  return false;
}

// ---------------------------------------------------------------------------
// Editing

int64_t CVFileSys::StoreContent(RootRecord* root, FdtEntry* entry, const std::string& path,
                                IBuffer* data) {
  ExtentStore store(root->file, root->archive.head(), reporter_);
  RWFilter* filter = GetFilter(path.c_str(), &root->archive.head());
  if (filter == nullptr) {
    uint32_t n = static_cast<uint32_t>(std::max(data->Size(), 0));
    return store.Write(entry, data->Data(), n) ? static_cast<int64_t>(n) : -1;
  }
  IBuffer* encoded = CreateBuffer(filter->Bound(data), reporter_);
  if (encoded == nullptr) return -1;
  int64_t stored = -1;
  if (filter->PreSave(data, encoded) != 0) {
    uint32_t n = static_cast<uint32_t>(encoded->Size());
    if (store.Write(entry, encoded->Data(), n)) {
      entry->unfilteredSize = static_cast<uint32_t>(std::max(data->Size(), 0));
      entry->storedSize = n;
      stored = n;
    }
  }
  encoded->Release();
  return stored;
}

int32_t CVFileSys::WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) {
  Lock lock(lock_);
  if (!initialised_) return 0;
  RootRecord* root = FindRoot(rootHandle);
  if (root == nullptr) {
    VFS_REPORT(reporter_, "invalid root handle");
    return 0;
  }
  std::string clean;
  if (path == nullptr || data == nullptr || !PreparePath(path, false, &clean)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  // Checked before the entry is made, so a read-only root is not changed.
  if (!Editable(root) || !FitsArchive(root, data)) return 0;
  size_t entries_before = root->archive.Count();
  FdtEntry* entry = root->archive.Find(clean, true, exactNames_);
  if (entry == nullptr || entry->IsDirectory()) {
    // Directories the lookup made on the way stay only if they are used.
    if (root->archive.Count() > entries_before) {
      root->archive.Detach(root->archive.At(static_cast<int32_t>(entries_before)));
    }
    VFS_REPORT(reporter_, "write file error!");
    return 0;
  }
  int64_t stored = -1;
  if (!RunStatement(root, entry, entries_before,
                    [&] { return (stored = StoreContent(root, entry, clean, data)) >= 0; })) {
    return 0;
  }
  return static_cast<int32_t>(std::max<int64_t>(stored, 1));
}

IBuffer* CVFileSys::ReadFileFromRoot(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  if (!initialised_) return nullptr;
  RootRecord* root = FindRoot(rootHandle);
  if (root == nullptr) {
    VFS_REPORT(reporter_, "hroot not found");
    return nullptr;
  }
  std::string clean;
  if (!PreparePath(path, false, &clean)) return nullptr;
  FdtEntry* entry = root->archive.Find(clean, false, exactNames_);
  if (entry == nullptr || entry->IsDirectory()) return nullptr;
  return LoadContent(root->file, root->archive, *entry, clean, ExtentStore::ReadKind::kCopy);
}

bool CVFileSys::RemoveEntry(RootRecord* root, FdtEntry* entry) {
  auto removed = root->archive.Detach(entry);
  // Finds walking this archive step past what is gone before it is freed.
  finds_.ForEach([root](FindRecord& find) {
    if (find.root != root) return;
    while (find.next != nullptr && find.next->IsRemoved()) find.next = root->archive.NextSibling(find.next);
    std::erase_if(find.pending, [](const auto& item) { return item.first->IsRemoved(); });
  });
  ExtentStore store(root->file, root->archive.head(), reporter_);
  for (const auto& gone : removed) {
    if (gone->firstExtent != 0 && !store.Release(gone->firstExtent)) {
      // The tree is already consistent without the entries; what could not
      // be released stays unused space.
      VFS_REPORT(reporter_, "free file block error");
      VFS_REPORT(reporter_, "free fdt error");
      return false;
    }
  }
  return true;
}

RootRecord* CVFileSys::RootForDelete(int32_t rootHandle, const char* path, std::string* clean) {
  RootRecord* root = RootThatMayDelete(initialised_ ? FindRoot(rootHandle) : nullptr);
  if (root == nullptr || !Editable(root)) return nullptr;
  if (PreparePath(path, false, clean)) return root;
  VFS_REPORT(reporter_, "param error!");
  return nullptr;
}

int32_t CVFileSys::DeleteFile(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  std::string clean;
  RootRecord* root = RootForDelete(rootHandle, path, &clean);
  if (root == nullptr) return 0;
  FdtEntry* entry = root->archive.Find(clean, false, exactNames_);
  FdtEntry* directory = entry == nullptr ? root->archive.Find(clean + '\\', false, exactNames_) : nullptr;
  if ((entry != nullptr && entry->IsDirectory()) || directory != nullptr) {
    VFS_REPORT(reporter_, "target is dir");
    return 0;
  }
  if (entry == nullptr) {
    VFS_REPORT(reporter_, "del file not exist");
    return 0;
  }
  return RemoveEntry(root, entry) ? 1 : 0;
}

int32_t CVFileSys::DeleteDir(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  std::string clean;
  RootRecord* root = RootForDelete(rootHandle, path, &clean);
  if (root == nullptr) return 0;
  FdtEntry* entry = nullptr;
  if (!clean.empty() && clean != "\\") {
    entry = root->archive.Find(clean, false, exactNames_);
    if (entry == nullptr) {
      VFS_REPORT(reporter_, "del dir not exist");
      return 0;
    }
    if (!entry->IsDirectory()) {
      VFS_REPORT(reporter_, "target is file");
      return 0;
    }
  }
  return RemoveEntry(root, entry) ? 1 : 0;
}

int32_t CVFileSys::GetPathType(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  RootRecord* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  std::string clean;
  if (root == nullptr || !PreparePath(path, false, &clean)) return kPathNotFound;
  FdtEntry* entry = root->archive.Find(clean, false, exactNames_);
  if (entry == nullptr) return kPathNotFound;
  return entry->IsDirectory() ? kPathDirectory : kPathFile;
}

int32_t CVFileSys::CreateDir(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  RootRecord* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  if (root == nullptr) return -1;
  if (root->mode == kRootReadOnly || root->failed) return 0;
  // Directory form, so "a\b" makes the directory b rather than a file b.
  std::string clean;
  if (!PreparePath(path, true, &clean)) return 0;
  FdtEntry* entry = root->archive.Find(clean, true, exactNames_);
  return entry != nullptr && entry->IsDirectory() ? 1 : 0;
}

int32_t CVFileSys::CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                            const char* targetPath) {
  Lock lock(lock_);
  if (!initialised_) return 0;
  RootRecord* source = FindRoot(sourceRoot);
  if (source == nullptr) {
    VFS_REPORT(reporter_, "invalid src root handle");
    return 0;
  }
  RootRecord* target = FindRoot(targetRoot);
  if (target == nullptr) {
    VFS_REPORT(reporter_, "invalid trg root handle");
    return 0;
  }
  std::string source_clean;
  std::string target_clean;
  if (!PreparePath(sourcePath, false, &source_clean) || !PreparePath(targetPath, false, &target_clean)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  if (!Editable(target)) return 0;
  FdtEntry* source_entry = source->archive.Find(source_clean, false, exactNames_);
  if (source_entry == nullptr) {
    VFS_REPORT(reporter_, "src file not exist");
    return 0;
  }
  if (target_clean.empty() || target_clean.back() == '\\' ||
      target->archive.Find(target_clean + '\\', false, exactNames_) != nullptr) {
    if (!target_clean.empty() && target_clean.back() != '\\') target_clean += '\\';
    target_clean += LastComponent(source_clean);
    if (target_clean.size() > kMaxVfsPath) {
      VFS_REPORT(reporter_, "param error!");
      return 0;
    }
  }
  // Same filter on both sides: the stored bytes are copied as they are.
  bool same_filter = GetFilter(source_clean.c_str(), &source->archive.head()) ==
                     GetFilter(target_clean.c_str(), &target->archive.head());
  IBuffer* bytes =
      same_filter ? LoadStored(source->file, source->archive, *source_entry, ExtentStore::ReadKind::kCopy)
                  : LoadContent(source->file, source->archive, *source_entry, source_clean,
                                ExtentStore::ReadKind::kCopy);
  if (bytes == nullptr) {
    VFS_REPORT(reporter_, "write file error!");
    return 0;
  }
  FdtContent source_sizes = FdtContent::Of(*source_entry);
  size_t entries_before = target->archive.Count();
  FdtEntry* target_entry = target->archive.Find(target_clean, true, exactNames_);
  bool ok = false;
  auto store = [&] {
    if (same_filter) {
      ExtentStore store(target->file, target->archive.head(), reporter_);
      ok = store.Write(target_entry, bytes->Data(), static_cast<uint32_t>(bytes->Size()));
      if (ok) {
        target_entry->unfilteredSize = source_sizes.unfilteredSize;
        target_entry->storedSize = source_sizes.storedSize;
      }
    } else {
      ok = StoreContent(target, target_entry, target_clean, bytes) >= 0;
    }
    return ok;
  };
  if (target_entry != nullptr && !target_entry->IsDirectory()) {
    RunStatement(target, target_entry, entries_before, store);
  } else if (target->archive.Count() > entries_before) {
    target->archive.Detach(target->archive.At(static_cast<int32_t>(entries_before)));
  }
  bytes->Release();
  if (!ok) VFS_REPORT(reporter_, "write file error!");
  return ok ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Finds, filters and head fields

bool CVFileSys::Advance(FindRecord* find) {
  const bool recursive = (find->flags & kFindRecursive) != 0;
  const bool directories = (find->flags & kFindDirectories) != 0;
  if (find->root == nullptr) return false;
  const Archive& archive = find->root->archive;
  while (true) {
    while (find->next != nullptr) {
      FdtEntry* node = find->next;
      find->next = archive.NextSibling(node);
      std::string path = find->start + find->dirPath;
      path += node->name.view();
      // No other operation accepts a path this long.
      if (path.size() > kMaxVfsPath) continue;
      if (node->IsDirectory()) {
        if (node->firstChild != FdtEntry::kNone) find->pending.emplace_back(node, find->dirPath);
        if (!directories) continue;
        path += '\\';
      }
      find->match = std::move(path);
      return true;
    }
    if (!recursive || find->pending.empty()) return false;
    auto [directory, dir_path] = std::move(find->pending.front());
    find->pending.pop_front();
    find->dirPath = dir_path;
    find->dirPath += directory->name.view();
    find->dirPath += '\\';
    find->next = archive.FirstChild(directory);
  }
}

int32_t CVFileSys::FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) {
  Lock lock(lock_);
  RootRecord* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  if (root == nullptr) {
    VFS_REPORT(reporter_, "root not found");
    return -1;
  }
  if (root->archive.First() == nullptr) return -1;
  std::string start;
  if (!PrepareFindStart(startDir, caseSensitive_, &start)) return -1;
  auto find = std::make_unique<FindRecord>();
  find->rootHandle = rootHandle;
  find->root = root;
  find->flags = flags;
  if (start.empty()) {
    find->next = root->archive.First();
  } else {
    FdtEntry* directory = root->archive.Find(start, false, exactNames_);
    if (directory == nullptr || !directory->IsDirectory() || directory->firstChild == FdtEntry::kNone) {
      VFS_REPORT(reporter_, "start path not found!");
      return -1;
    }
    find->next = root->archive.FirstChild(directory);
  }
  find->start = start;
  if (!Advance(find.get())) return -1;
  return finds_.Add(handles_, std::move(find));
}

void CVFileSys::ReportText(const char* text) { VFS_REPORT(reporter_, text); }

int32_t CVFileSys::RegisterFilter(const char* ext, RWFilter* filter) {
  Lock lock(lock_);
  if (ext == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  std::string key(ext);
  if (key.empty()) {
    defaultFilter_ = filter != nullptr ? filter : zlib_;
    return 1;
  }
  LowerAscii(&key);
  if (filter == nullptr) {
    filters_.erase(key);
  } else {
    filters_[key] = filter;
  }
  return 1;
}

RWFilter* CVFileSys::GetFilter(const char* path, const VfsHead* head) {
  Lock lock(lock_);
  if (path == nullptr) return defaultFilter_;
  std::string ext(FileExtension(path));
  LowerAscii(&ext);
  if (!ext.empty()) {
    auto found = filters_.find(ext);
    if (found != filters_.end()) return found->second;
  }
  if (!ext.empty() && ext.front() == '?') {
    // trace: "[VFS] Get fdt Encypty ftd" / "[VFS] Get fdt not Encypty ftd"
    if (head == nullptr || head->fdtCoded != 1 || coder_ == nullptr) return nullptr;
    return coder_->SetKey(head->keySelector) != 0 ? coder_ : nullptr;
  }
  if (head != nullptr && head->fileFilterKind > 1) return nullptr;  // trace: "[VFS] Get file Filter"
  return defaultFilter_;
}

VfsHead* CVFileSys::HeadOf(int32_t rootHandle) {
  if (auto mount = mounts_.find(rootHandle); mount != mounts_.end()) return &mount->second->archive.head();
  RootRecord* root = FindRoot(rootHandle);
  return root == nullptr ? nullptr : &root->archive.head();
}

int32_t CVFileSys::SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                               uint32_t fdtCoded, uint32_t keySelector) {
  Lock lock(lock_);
  VfsHead* head = HeadOf(rootHandle);
  if (head == nullptr) return 0;
  head->rootInfo = rootInfo;
  head->fileFilterKind = static_cast<uint8_t>(fileFilterKind);
  head->fdtCoded = static_cast<uint8_t>(fdtCoded);
  head->keySelector = static_cast<uint8_t>(keySelector);
  return 1;
}

int32_t CVFileSys::GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                               uint32_t* fdtCoded, uint32_t* keySelector) {
  Lock lock(lock_);
  const VfsHead* head = HeadOf(rootHandle);
  if (head == nullptr) return 0;
  if (rootInfo != nullptr) *rootInfo = head->rootInfo;
  if (fileFilterKind != nullptr) *fileFilterKind = head->fileFilterKind;
  if (fdtCoded != nullptr) *fdtCoded = head->fdtCoded;
  if (keySelector != nullptr) *keySelector = head->keySelector;
  return 1;
}

int32_t CVFileSys::SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) {
  Lock lock(lock_);
  RootRecord* root = FindRoot(rootHandle);
  if (root == nullptr || root->mode == kRootReadOnly) return 0;
  root->archive.head().fdtCoded = static_cast<uint8_t>(fdtCoded);
  root->archive.head().keySelector = static_cast<uint8_t>(keySelector);
  return 1;
}

int32_t CVFileSys::ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                                   int32_t textSize) {
  VfsHead head;
  if (!HostFile::ReadAt(fd, 0, &head, sizeof head)) return 0;
  if (number1 != nullptr) *number1 = head.archiveNumber1;
  if (number2 != nullptr) *number2 = head.archiveNumber2;
  if (text != nullptr && textSize > 0) {
    size_t n = strnlen(head.description, sizeof head.description);
    n = std::min(n, static_cast<size_t>(textSize - 1));
    memcpy(text, head.description, n);
    text[n] = '\0';
  }
  return 1;
}

int32_t CVFileSys::WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                                    const char* text) {
  // An existing archive keeps its extents and FDT: only the numbers change.
  VfsHead head;
  if (!HostFile::ReadAt(fd, 0, &head, sizeof head) || memcmp(head.magic, "vfs ", 4) != 0) {
    head = VfsHead{};
    memcpy(head.magic, "vfs ", 4);
    head.blockSize = kDefaultBlockSize;
  }
  head.archiveNumber1 = number1;
  head.archiveNumber2 = number2;
  Archive::PrepareHeadForWrite(&head);
  return HostFile::WriteAt(fd, 0, &head, sizeof head) ? 1 : 0;
}

int32_t CVFileSys::GetAttributes(const char* path) {
  Lock lock(lock_);
  std::string clean;
  if (!initialised_ || !PreparePath(path, false, &clean)) return -1;
  auto attributes_in = [&](Archive& archive, const std::string& relative) {
    FdtEntry* entry = archive.Find(relative, false, exactNames_);
    if (entry == nullptr && !relative.empty() && relative.back() != '\\') {
      entry = archive.Find(relative + '\\', false, exactNames_);
    }
    if (entry == nullptr) return -1;
    return entry->IsDirectory() ? kAttributesDirectory : kAttributesFile;
  };
  for (auto& [handle, root] : roots_) {
    int32_t attributes = attributes_in(root->archive, clean);
    if (attributes != -1) return attributes;
  }
  for (auto& [handle, mount] : mounts_) {
    const std::string& prefix = mount->mountPath;
    if (clean.size() < prefix.size() || !EqualsNoCase(std::string_view(clean).substr(0, prefix.size()), prefix)) {
      continue;
    }
    int32_t attributes = attributes_in(mount->archive, clean.substr(prefix.size()));
    if (attributes != -1) return attributes;
  }
  return -1;
}

IFileSys* CreateVFileSys(IFileSysMgr* manager, ErrorReporter* reporter) {
  auto* file_sys = new (std::nothrow) CVFileSys(reporter);
  if (file_sys == nullptr) {
    OutputDebugStringA("vfs inerface create error");
    return nullptr;
  }
  if (file_sys->Init(manager) == 0) {
    OutputDebugStringA("vfs inerface init failed");
    file_sys->Destroy();
    return nullptr;
  }
  return file_sys;
}

}  // namespace gavio
