#include "vfs/file_sys_mgr.h"

#include <algorithm>
#include <new>

#include "host/factories.h"
#include "frame/factory_lookup.h"
#include "frame/instances.h"
#include "platform/errors.h"
#include "vfs/buffer_cache.h"
#include "vfs/file_mapper.h"
#include "vfs/file_sys.h"
#include "vfs/handle_alloc.h"
#include "vfs/host_fs.h"
#include "vfs/vfile_sys.h"
#include "vfs/vfs_path.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\FileSysMgr";

using Lock = std::lock_guard<std::recursive_mutex>;

std::mutex g_instance_lock;
FileSysMgr* g_instance = nullptr;

std::string LowerName(const char* name) {
  std::string key(name);
  LowerAscii(&key);
  return key;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

FileSysMgr::~FileSysMgr() {
  std::lock_guard<std::mutex> guard(g_instance_lock);
  if (g_instance == this) g_instance = nullptr;
}

int32_t FileSysMgr::Init() {
  Lock lock(lock_);
  if (initialised_) return 1;
  handles_ = CreateHandleAlloc(&reporter_);
  if (handles_ != nullptr) OutputDebugStringA("[vfs]Create Handle sucess!\n");
  vfsMapper_ = handles_ != nullptr ? CreateFileMapper(&reporter_) : nullptr;
  if (vfsMapper_ != nullptr) OutputDebugStringA("[vfs]create vfs filemapper sucess!\n");
  fileMapper_ = vfsMapper_ != nullptr ? CreateFileMapper(&reporter_) : nullptr;
  if (fileMapper_ != nullptr) OutputDebugStringA("[vfs]Create File Mapper Sucess!\n");
  fileCache_ = fileMapper_ != nullptr ? CreateBufferCache(handles_, fileMapper_, 0, &reporter_) : nullptr;
  if (fileCache_ != nullptr) OutputDebugStringA("[vfs]Create File BufferCacheSucess!\n");
  vfsCache_ = fileCache_ != nullptr ? CreateBufferCache(handles_, vfsMapper_, 0, &reporter_) : nullptr;
  if (vfsCache_ != nullptr) OutputDebugStringA("[vfs]Create VFS Cache Success !\n");
  fileSys_ = vfsCache_ != nullptr ? CreateFileSys(this, &reporter_) : nullptr;
  if (fileSys_ != nullptr) OutputDebugStringA("[vfs]Create File Sys Suceess!\n");
  vfs_ = fileSys_ != nullptr ? CreateVFileSys(this, &reporter_) : nullptr;
  if (vfs_ == nullptr) {
    DestroyParts();
    return 0;
  }
  OutputDebugStringA("[vfs]Create vfs Sys Suceess!\n");
  vfs_->SetCaseSensitive(caseSensitive_);
  fileSys_->SetCaseSensitive(caseSensitive_);
  AddFileSystem(vfs_, "vfs");
  archivesFirst_ = false;
  initialised_ = true;
  return 1;
}

void FileSysMgr::DestroyParts() {
  // Archives still opened for editing are written back by their file
  // system's Destroy, before the shared parts go.
  if (vfs_ != nullptr) {
    std::erase(registered_, vfs_);
    std::erase_if(named_, [this](const auto& item) { return item.second == vfs_; });
    vfs_->Destroy();
  }
  if (fileSys_ != nullptr) fileSys_->Destroy();
  if (vfsCache_ != nullptr) vfsCache_->Destroy();
  if (fileCache_ != nullptr) fileCache_->Destroy();
  if (vfsMapper_ != nullptr) vfsMapper_->Destroy();
  if (fileMapper_ != nullptr) fileMapper_->Destroy();
  if (handles_ != nullptr) handles_->Destroy();
  vfs_ = fileSys_ = nullptr;
  vfsCache_ = fileCache_ = nullptr;
  vfsMapper_ = fileMapper_ = nullptr;
  handles_ = nullptr;
  owners_.clear();
  mountHandles_.clear();
  initialised_ = false;
}

void FileSysMgr::ComponentFinalize() {
  Lock lock(lock_);
  DestroyParts();
}

void FileSysMgr::Release() {
  OutputDebugStringA("[vfs]_release");
  Destroy(0);
}

// ---------------------------------------------------------------------------
// Registry of file systems and owners

int32_t FileSysMgr::AddFileSystem(IFileSys* fileSys, const char* name) {
  Lock lock(lock_);
  if (fileSys == nullptr || name == nullptr) {
    VFS_REPORT(&reporter_, "param error!");
    return 0;
  }
  named_[LowerName(name)] = fileSys;
  if (std::find(registered_.begin(), registered_.end(), fileSys) == registered_.end()) {
    registered_.push_back(fileSys);
  }
  return 1;
}

int32_t FileSysMgr::RemoveFileSystem(IFileSys* fileSys) {
  Lock lock(lock_);
  std::erase_if(named_, [fileSys](const auto& item) { return item.second == fileSys; });
  std::erase(registered_, fileSys);
  return 1;
}

void FileSysMgr::ForgetOwnersOf(IFileSys* fileSys) {
  std::erase_if(owners_, [fileSys](const auto& item) { return item.second == fileSys; });
}

int32_t FileSysMgr::ReleaseAll() {
  Lock lock(lock_);
  std::vector<IFileSys*> doomed;
  doomed.swap(registered_);
  named_.clear();
  for (IFileSys* fileSys : doomed) {
    // Handles it issued must not be forwarded to a destroyed object.
    ForgetOwnersOf(fileSys);
    if (fileSys == vfs_) vfs_ = nullptr;
    fileSys->Destroy();
  }
  return 1;
}

IFileSys* FileSysMgr::GetFileSystem(const char* name) {
  Lock lock(lock_);
  if (name == nullptr) return nullptr;
  auto found = named_.find(LowerName(name));
  return found == named_.end() ? nullptr : found->second;
}

IFileSys* FileSysMgr::OwnerLocked(int32_t handle) const {
  auto found = owners_.find(handle);
  return found == owners_.end() ? nullptr : found->second;
}

IFileSys* FileSysMgr::GetOwner(int32_t handle) {
  Lock lock(lock_);
  return OwnerLocked(handle);
}

void FileSysMgr::Record(int32_t handle, IFileSys* owner) {
  if (handle != -1 && owner != nullptr) owners_[handle] = owner;
}

IFileMapper* FileSysMgr::GetVfsMapper() {
  OutputDebugStringA("[vfs]Get vfs Sys Mapper!\n");
  return vfsMapper_;
}

IFileMapper* FileSysMgr::GetFileMapper() {
  OutputDebugStringA("[[vfs]]Get File Sys Mapper!\n");
  return fileMapper_;
}

void FileSysMgr::SetCaseSensitive(int32_t flag) {
  Lock lock(lock_);
  for (IFileSys* fileSys : registered_) fileSys->SetCaseSensitive(flag);
  if (fileSys_ != nullptr) fileSys_->SetCaseSensitive(flag);
  caseSensitive_ = flag != 0;
}

bool FileSysMgr::PreparePath(const char* path, std::string* out) const {
  return PrepareVfsPath(path, false, caseSensitive_, out);
}

// ---------------------------------------------------------------------------
// Mounting and opening

int32_t FileSysMgr::Mount(const char* hostPath, const char* mountPath) {
  Lock lock(lock_);
  if (hostPath == nullptr || mountPath == nullptr) {
    VFS_REPORT(&reporter_, "param error!");
    return -1;
  }
  std::string host = WithoutTrailingSlash(MakeAbsoluteHostPath(hostPath));
  std::string mount;
  int32_t handle = -1;
  IFileSys* owner = nullptr;
  if (initialised_ && !host.empty() && CleanVfsDirPath(mountPath, &mount)) {
    HostPathType type = GetHostPathType(host);
    if (type == HostPathType::kDirectory) {
      owner = fileSys_;
      handle = owner->Mount((host + '/').c_str(), mount.c_str());
    } else if (type == HostPathType::kFile) {
      // Only archives whose extension names a file system ("vfs") mount.
      std::string ext(FileExtension(host));
      owner = ext.empty() ? nullptr : GetFileSystem(ext.c_str());
      if (owner != nullptr) handle = owner->Mount(host.c_str(), mount.c_str());
    }
  }
  if (handle != -1) {
    Record(handle, owner);
    mountHandles_.insert(handle);
  }
  OutputDebugStringA(handle != -1 ? "[VFS_TRACE]mount sucess" : "[VFS_TRACE]mount fails");
  return handle;
}

void FileSysMgr::UnmountAll() {
  Lock lock(lock_);
  for (IFileSys* fileSys : registered_) fileSys->UnmountAll();
  if (fileSys_ != nullptr) fileSys_->UnmountAll();
  for (int32_t handle : mountHandles_) owners_.erase(handle);
  mountHandles_.clear();
  // Mount handles are reused: a mapping left behind would send an old path
  // to whatever is mounted under its handle next.
  if (vfsMapper_ != nullptr) vfsMapper_->Clear();
  if (fileMapper_ != nullptr) fileMapper_->Clear();
}

int32_t FileSysMgr::OpenFromArchives(const std::string& path, uint32_t flags) {
  int32_t value = 0;
  int32_t root = vfsMapper_->Lookup(path.c_str(), &value);
  if (root == -1) return -1;
  IFileSys* owner = OwnerLocked(root);
  if (owner == nullptr) {
    if (root != vfsCache_->OwnHandle()) return -1;
    // Loaded already (and maybe closed, still cached under a limit): one
    // more reference, and the handle has an owner again.
    IFileSys* archives = GetFileSystem("vfs");
    if (archives == nullptr || vfsCache_->AddRef(value) == 0) return -1;
    Record(value, archives);
    return value;
  }
  int32_t file_handle = owner->LoadFile(root, path.c_str(), value, flags | kPathIsClean);
  Record(file_handle, owner);
  return file_handle;
}

int32_t FileSysMgr::OpenFromFolders(const std::string& path, uint32_t flags) {
  // The folder file system looks in the file mapper first and then in its
  // mounts.
  int32_t file_handle = fileSys_->OpenFile(path.c_str(), flags | kPathIsClean);
  Record(file_handle, fileSys_);
  return file_handle;
}

int32_t FileSysMgr::OpenFile(const char* path, uint32_t flags) {
  Lock lock(lock_);
  std::string clean;
  if (!initialised_ || path == nullptr) return -1;
  if ((flags & kPathIsClean) != 0) {
    clean = path;
  } else if (!PreparePath(path, &clean)) {
    return -1;
  }
  if (archivesFirst_) {
    int32_t handle = OpenFromArchives(clean, flags);
    return handle != -1 ? handle : OpenFromFolders(clean, flags);
  }
  int32_t handle = OpenFromFolders(clean, flags);
  return handle != -1 ? handle : OpenFromArchives(clean, flags);
}

IBuffer* FileSysMgr::GetFileBuffer(int32_t fileHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(fileHandle);
  return owner == nullptr ? nullptr : owner->GetFileBuffer(fileHandle);
}

int32_t FileSysMgr::CloseFile(int32_t fileHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(fileHandle);
  if (owner == nullptr) {
    VFS_REPORT(&reporter_, "file handle not exist");
    return 0;
  }
  int32_t still_open = owner->CloseFile(fileHandle);
  if (still_open == 0) owners_.erase(fileHandle);
  return still_open;
}

int32_t FileSysMgr::SetCacheLimits(int32_t plainLimit, int32_t archiveLimit) {
  Lock lock(lock_);
  if (!initialised_) return 0;
  fileCache_->SetLimit(plainLimit);
  vfsCache_->SetLimit(archiveLimit);
  return 1;
}

void FileSysMgr::SetArchivesFirst(int32_t flag) {
  Lock lock(lock_);
  archivesFirst_ = flag != 0;
}

// ---------------------------------------------------------------------------
// Roots

int32_t FileSysMgr::OpenRoot(const char* hostPath, int32_t mode) {
  Lock lock(lock_);
  if (!initialised_ || hostPath == nullptr) {
    VFS_REPORT(&reporter_, "param error!");
    return -1;
  }
  std::string host = WithoutTrailingSlash(MakeAbsoluteHostPath(hostPath));
  if (host.empty()) return -1;
  std::string ext(FileExtension(host));
  IFileSys* archives = ext.empty() ? nullptr : GetFileSystem(ext.c_str());
  IFileSys* owner = nullptr;
  std::string target = host;
  switch (GetHostPathType(host)) {
    case HostPathType::kFile:
      owner = archives;
      break;
    case HostPathType::kDirectory:
      owner = fileSys_;
      target += '/';
      break;
    case HostPathType::kMissing:
      if (mode != kRootOpenAlways && mode != kRootCreate) return -1;
      if (archives != nullptr) {
        std::string parent = HostParentFolder(host);
        if (!parent.empty() && !CreateHostDirectories(parent)) return -1;
        owner = archives;
      } else {
        if (!CreateHostDirectories(host)) return -1;
        owner = fileSys_;
        target += '/';
      }
      break;
    case HostPathType::kOther:
      return -1;
  }
  if (owner == nullptr) return -1;
  int32_t handle = owner->OpenRoot(target.c_str(), mode);
  Record(handle, owner);
  return handle;
}

int32_t FileSysMgr::CloseRoot(int32_t rootHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  if (owner == nullptr || owner->CloseRoot(rootHandle) == 0) return 0;
  owners_.erase(rootHandle);
  return 1;
}

int32_t FileSysMgr::CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                             const char* targetPath) {
  Lock lock(lock_);
  IFileSys* source = OwnerLocked(sourceRoot);
  IFileSys* target = OwnerLocked(targetRoot);
  if (source == nullptr || target == nullptr || sourcePath == nullptr || targetPath == nullptr) {
    return 0;
  }
  // Within one file system the owner copies itself (an archive copies the
  // stored bytes without decoding them).
  if (source == target) return source->CopyFile(sourceRoot, sourcePath, targetRoot, targetPath);
  std::string source_clean;
  std::string target_clean;
  if (!CleanVfsPath(sourcePath, &source_clean) || !CleanVfsPath(targetPath, &target_clean)) return 0;
  if (target_clean.empty() || target_clean.back() == '\\' ||
      target->GetPathType(targetRoot, (target_clean + '\\').c_str()) == kPathDirectory) {
    if (!target_clean.empty() && target_clean.back() != '\\') target_clean += '\\';
    target_clean += LastComponent(source_clean);
  }
  IBuffer* content = source->ReadFileFromRoot(sourceRoot, source_clean.c_str());
  if (content == nullptr) return 0;
  int32_t written = target->WriteFileToRoot(targetRoot, target_clean.c_str(), content);
  content->Release();
  return written != 0 ? 1 : 0;
}

