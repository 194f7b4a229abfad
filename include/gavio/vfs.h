// The virtual file system: byte buffers (256), the file-system manager
// (260), the file systems behind it and the parts they share.
//
// A file is never streamed: OpenFile loads it whole into a buffer held by a
// buffer cache under a file handle, GetFileBuffer hands out that buffer, and
// CloseFile drops the reference. Archives are packed host files (the records
// below fix their byte layout); plain folders sit behind the same IFileSys.
//
// Paths inside the virtual file system use '\' ('/' is accepted and turned
// into '\'); host paths take either separator. Handles of every kind (mounts,
// roots, loaded files, finds) come from one allocator, so they never collide
// across file systems; -1 means none.
//
// Interfaces list their operations in slot order; none has a virtual
// destructor. IFileSysMgr and IBuffer are components (IComponent slots 0-4
// first); the other interfaces are plain objects whose Destroy slot deletes
// them.
//
// Thread safety: HandleAlloc, FileMapper and BufferCache lock their own
// state and may be used from any thread. A file system and the manager are
// meant for one thread at a time (or callers that serialise them); an
// archive opened for editing must be edited by one thread at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gavio/component.h"

namespace gavio {

// ---------------------------------------------------------------------------
// Archive byte layout. All integers are little-endian; offsets are absolute
// positions in the host file. An archive is a VfsHead at offset 0, extents
// (runs of whole blocks holding file data or free space) from offset 156 up
// to the head's data end, and the file descriptor table (FDT) at data end.

inline constexpr uint32_t kVfsMagic = 0x20736676;  // "vfs " in the file
inline constexpr uint32_t kBlockTag = 0x68656164;  // file extents and FDT records
inline constexpr uint32_t kFreeTag = 0x66726565;   // free extents
inline constexpr uint32_t kTailTag = 0x7461696c;   // end of every FdtFixed
inline constexpr uint32_t kDefaultBlockSize = 512;

struct VfsHead {
  uint8_t magic[4];          // "vfs "; not checked when reading
  uint32_t rootInfo;         // free value for callers (SetRootInfo)
  uint32_t blockSize;        // 512 in every archive this system creates
  uint32_t reserved12;
  int32_t freeUnits;         // blocks held by the free list
  uint32_t freeList;         // first free extent, 0 = none
  uint32_t dataEnd;          // one past the last extent; the FDT sits here. 0 = no extent, no FDT
  uint32_t archiveNumber1;
  uint32_t archiveNumber2;
  char description[30];      // NUL-terminated; written as zeros
  uint8_t fileFilterKind;    // 0 or 1: contents are zlib-compressed; else stored as they are
  uint8_t fdtCoded;          // 1: FDT records are letter-coded (the only form read)
  uint8_t keySelector;       // coder alphabet, 0 or 1
  uint8_t reserved69[87];
};
static_assert(sizeof(VfsHead) == 156, "VfsHead is 156 bytes on disk");
static_assert(offsetof(VfsHead, dataEnd) == 24 && offsetof(VfsHead, fileFilterKind) == 66,
              "VfsHead field offsets");
inline constexpr uint32_t kVfsHeadSize = sizeof(VfsHead);

// At the start of every extent that holds file data; the data follow.
struct FileBlockHead {
  uint32_t tag;    // kBlockTag
  uint32_t units;  // extent length in blocks
  uint32_t next;   // the file's next extent, 0 = last
  uint32_t used;   // data bytes in this extent
};
static_assert(sizeof(FileBlockHead) == 16, "FileBlockHead is 16 bytes on disk");

// Over the first 12 bytes of an extent on the free list.
struct FreeBlockHead {
  uint32_t tag;    // kFreeTag
  uint32_t units;
  uint32_t next;   // next free extent, 0 = end of list
};
static_assert(sizeof(FreeBlockHead) == 12, "FreeBlockHead is 12 bytes on disk");

// The fixed part of an FDT record, after the block tag, the name length L
// and the L name bytes. Links are record offsets: positions in the plain
// serialisation of the FDT (the first record is at data end + 4, each next
// one 60 + L further), 0 = none.
struct FdtFixed {
  uint32_t unfilteredSize;  // content length before the content filter
  uint32_t storedSize;      // content length in the extents
  uint32_t kind;            // kFdtFile or kFdtDirectory
  uint32_t firstExtent;     // 0 = no extent
  uint32_t parent;
  uint32_t nextSibling;
  uint32_t prevSibling;
  uint32_t firstChild;
  uint8_t reserved[16];
  uint32_t tailTag;         // kTailTag
};
static_assert(sizeof(FdtFixed) == 52, "FdtFixed is 52 bytes on disk");
inline constexpr uint32_t kFdtFile = 1;
inline constexpr uint32_t kFdtDirectory = 2;

// Path types (GetPathType) and attributes (GetAttributes).
inline constexpr int32_t kPathDirectory = 0;
inline constexpr int32_t kPathFile = 1;
inline constexpr int32_t kPathNotFound = 2;
inline constexpr int32_t kAttributesDirectory = 0x11;
inline constexpr int32_t kAttributesFile = 0x21;

// OpenRoot modes.
inline constexpr int32_t kRootReadOnly = 0;   // must exist; never written back
inline constexpr int32_t kRootReadWrite = 1;  // must exist
inline constexpr int32_t kRootOpenAlways = 2; // created when missing
inline constexpr int32_t kRootCreate = 3;     // always created empty

// The largest file content an archive takes (its filtered form must fit a
// buffer and the archive's 32-bit offsets). WriteFileToRoot refuses larger
// ones with "file too large" before anything is allocated or written.
inline constexpr int64_t kMaxArchiveFileSize = 0x7F000000;
// Offsets are 32 bits wide; extents end at most this far into the file, so
// the table behind them still has room.
inline constexpr uint64_t kMaxArchiveDataEnd = 0xFFFFFFFFull - (64ull << 20);

// SetCaseSensitive value that also compares names inside archives exactly
// (by default they compare with ASCII case folded, whatever the flag), so an
// archive can hold names that differ only in case, as host folders can.
inline constexpr int32_t kCaseExactNames = 2;

// OpenFile / LoadFile flag: the path is clean already.
inline constexpr uint32_t kPathIsClean = 0x8000;

// FindFirst flags. Bit 0 is the recursive flag; bit 1 also reports
// directories (their paths end in '\'), which the walk otherwise skips.
inline constexpr int32_t kFindRecursive = 0x1;
inline constexpr int32_t kFindDirectories = 0x2;

// ---------------------------------------------------------------------------
// Buffer (256): a growable byte block. The bytes from Size() to Capacity()
// are valid memory. Not locked: one owner at a time.

class IBuffer : public IComponent {
 public:
  // 5: allocates request bytes (at least 1), all zero; Capacity() is the
  // allocator's real block size. Returns 0 when the allocation fails or when
  // 0 <= size <= request does not hold.
  virtual int32_t Init(int32_t size, int32_t request) = 0;
  // 6: Destroy(0).
  virtual void Release() = 0;
  // 7: makes Capacity() at least n (growing to 2n up to 4 MiB requests, to
  // n + 4 MiB beyond); new bytes are zero; Size() does not change. Returns
  // 0 when the block cannot grow (the buffer keeps its old block then).
  virtual int32_t Reserve(int32_t n) = 0;
  // 8, 9
  virtual int32_t Capacity() = 0;
  virtual int32_t Size() = 0;
  // 10: n < 0: size 0, returns 0; n <= capacity: size n, returns 1; else
  // size = capacity, returns 0.
  virtual int32_t SetSize(int32_t n) = 0;
  // 11: the block; never null after a successful Init.
  virtual uint8_t* Data() = 0;
  // 12: nothing to release.
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// Parts shared by the file systems. The manager creates one allocator, two
// mappers and two caches and hands them out (GetHandleAlloc, ...); a file
// system used alone creates its own.

class IHandleAlloc {
 public:
  // 0: forgets every handle; the next Alloc returns 0.
  virtual void Reset() = 0;
  // 1: deletes the allocator.
  virtual void Destroy() = 0;
  // 2: the most recently freed handle, else the next new one (0, 1, 2, ...).
  virtual int32_t Alloc() = 0;
  // 3: returns a handle. -1, a handle never issued and a handle already free
  // are refused (0); 1 otherwise.
  virtual int32_t Free(int32_t handle) = 0;
};

// Where each mounted or loaded path's content is: a map from path text
// (stored in ASCII lower case, at most 519 characters) to (root handle,
// value). value is the archive entry for archive paths, 0 for host files,
// or the file handle when the root handle is a cache's own handle.
class IFileMapper {
 public:
  // 0: inserts or overwrites. Returns 0 for a null or over-long path or a
  // root handle of -1.
  virtual int32_t Map(const char* path, int32_t rootHandle, int32_t value) = 0;
  // 1: the root handle (and *value) for the path in any case; -1 when not
  // mapped. value may be null.
  virtual int32_t Lookup(const char* path, int32_t* value) = 0;
  // 2, 3
  virtual void Clear() = 0;
  virtual void Destroy() = 0;
  // 4: copies the key under the cursor into out (cut to size - 1 characters)
  // and advances; returns its root handle, -1 at the end. Entries added or
  // removed meanwhile may or may not be seen.
  virtual int32_t Next(char* out, int32_t size) = 0;
  // 5: cursor to the first entry.
  virtual void Rewind() = 0;
};

// Loaded files by file handle, least recently used evicted first once the
// total size passes the limit; files still referenced are never evicted.
// An evicted path is mapped back to where it came from.
class IBufferCache {
 public:
  // 0: takes its own handle from the allocator. Refused (0) twice or with a
  // null allocator or mapper; both must outlive the cache.
  virtual int32_t Init(IHandleAlloc* handles, IFileMapper* mapper, int32_t limit) = 0;
  // 1: Clear, free the own handle, delete the cache.
  virtual void Destroy() = 0;
  // 2: drops every entry (referenced ones too); paths are mapped back.
  virtual void Clear() = 0;
  // 3: limit = max(n, 0); returns the number of entries evicted.
  virtual int32_t SetLimit(int32_t n) = 0;
  // 4: takes ownership of buffer under a new file handle with one reference
  // and maps path to (OwnHandle(), file handle). Returns -1 (the buffer stays
  // the caller's) on bad arguments, a failed map, or when rootHandle is the
  // own handle (then value is a loaded file handle, which is marked used).
  virtual int32_t Add(const char* path, int32_t rootHandle, int32_t value, IBuffer* buffer) = 0;
  // 5: the cached buffer (still owned by the cache), or null.
  virtual IBuffer* Get(int32_t fileHandle) = 0;
  // 6, 7: the new reference count; 0 for a handle not cached. Release does
  // not go below 0 and may evict.
  virtual int32_t AddRef(int32_t fileHandle) = 0;
  virtual int32_t Release(int32_t fileHandle) = 0;
  // 8
  virtual int32_t OwnHandle() = 0;
};

// A content filter between a file's bytes and what an archive stores. Not
// locked; one filter object may serve several archives of a file system.
class RWFilter {
 public:
  // 0: deletes the filter.
  virtual void Destroy() = 0;
  // 1: bytes the encoded form of input may need (0 for a null input).
  virtual int32_t Bound(IBuffer* input) = 0;
  // 2: encodes input into output (sized by Bound). Non-zero on success.
  virtual int32_t PreSave(IBuffer* input, IBuffer* output) = 0;
  // 3: decodes input into output (sized to the decoded length). Non-zero on
  // success.
  virtual int32_t PostLoad(IBuffer* input, IBuffer* output) = 0;
  // 4: selects a key; 1 when accepted.
  virtual int32_t SetKey(int32_t selector) = 0;
};

class IFileSysMgr;

// ---------------------------------------------------------------------------
// IFileSys: the archive file system ("vfs") and the plain-folder file system
// implement the same 36 operations. Paths given to root operations are
// relative to the root; mount paths prefix what OpenFile sees. Operations
// return 1/0, a handle or -1, a pointer or null; none before Init succeeded.
class IFileSys {
 public:
  // 0: with a manager, uses its allocator, mapper and cache; without, creates
  // its own (cache limit 0). Returns 1 on success.
  virtual int32_t Init(IFileSysMgr* manager) = 0;
  // 1: unmounts everything, closes open roots (archives opened for editing
  // are written back), drops finds, deletes the file system.
  virtual void Destroy() = 0;
  // 2, 3: when clear, paths are lower-cased (ASCII) before use. Default on.
  // kCaseExactNames also makes archive names compare exactly.
  virtual void SetCaseSensitive(int32_t flag) = 0;
  virtual int32_t IsCaseSensitive() = 0;
  // 4: mounts an archive (or a folder) read-only under mountPath. Mounting the
  // same source at the same mount path again returns the same handle.
  virtual int32_t Mount(const char* hostPath, const char* mountPath) = 0;
  // 5: drops every mount; paths already loaded stay loaded.
  virtual void UnmountAll() = 0;
  // 6: loads a mapped path (value as the mapper holds it). Returns the file
  // handle (one more reference when already loaded) or -1.
  virtual int32_t LoadFile(int32_t rootHandle, const char* path, int32_t value, uint32_t flags) = 0;
  // 7: opens a mounted path; flags may carry kPathIsClean. Returns the file
  // handle or -1. Each successful open needs one CloseFile.
  virtual int32_t OpenFile(const char* path, uint32_t flags) = 0;
  // 8: the loaded content, owned by the cache: valid until the last
  // CloseFile of the handle.
  virtual IBuffer* GetFileBuffer(int32_t fileHandle) = 0;
  // 9: drops one reference; 1 while references remain, else 0.
  virtual int32_t CloseFile(int32_t fileHandle) = 0;
  // 10: the cache's SetLimit.
  virtual int32_t SetCacheLimit(int32_t limit) = 0;
  // 11: opens an archive (or a folder) for the root operations below, in
  // one of the kRoot* modes. Returns the root handle or -1.
  virtual int32_t OpenRoot(const char* hostPath, int32_t mode) = 0;
  // 12: closes a root; an archive opened in modes 1-3 gets its head and FDT
  // written back first. Open finds on the root end. 1 when it was open.
  virtual int32_t CloseRoot(int32_t rootHandle) = 0;
  // 13-25: operations on opened roots.
  // 13: copies a file; a target naming a directory (or ending in '\') gets
  // the source's name appended. 1 on success.
  virtual int32_t CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                           const char* targetPath) = 0;
  // 14: a new buffer with the whole file, owned by the caller (Release it);
  // null when missing or unreadable.
  virtual IBuffer* ReadFileFromRoot(int32_t rootHandle, const char* path) = 0;
  // 15: stores data's Size() bytes as the file (creating missing
  // directories; data stays the caller's). Returns a positive number on
  // success (for archives the stored length, at least 1), 0 on failure.
  virtual int32_t WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) = 0;
  // 16, 17: 1 on success. DeleteDir takes the directory with a trailing '\';
  // "" or "\" empties the whole root.
  virtual int32_t DeleteFile(int32_t rootHandle, const char* path) = 0;
  virtual int32_t DeleteDir(int32_t rootHandle, const char* path) = 0;
  // 18: kPathDirectory (path ends in '\'), kPathFile or kPathNotFound.
  virtual int32_t GetPathType(int32_t rootHandle, const char* path) = 0;
  // 19: the first file below startDir (kFind* flags); the find handle or -1
  // when nothing matches. Each handle needs one FindClose.
  virtual int32_t FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) = 0;
  // 20-24: 1 when another match was found. Paths are valid until the next
  // FindNext or FindClose of the handle; GetFindPath is relative to the
  // root, GetFindRelativePath to the start directory.
  virtual int32_t FindNext(int32_t findHandle) = 0;
  virtual int32_t FindClose(int32_t findHandle) = 0;
  virtual int32_t GetFindRoot(int32_t findHandle) = 0;
  virtual const char* GetFindPath(int32_t findHandle) = 0;
  virtual const char* GetFindRelativePath(int32_t findHandle) = 0;
  // 25: creates the directory and its missing parents: 1 created or present,
  // 0 refused, -1 root not found.
  virtual int32_t CreateDir(int32_t rootHandle, const char* path) = 0;
  // 26: files whose extension is ext go through filter (an empty ext
  // replaces the default file filter). The caller keeps ownership and keeps
  // the filter alive until Destroy.
  virtual int32_t RegisterFilter(const char* ext, RWFilter* filter) = 0;
  // 27, 28: whether this file system created (and will delete) them.
  virtual int32_t OwnsMapper() = 0;
  virtual int32_t OwnsHandleAlloc() = 0;
  // 29-31: archive head fields of a mount or opened root (archives only).
  // Only rootInfo survives a close: every head written gets filter kind 0,
  // coded flag 1 and key selector 1.
  virtual int32_t SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                              uint32_t fdtCoded, uint32_t keySelector) = 0;
  virtual int32_t GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                              uint32_t* fdtCoded, uint32_t* keySelector) = 0;
  virtual int32_t SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) = 0;
  // 32, 33: the two archive numbers and description of the archive open on
  // the host file descriptor fd. The write keeps an existing archive's other
  // fields (a fresh head otherwise) and never writes the text.
  virtual int32_t ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                                  int32_t textSize) = 0;
  virtual int32_t WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                                   const char* text) = 0;
  // 34: kAttributesDirectory, kAttributesFile (archives), the host
  // attributes (folders), or -1 when not found.
  virtual int32_t GetAttributes(const char* path) = 0;
  // 35: the filter for a path of an archive with this head, or null.
  virtual RWFilter* GetFilter(const char* path, const VfsHead* head) = 0;
};

