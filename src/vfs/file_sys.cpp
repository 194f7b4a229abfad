#include "vfs/file_sys.h"

#include <algorithm>
#include <new>

#include "vfs/buffer.h"
#include "vfs/buffer_cache.h"
#include "vfs/error_reporter.h"
#include "vfs/file_mapper.h"
#include "vfs/handle_alloc.h"
#include "vfs/host_file.h"
#include "vfs/vfs_path.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\FileSys";

std::string AsFolder(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

}  // namespace

int32_t FileSys::Init(IFileSysMgr* manager) {
  Lock lock(lock_);
  if (initialised_) return 1;
  static const char* const kSilent[4] = {};
  if (!TakeParts(manager, &IFileSysMgr::GetFileMapper, &IFileSysMgr::GetFileCache, kSilent)) return 0;
  initialised_ = true;
  return 1;
}

void FileSys::Destroy() {
  {
    Lock lock(lock_);
    if (initialised_) {
      for (auto& [handle, mount] : mounts_) handles_->Free(handle);
      for (auto& [handle, root] : roots_) handles_->Free(handle);
      finds_.CloseAll(handles_);
      mounts_.clear();
      roots_.clear();
      ReleaseParts();
    }
    initialised_ = false;
  }
  delete this;
}

bool FileSys::HostPathBelow(const std::string& folder, std::string_view path,
                            std::string* out) const {
  std::string host = folder;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = std::min(path.find('\\', pos), path.size());
    std::string_view component = path.substr(pos, end - pos);
    if (component == "..") return false;
    if (!component.empty()) {
      if (!host.empty() && host.back() != '/') host += '/';
      size_t name_at = host.size();
      host.append(component);
      // Paths are lower-cased when case does not matter; the host's names
      // keep theirs, so a name not found as written is looked up without case.
      if (!caseSensitive_ && GetHostPathType(host) == HostPathType::kMissing) {
        std::string actual;
        if (FindNameWithoutCase(host.substr(0, name_at), component, &actual)) {
          host.replace(name_at, std::string::npos, actual);
        }
      }
    }
    pos = end + 1;
  }
  *out = std::move(host);
  return true;
}

bool FileSys::FindNameWithoutCase(const std::string& folder, std::string_view name,
                                  std::string* actual) {
  std::vector<HostDirEntry> entries;
  if (!ListHostDirectory(folder, &entries)) return false;
  for (const HostDirEntry& entry : entries) {
    if (EqualsNoCase(entry.name, name)) {
      *actual = entry.name;
      return true;
    }
  }
  return false;
}

const HostFolder* FileSys::FindRoot(int32_t rootHandle) const {
  auto found = roots_.find(rootHandle);
  return found == roots_.end() ? nullptr : found->second.get();
}

IBuffer* FileSys::ReadHostFile(const std::string& hostPath) {
  HostFile file;
  if (!file.Open(hostPath, HostFile::Mode::kReadOnly)) return nullptr;
  uint64_t size = file.Size();
  if (size > INT32_MAX) {
    VFS_REPORT(reporter_, "file too large");
    return nullptr;
  }
  IBuffer* buffer = CreateBuffer(static_cast<int32_t>(size), reporter_);
  if (buffer != nullptr && size > 0 && !file.ReadAt(0, buffer->Data(), size)) {
    VFS_REPORT(reporter_, "read file error!");
    buffer->Release();
    return nullptr;
  }
  return buffer;
}