int32_t FileSysMgr::MoveFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                             const char* targetPath) {
  Lock lock(lock_);
  if (CopyFile(sourceRoot, sourcePath, targetRoot, targetPath) == 0) return 0;
  IFileSys* source = OwnerLocked(sourceRoot);
  return source != nullptr && source->DeleteFile(sourceRoot, sourcePath) != 0 ? 1 : 0;
}

IBuffer* FileSysMgr::ReadFileFromRoot(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? nullptr : owner->ReadFileFromRoot(rootHandle, path);
}

int32_t FileSysMgr::WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0 : owner->WriteFileToRoot(rootHandle, path, data);
}

int32_t FileSysMgr::DeleteFile(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0 : owner->DeleteFile(rootHandle, path);
}

int32_t FileSysMgr::DeleteDir(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0 : owner->DeleteDir(rootHandle, path);
}

// ---------------------------------------------------------------------------
// Finds and forwarded head operations

int32_t FileSysMgr::FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  if (owner == nullptr) return -1;
  int32_t handle = owner->FindFirst(rootHandle, startDir, flags);
  Record(handle, owner);
  return handle;
}

int32_t FileSysMgr::FindNext(int32_t findHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(findHandle);
  return owner == nullptr ? 0 : owner->FindNext(findHandle);
}