// ---------------------------------------------------------------------------
// FileSysMgr (260): one instance per process (every CreateComponent of 260
// returns it until it is destroyed). Mounts folders and ".vfs" archives under
// one path space and forwards every handle operation to the file system that
// issued the handle. Forwarded operations on a handle with no owner return
// 0, -1 or null.
class IFileSysMgr : public IComponent {
 public:
  // 5: creates the shared parts, the folder file system and the archive file
  // system (registered as "vfs"). A second call returns 1 at once.
  virtual int32_t Init() = 0;
  // 6: Destroy(0).
  virtual void Release() = 0;
  // 7-10: named file systems (names compare in ASCII lower case).
  // AddFileSystem does not take ownership; ReleaseAll destroys them all.
  virtual int32_t AddFileSystem(IFileSys* fileSys, const char* name) = 0;
  virtual int32_t RemoveFileSystem(IFileSys* fileSys) = 0;
  virtual int32_t ReleaseAll() = 0;
  virtual IFileSys* GetFileSystem(const char* name) = 0;
  // 11: the file system that issued a handle, or null.
  virtual IFileSys* GetOwner(int32_t handle) = 0;
  // 12-17: the parts (owned by the manager).
  virtual IFileSys* GetDefaultFileSys() = 0;
  virtual IHandleAlloc* GetHandleAlloc() = 0;
  virtual IFileMapper* GetVfsMapper() = 0;
  virtual IFileMapper* GetFileMapper() = 0;
  virtual IBufferCache* GetVfsCache() = 0;
  virtual IBufferCache* GetFileCache() = 0;
  // 18, 19: passed on to every file system (kCaseExactNames included). On
  // by default.
  virtual void SetCaseSensitive(int32_t flag) = 0;
  virtual int32_t IsCaseSensitive() = 0;
  // 20: a folder goes to the folder file system, a file to the file system
  // named by its extension ("vfs"). Returns the mount handle or -1.
  virtual int32_t Mount(const char* hostPath, const char* mountPath) = 0;
  virtual void UnmountAll() = 0;
  // 22: same as 11.
  virtual IFileSys* GetHandleOwner(int32_t handle) = 0;
  // 23-25: see IFileSys. A path present in both a mounted folder and a
  // mounted archive is served from the folder unless archives-first is set.
  virtual int32_t OpenFile(const char* path, uint32_t flags) = 0;
  virtual IBuffer* GetFileBuffer(int32_t fileHandle) = 0;
  virtual int32_t CloseFile(int32_t fileHandle) = 0;
  // 26, 27
  virtual int32_t SetCacheLimits(int32_t plainLimit, int32_t archiveLimit) = 0;
  virtual void SetArchivesFirst(int32_t flag) = 0;
  // 28: an existing file is an archive root, an existing folder a folder
  // root; a missing path (modes 2, 3) becomes an archive when its extension
  // names a file system, else a folder; missing parent folders are created.
  virtual int32_t OpenRoot(const char* hostPath, int32_t mode) = 0;
  virtual int32_t CloseRoot(int32_t rootHandle) = 0;
  // 30, 31: also between an archive and a folder. MoveFile deletes the
  // source after a successful copy.
  virtual int32_t CopyFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                           const char* targetPath) = 0;
  virtual int32_t MoveFile(int32_t sourceRoot, const char* sourcePath, int32_t targetRoot,
                           const char* targetPath) = 0;
  // 32-41: forwarded (see IFileSys).
  virtual IBuffer* ReadFileFromRoot(int32_t rootHandle, const char* path) = 0;
  virtual int32_t WriteFileToRoot(int32_t rootHandle, const char* path, IBuffer* data) = 0;
  virtual int32_t DeleteFile(int32_t rootHandle, const char* path) = 0;
  virtual int32_t DeleteDir(int32_t rootHandle, const char* path) = 0;
  virtual int32_t FindFirst(int32_t rootHandle, const char* startDir, int32_t flags) = 0;
  virtual int32_t FindNext(int32_t findHandle) = 0;
  virtual int32_t FindClose(int32_t findHandle) = 0;
  virtual int32_t GetFindRoot(int32_t findHandle) = 0;
  virtual const char* GetFindPath(int32_t findHandle) = 0;
  virtual const char* GetFindRelativePath(int32_t findHandle) = 0;
  // 42: walks the archive mapper (GetVfsMapper()->Rewind() restarts).
  virtual int32_t NextVfsPath(char* out, int32_t size) = 0;
  // 43-47: forwarded; the archive-head pair goes to "vfs".
  virtual int32_t SetRootInfo(int32_t rootHandle, uint32_t rootInfo, uint32_t fileFilterKind,
                              uint32_t fdtCoded, uint32_t keySelector) = 0;
  virtual int32_t GetRootInfo(int32_t rootHandle, uint32_t* rootInfo, uint32_t* fileFilterKind,
                              uint32_t* fdtCoded, uint32_t* keySelector) = 0;
  virtual int32_t SetFdtCoding(int32_t rootHandle, uint32_t fdtCoded, uint32_t keySelector) = 0;
  virtual int32_t ReadArchiveHead(int32_t fd, uint32_t* number1, uint32_t* number2, char* text,
                                  int32_t textSize) = 0;
  virtual int32_t WriteArchiveHead(int32_t fd, uint32_t number1, uint32_t number2,
                                   const char* text) = 0;
  // 48: releases everything (only Destroy calls it).
  virtual void ComponentFinalize() = 0;
  // 49: reserved; returns 0.
  virtual int32_t BaseReserved() = 0;
  // 50: the attributes of a mapped path (see IFileSys), -1 when no file
  // system holds it.
  virtual int32_t GetAttributes(const char* path) = 0;
  // 51: non-zero sends the file systems' error reports
  // ("<source>(<line>) : error <text>") to standard error; 0 (the default)
  // keeps them silent.
  virtual void SetErrorReporting(int32_t on) = 0;
  // 52: hands each such report line (with its line end) to writer instead,
  // for callers that count or show them (a folder walk reports every name
  // it leaves out as "skipped <path>: <why>"); a null writer makes the
  // reports silent again.
  virtual void SetErrorWriter(void (*writer)(void* context, const char* line), void* context) = 0;
};

}  // namespace gavio