bool FileSys::WriteHostFile(const std::string& hostPath, const uint8_t* data, size_t n) {
  if (!WriteHostFileReplacing(hostPath, data, n)) {
    VFS_REPORT(reporter_, "write file error!");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Mounts and loading

int32_t FileSys::Mount(const char* hostPath, const char* mountPath) {
  Lock lock(lock_);
  if (hostPath == nullptr || mountPath == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  HostFolder mount;
  mount.directory = AsFolder(MakeAbsoluteHostPath(hostPath));
  if (!initialised_ || !PreparePath(mountPath, true, &mount.mountPath) ||
      GetHostPathType(mount.directory) != HostPathType::kDirectory) {
    return -1;
  }
  int32_t handle = handles_->Alloc();
  if (handle != -1) mounts_[handle] = std::move(mount);
  return handle;
}

void FileSys::UnmountAll() {
  Lock lock(lock_);
  if (!initialised_) return;
  for (auto& [handle, mount] : mounts_) handles_->Free(handle);
  mounts_.clear();
}

int32_t FileSys::LoadFromMount(int32_t mountHandle, const HostFolder& mount, const std::string& path) {
  const std::string& prefix = mount.mountPath;
  if (path.compare(0, prefix.size(), prefix) != 0) return -1;
  std::string host;
  if (!HostPathBelow(mount.directory, std::string_view(path).substr(prefix.size()), &host) ||
      GetHostPathType(host) != HostPathType::kFile) {
    return -1;
  }
  IBuffer* content = ReadHostFile(host);
  if (content == nullptr) return -1;
  int32_t file_handle = cache_->Add(path.c_str(), mountHandle, 0, content);
  if (file_handle == -1) content->Release();
  return file_handle;
}

int32_t FileSys::OpenFile(const char* path, uint32_t flags) {
  Lock lock(lock_);
  std::string clean;
  if (!initialised_ || !OpenKey(path, flags, &clean)) return -1;
  // A mapping left from an earlier mount gives nothing: the mounts have the
  // last word.
  int32_t mapped_root = -1;
  int32_t mapped = LoadMapped(clean, flags, &mapped_root);
  if (mapped != -1) return mapped;
  for (const auto& [handle, mount] : mounts_) {
    int32_t file_handle = LoadFromMount(handle, mount, clean);
    if (file_handle != -1) return file_handle;
  }
  return -1;
}

int32_t FileSys::LoadMounted(int32_t mountHandle, const std::string& path, int32_t /*value*/) {
  auto found = mounts_.find(mountHandle);
  return found == mounts_.end() ? -1 : LoadFromMount(mountHandle, found->second, path);
}

// ---------------------------------------------------------------------------
// Roots

int32_t FileSys::OpenRoot(const char* hostPath, int32_t mode) {
  Lock lock(lock_);
  if (!initialised_ || hostPath == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return -1;
  }
  auto root = std::make_unique<HostFolder>();
  root->directory = AsFolder(MakeAbsoluteHostPath(hostPath));
  root->mode = mode;
  int32_t handle = handles_->Alloc();
  if (handle != -1) roots_[handle] = std::move(root);
  return handle;
}

int32_t FileSys::CloseRoot(int32_t rootHandle) {
  Lock lock(lock_);
  auto found = roots_.find(rootHandle);
  if (!initialised_ || found == roots_.end()) return 0;
  finds_.ForEach([closed = found->second.get()](FolderFind& find) {
    if (find.root == closed) find.root = nullptr;
  });
  roots_.erase(found);
  handles_->Free(rootHandle);
  return 1;
}

IBuffer* FileSys::ReadFileFromRoot(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  const HostFolder* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  std::string clean;
  std::string host;
  if (root == nullptr || !PreparePath(path, false, &clean) ||
      !HostPathBelow(root->directory, clean, &host) || GetHostPathType(host) != HostPathType::kFile) {
    return nullptr;
  }
  return ReadHostFile(host);
}

int32_t FileSys::WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) {
  Lock lock(lock_);
  const HostFolder* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  if (root == nullptr) {
    VFS_REPORT(reporter_, "invalid root handle");
    return 0;
  }
  std::string clean;
  std::string host;
  if (data == nullptr || !PreparePath(path, false, &clean) || clean.empty() || clean.back() == '\\' ||
      !HostPathBelow(root->directory, clean, &host)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  if (root->mode == kRootReadOnly) {
    VFS_REPORT(reporter_, "root couldn't write");
    return 0;
  }
  return WriteHostFile(host, data->Data(), static_cast<size_t>(std::max(data->Size(), 0))) ? 1 : 0;
}

int32_t FileSys::CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                          const char* targetPath) {
  Lock lock(lock_);
  const HostFolder* source = initialised_ ? FindRoot(sourceRoot) : nullptr;
  const HostFolder* target = initialised_ ? FindRoot(targetRoot) : nullptr;
  if (source == nullptr || target == nullptr) {
    VFS_REPORT(reporter_, source == nullptr ? "invalid src root handle" : "invalid trg root handle");
    return 0;
  }
  if (target->mode == kRootReadOnly) {
    VFS_REPORT(reporter_, "root couldn't write");
    return 0;
  }
  std::string source_clean;
  std::string target_clean;
  std::string source_host;
  std::string target_host;
  if (!PreparePath(sourcePath, false, &source_clean) || !PreparePath(targetPath, false, &target_clean) ||
      !HostPathBelow(source->directory, source_clean, &source_host) ||
      !HostPathBelow(target->directory, target_clean, &target_host)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  if (target_clean.empty() || target_clean.back() == '\\' ||
      GetHostPathType(target_host) == HostPathType::kDirectory) {
    target_host = AsFolder(target_host);
    target_host.append(LastComponent(source_clean));
  }
  IBuffer* content = GetHostPathType(source_host) == HostPathType::kFile ? ReadHostFile(source_host)
                                                                        : nullptr;
  if (content == nullptr) {
    VFS_REPORT(reporter_, "src file not exist");
    return 0;
  }
  bool ok = WriteHostFile(target_host, content->Data(), static_cast<size_t>(content->Size()));
  content->Release();
  return ok ? 1 : 0;
}

const HostFolder* FileSys::RootForDelete(int32_t rootHandle, const char* path,
                                              std::string* clean, std::string* host) {
  const HostFolder* root = RootThatMayDelete(initialised_ ? FindRoot(rootHandle) : nullptr);
  if (root == nullptr) return nullptr;
  if (!PreparePath(path, false, clean) || !HostPathBelow(root->directory, *clean, host)) {
    VFS_REPORT(reporter_, "param error!");
    return nullptr;
  }
  return root;
}

int32_t FileSys::DeleteFile(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  std::string clean;
  std::string host;
  const HostFolder* root = RootForDelete(rootHandle, path, &clean, &host);
  if (root == nullptr) return 0;
  if (clean.empty()) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  HostPathType type = GetHostPathType(host);
  if (type == HostPathType::kDirectory) {
    VFS_REPORT(reporter_, "target is dir");
    return 0;
  }
  if (type != HostPathType::kFile || clean.back() == '\\') {
    VFS_REPORT(reporter_, "del file not exist");
    return 0;
  }
  return RemoveHostTree(host) ? 1 : 0;
}

int32_t FileSys::DeleteDir(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  std::string clean;
  std::string host;
  const HostFolder* root = RootForDelete(rootHandle, path, &clean, &host);
  if (root == nullptr) return 0;
  if (clean.empty() || clean == "\\") {
    // Everything in the root, but the root folder itself stays.
    std::vector<HostDirEntry> entries;
    if (!ListHostDirectory(root->directory, &entries)) return 0;
    bool ok = true;
    for (const HostDirEntry& entry : entries) ok = RemoveHostTree(root->directory + entry.name) && ok;
    return ok ? 1 : 0;
  }
  HostPathType type = GetHostPathType(host);
  if (type == HostPathType::kFile) {
    VFS_REPORT(reporter_, "target is file");
    return 0;
  }
  if (type != HostPathType::kDirectory || clean.back() != '\\') {
    VFS_REPORT(reporter_, "del dir not exist");
    return 0;
  }
  return RemoveHostTree(host) ? 1 : 0;
}

int32_t FileSys::GetPathType(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  const HostFolder* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  std::string clean;
  std::string host;
  if (root == nullptr || !PreparePath(path, false, &clean) || clean.empty() ||
      !HostPathBelow(root->directory, clean, &host)) {
    return kPathNotFound;
  }
  // The same forms as in archives: "dir\" names a folder, "file" a file.
  HostPathType type = GetHostPathType(host);
  bool directory_form = clean.back() == '\\';
  if (type == HostPathType::kDirectory && directory_form) return kPathDirectory;
  if (type == HostPathType::kFile && !directory_form) return kPathFile;
  return kPathNotFound;
}

int32_t FileSys::CreateDir(int32_t rootHandle, const char* path) {
  Lock lock(lock_);
  const HostFolder* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  if (root == nullptr) return -1;
  std::string clean;
  std::string host;
  if (root->mode == kRootReadOnly || !PreparePath(path, true, &clean) ||
      !HostPathBelow(root->directory, clean, &host)) {
    return 0;
  }
  return CreateHostDirectories(host) ? 1 : 0;
}

int32_t FileSys::GetAttributes(const char* path) {
  Lock lock(lock_);
  std::string clean;
  std::string host;
  if (!initialised_ || !PreparePath(path, false, &clean)) return -1;
  for (const auto& [handle, root] : roots_) {
    if (HostPathBelow(root->directory, clean, &host) && GetHostPathType(host) != HostPathType::kMissing) {
      return GetHostAttributes(host);
    }
  }
  for (const auto& [handle, mount] : mounts_) {
    if (clean.compare(0, mount.mountPath.size(), mount.mountPath) != 0) continue;
    std::string_view rest = std::string_view(clean).substr(mount.mountPath.size());
    if (HostPathBelow(mount.directory, rest, &host) && GetHostPathType(host) != HostPathType::kMissing) {
      return GetHostAttributes(host);
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Finds

bool FileSys::ListInto(FolderFind* find) {
  std::string host;
  find->listing.clear();
  find->index = 0;
  if (find->root == nullptr ||
      !HostPathBelow(find->root->directory, find->start + find->dirPath, &host)) {
    return false;
  }
  if (find->visited.empty()) {
    uint64_t device = 0;
    uint64_t inode = 0;
    if (!GetHostDirectoryId(host, &device, &inode)) return false;
    find->visited.emplace(device, inode);
    find->canonicalRoot = CanonicalHostPath(host);
  }
  if (!ListHostDirectory(host, &find->listing)) {
    if (!find->dirPath.empty()) ReportSkipped(find, find->start + find->dirPath, "cannot list folder");
    return false;
  }
  return true;
}

void FileSys::ReportSkipped(FolderFind* find, const std::string& path, const char* why) {
  ++find->skipped;
  std::string text = "skipped " + path + ": " + why;
  VFS_REPORT(reporter_, text.c_str());
}

bool FileSys::LeadsInside(const FolderFind* find, const std::string& path) const {
  std::string host;
  if (find->root == nullptr || !HostPathBelow(find->root->directory, path, &host)) return false;
  std::string target = CanonicalHostPath(host);
  const std::string& root = find->canonicalRoot;
  if (target.empty() || root.empty()) return false;
  return target == root ||
         (target.size() > root.size() && target.compare(0, root.size(), root) == 0 &&
          (root.back() == '/' || target[root.size()] == '/'));
}

void FileSys::ReportText(const char* text) { VFS_REPORT(reporter_, text); }

bool FileSys::Advance(FolderFind* find) {
  const bool recursive = (find->flags & kFindRecursive) != 0;
  const bool directories = (find->flags & kFindDirectories) != 0;
  while (find->root != nullptr) {
    while (find->index < find->listing.size()) {
      const HostDirEntry& entry = find->listing[find->index++];
      std::string path = find->start + find->dirPath + entry.name;
      if (entry.isUnreadable) {
        ReportSkipped(find, path, "cannot be read (dangling link or no permission)");
        continue;
      }
      if (!entry.isDirectory && !entry.isFile) {
        ReportSkipped(find, path, "not a regular file or folder");
        continue;
      }
      if (path.size() + (entry.isDirectory ? 1 : 0) > kMaxVfsPath) {
        ReportSkipped(find, path, "path too long");
        continue;
      }
      if (entry.isDirectory) {
        if (recursive) {
          if (entry.isLink && LeadsInside(find, path)) {
            ReportSkipped(find, path, "link to a folder inside the tree");
            continue;
          }
          // A folder met again (through a link) is walked once.
          if (!find->visited.emplace(entry.device, entry.inode).second) {
            ReportSkipped(find, path, "folder already walked through another link");
            continue;
          }
          find->pending.push_back(find->dirPath + entry.name + '\\');
        }
        if (!directories) continue;
        path += '\\';
      }
      find->match = std::move(path);
      return true;
    }
    if (!recursive || find->pending.empty()) return false;
    find->dirPath = std::move(find->pending.front());
    find->pending.pop_front();
    ListInto(find);
  }
  return false;
}

int32_t FileSys::FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) {
  Lock lock(lock_);
  const HostFolder* root = initialised_ ? FindRoot(rootHandle) : nullptr;
  if (root == nullptr) {
    VFS_REPORT(reporter_, "root not found");
    return -1;
  }
  auto find = std::make_unique<FolderFind>();
  if (!PrepareFindStart(startDir, caseSensitive_, &find->start)) return -1;
  find->rootHandle = rootHandle;
  find->root = root;
  find->flags = flags;
  if (!ListInto(find.get()) || find->listing.empty()) {
    if (!find->start.empty()) VFS_REPORT(reporter_, "start path not found!");
    return -1;
  }
  if (!Advance(find.get())) return -1;
  return finds_.Add(handles_, std::move(find));
}

IFileSys* CreateFileSys(IFileSysMgr* manager, ErrorReporter* reporter) {
  auto* file_sys = new (std::nothrow) FileSys(reporter);
  if (file_sys != nullptr && file_sys->Init(manager) == 0) {
    file_sys->Destroy();
    return nullptr;
  }
  return file_sys;
}

}  // namespace gavio