int32_t FileSysMgr::FindClose(int32_t findHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(findHandle);
  if (owner == nullptr) return 0;
  owners_.erase(findHandle);
  return owner->FindClose(findHandle);
}

int32_t FileSysMgr::GetFindRoot(int32_t findHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(findHandle);
  return owner == nullptr ? -1 : owner->GetFindRoot(findHandle);
}

const char* FileSysMgr::GetFindPath(int32_t findHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(findHandle);
  return owner == nullptr ? nullptr : owner->GetFindPath(findHandle);
}

const char* FileSysMgr::GetFindRelativePath(int32_t findHandle) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(findHandle);
  return owner == nullptr ? nullptr : owner->GetFindRelativePath(findHandle);
}

int32_t FileSysMgr::NextVfsPath(char* out, int32_t size) {
  Lock lock(lock_);
  return vfsMapper_ == nullptr ? -1 : vfsMapper_->Next(out, size);
}

int32_t FileSysMgr::SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                                uint32_t fdtCoded, uint32_t keySelector) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0
                          : owner->SetRootInfo(rootHandle, rootInfo, fileFilterKind, fdtCoded, keySelector);
}

int32_t FileSysMgr::GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                                uint32_t* fdtCoded, uint32_t* keySelector) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0
                          : owner->GetRootInfo(rootHandle, rootInfo, fileFilterKind, fdtCoded, keySelector);
}

