// FileSysMgr (component 260): the process-wide entry to the virtual file
// system. Owns one handle allocator, an archive mapper and cache, a plain
// mapper and cache, the folder file system and the archive file system
// (registered as "vfs"); mounts folders and archives under one path space,
// remembers which file system issued each handle and forwards to it.
//
// The factory function returns the same instance until it is destroyed;
// then the next request makes a new one.
//
// Thread safety: one recursive lock guards the owner map and the name
// registry and is held for every operation, so callers on several threads
// are serialised.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gavio/ids.h"
#include "gavio/vfs.h"
#include "frame/component_base.h"
#include "vfs/error_reporter.h"

namespace gavio {

class FileSysMgr final : public Component<kFileSysMgrId, IFileSysMgr> {
 public:
  FileSysMgr() = default;

  int32_t Init() override;
  void Release() override;
  int32_t AddFileSystem(IFileSys* fileSys, const char* name) override;
  int32_t RemoveFileSystem(IFileSys* fileSys) override;
  int32_t ReleaseAll() override;
  IFileSys* GetFileSystem(const char* name) override;
  IFileSys* GetOwner(int32_t handle) override;
  IFileSys* GetDefaultFileSys() override { return fileSys_; }
  IHandleAlloc* GetHandleAlloc() override { return handles_; }
  IFileMapper* GetVfsMapper() override;
  IFileMapper* GetFileMapper() override;
  IBufferCache* GetVfsCache() override { return vfsCache_; }
  IBufferCache* GetFileCache() override { return fileCache_; }
  void SetCaseSensitive(int32_t flag) override;
  int32_t IsCaseSensitive() override { return caseSensitive_ ? 1 : 0; }
  int32_t Mount(const char* hostPath, const char* mountPath) override;
  void UnmountAll() override;
  IFileSys* GetHandleOwner(int32_t handle) override { return GetOwner(handle); }
  int32_t OpenFile(const char* path, uint32_t flags) override;
  IBuffer* GetFileBuffer(int32_t fileHandle) override;
  int32_t CloseFile(int32_t fileHandle) override;
  int32_t SetCacheLimits(int32_t plainLimit, int32_t archiveLimit) override;
  void SetArchivesFirst(int32_t flag) override;
  int32_t OpenRoot(const char* hostPath, int32_t mode) override;
  int32_t CloseRoot(int32_t rootHandle) override;
  int32_t CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                   const char* targetPath) override;
  int32_t MoveFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                   const char* targetPath) override;
  IBuffer* ReadFileFromRoot(int32_t rootHandle, const char* path) override;
  int32_t WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) override;
  int32_t DeleteFile(int32_t rootHandle, const char* path) override;
  int32_t DeleteDir(int32_t rootHandle, const char* path) override;
  int32_t FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) override;
  int32_t FindNext(int32_t findHandle) override;
  int32_t FindClose(int32_t findHandle) override;
  int32_t GetFindRoot(int32_t findHandle) override;
  const char* GetFindPath(int32_t findHandle) override;
  const char* GetFindRelativePath(int32_t findHandle) override;
  int32_t NextVfsPath(char* out, int32_t size) override;
  int32_t SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                      uint32_t fdtCoded, uint32_t keySelector) override;
  int32_t GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                      uint32_t* fdtCoded, uint32_t* keySelector) override;
  int32_t SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) override;
  int32_t ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                          int32_t textSize) override;
  int32_t WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                           const char* text) override;
  void ComponentFinalize() override;
  int32_t BaseReserved() override { return 0; }
  int32_t GetAttributes(const char* path) override;
  void SetErrorReporting(int32_t on) override { reporter_.WriteToStderr(on != 0); }
  void SetErrorWriter(void (*writer)(void* context, const char* line), void* context) override {
    reporter_.SetWriter(writer, context);
  }

 private:
  // Only Destroy deletes; the next request then makes a new instance.
  ~FileSysMgr() override;
  // Destroys every part made by Init (also after a failed Init).
  void DestroyParts();
  bool PreparePath(const char* path, std::string* out) const;
  // The archive step and the plain step of OpenFile.
  int32_t OpenFromArchives(const std::string& path, uint32_t flags);
  int32_t OpenFromFolders(const std::string& path, uint32_t flags);
  void Record(int32_t handle, IFileSys* owner);
  void ForgetOwnersOf(IFileSys* fileSys);
  IFileSys* OwnerLocked(int32_t handle) const;

  std::recursive_mutex lock_;
  ErrorReporter reporter_;  // silent until SetErrorReporting
  bool initialised_ = false;
  bool archivesFirst_ = false;
  bool caseSensitive_ = true;
  IHandleAlloc* handles_ = nullptr;
  IFileMapper* vfsMapper_ = nullptr;
  IFileMapper* fileMapper_ = nullptr;
  IBufferCache* vfsCache_ = nullptr;
  IBufferCache* fileCache_ = nullptr;
  IFileSys* fileSys_ = nullptr;  // owned
  IFileSys* vfs_ = nullptr;      // owned until ReleaseAll destroys it
  std::map<std::string, IFileSys*> named_;
  std::vector<IFileSys*> registered_;  // distinct
  std::unordered_map<int32_t, IFileSys*> owners_;
  std::unordered_set<int32_t> mountHandles_;
};

}  // namespace gavio