int32_t FileSysMgr::SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) {
  Lock lock(lock_);
  IFileSys* owner = OwnerLocked(rootHandle);
  return owner == nullptr ? 0 : owner->SetFdtCoding(rootHandle, fdtCoded, keySelector);
}

int32_t FileSysMgr::ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                                    int32_t textSize) {
  Lock lock(lock_);
  IFileSys* archives = GetFileSystem("vfs");
  return archives == nullptr ? 0 : archives->ReadArchiveHead(fd, number1, number2, text, textSize);
}

int32_t FileSysMgr::WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                                     const char* text) {
  Lock lock(lock_);
  IFileSys* archives = GetFileSystem("vfs");
  return archives == nullptr ? 0 : archives->WriteArchiveHead(fd, number1, number2, text);
}

int32_t FileSysMgr::GetAttributes(const char* path) {
  Lock lock(lock_);
  std::string clean;
  if (!initialised_ || !PreparePath(path, &clean)) return -1;
  // A loaded file is mapped to its cache; the file system that loaded it
  // still finds it through its mounts.
  int32_t root = vfsMapper_->Lookup(clean.c_str(), nullptr);
  IFileSys* owner = root == vfsCache_->OwnHandle() ? GetFileSystem("vfs") : OwnerLocked(root);
  if (root != -1 && owner != nullptr) return owner->GetAttributes(clean.c_str());
  // Host files are mapped only once loaded; the folder file system finds
  // the others through its mounts.
  return fileSys_->GetAttributes(clean.c_str());
}

IComponent* NewFileSysMgr() {
  std::lock_guard<std::mutex> guard(g_instance_lock);
  if (g_instance != nullptr) return g_instance;
  g_instance = new (std::nothrow) FileSysMgr();
  if (g_instance == nullptr) return nullptr;
  // The factory library takes note of the process-wide instance once.
  char registry_path[kPathSize];
  HostGetRegistryPath(registry_path);
  if (IComponentFactory* factory = ObtainFactoryObject(registry_path)) {
    factory->NoteProcessInstance(g_instance);
  }
  return g_instance;
}

}  // namespace gavio
