// Host files: the one place where the library opens, reads, writes,
// renames, lists and removes host files and folders.
//
// Paths take either separator and become '/' form before any call; a
// relative path is taken in the working folder. Every call that fails
// returns FALSE (or -1) with errno turned into the thread's last error here
// and nowhere else. Descriptors are plain POSIX descriptors opened with
// close-on-exec.
//
// Writes never lose data: GavioAtomicBegin/Commit write a new file beside
// its target (created O_CREAT|O_EXCL|O_NOFOLLOW, so a link planted under the
// temporary name is never followed), sync it and rename it over the target,
// so the target holds either its old or its new content at every instant.
//
// Fault seam (tests only). Every write step (a write call, a sync, a
// truncate or a rename made through this facility) is counted. Two
// countdowns act on that count, as a test file system would:
//   - fail at N: the N-th write step from the setting fails with ENOSPC
//     (once; the following steps succeed again);
//   - kill at N: the process sends itself SIGKILL just before the N-th
//     write step, which is therefore never made.
// Both are set by GavioSetFileFaults or, so that child processes of a test
// get them, by the environment variables GAVIO_FAULT_ENOSPC_AT and
// GAVIO_FAULT_KILL_AT (read once, at the first write step). 0 = off.
//
// Thread safety: every call may be made from any thread; the countdowns are
// atomic.
#pragma once

#include "platform/types.h"

// GavioFileOpen flags.
#define GAVIO_FILE_READ 0x0u        // read only (the default)
#define GAVIO_FILE_WRITE 0x1u       // read and write
#define GAVIO_FILE_CREATE 0x2u      // create when missing (mode 0666 less the umask)
#define GAVIO_FILE_TRUNCATE 0x4u    // empty it at open
#define GAVIO_FILE_NEW 0x8u         // must not exist; never follows a link (O_EXCL|O_NOFOLLOW)
#define GAVIO_FILE_REGULAR 0x10u    // a regular file only: opening never blocks on a FIFO
                                    // or device, which are refused with ERROR_ACCESS_DENIED
#define GAVIO_FILE_PRIVATE 0x20u    // a created file gets mode 0600

// GavioFileLock operations: advisory whole-file locks (flock), held by the
// open descriptor and dropped when it closes.
#define GAVIO_LOCK_SHARED 0x1u
#define GAVIO_LOCK_EXCLUSIVE 0x2u
#define GAVIO_LOCK_UNLOCK 0x4u
#define GAVIO_LOCK_NOWAIT 0x8u      // a lock held elsewhere fails with ERROR_LOCK_VIOLATION

#ifndef ERROR_LOCK_VIOLATION
#define ERROR_LOCK_VIOLATION 33u
#endif
#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223u
#endif

// GavioFolderEntry types.
#define GAVIO_ENTRY_FILE 1u
#define GAVIO_ENTRY_FOLDER 2u
#define GAVIO_ENTRY_OTHER 3u        // FIFO, socket, device
#define GAVIO_ENTRY_UNREADABLE 4u   // could not be examined (dangling link, no permission)

// GavioAtomicBegin flags.
#define GAVIO_ATOMIC_PRIVATE 0x1u     // a new target gets mode 0600 (an existing one keeps its mode)
#define GAVIO_ATOMIC_NO_REPLACE 0x2u  // the commit fails with ERROR_ALREADY_EXISTS when the
                                      // target exists by then

// A descriptor, or -1.
GAVIO_PLATFORM_API int GavioFileOpen(const char* path, DWORD flags);
GAVIO_PLATFORM_API BOOL GavioFileClose(int fd);
// Exactly n bytes at offset; FALSE on an error or a short read
// (ERROR_HANDLE_EOF).
GAVIO_PLATFORM_API BOOL GavioFileReadAt(int fd, uint64_t offset, void* out, size_t n);
// Up to n bytes from the current position: the count, 0 at the end, -1.
GAVIO_PLATFORM_API int64_t GavioFileRead(int fd, void* out, size_t n);
// Up to n bytes at offset: the count, 0 at the end, -1.
GAVIO_PLATFORM_API int64_t GavioFileReadSomeAt(int fd, uint64_t offset, void* out, size_t n);
// All n bytes at offset, or FALSE. One write step.
GAVIO_PLATFORM_API BOOL GavioFileWriteAt(int fd, uint64_t offset, const void* data, size_t n);
// All n bytes at the current position, or FALSE. One write step.
GAVIO_PLATFORM_API BOOL GavioFileWrite(int fd, const void* data, size_t n);
// fdatasync. One write step.
GAVIO_PLATFORM_API BOOL GavioFileSync(int fd);
GAVIO_PLATFORM_API BOOL GavioFileTruncate(int fd, uint64_t size);
GAVIO_PLATFORM_API BOOL GavioFileSize(int fd, uint64_t* size);
GAVIO_PLATFORM_API BOOL GavioFileLock(int fd, DWORD operation);

// Whole small files: at most limit bytes of a regular file (opened without
// blocking), with a NUL behind them. *data is malloc'ed; free() it. A longer
// file fails with ERROR_FILE_TOO_LARGE.
GAVIO_PLATFORM_API BOOL GavioReadSmallFile(const char* path, size_t limit, char** data,
                                           size_t* size);

// mkdir -p: creates every missing folder of path with mode (0 = 0777),
// less the umask. TRUE when path is a folder afterwards.
GAVIO_PLATFORM_API BOOL GavioCreateFolders(const char* path, uint32_t mode);
// Removes a file, a link (never what it points at) or a folder tree.
GAVIO_PLATFORM_API BOOL GavioRemoveTree(const char* path);
// unlink. One write step.
GAVIO_PLATFORM_API BOOL GavioRemoveFile(const char* path);
// rename. One write step.
GAVIO_PLATFORM_API BOOL GavioRenameFile(const char* from, const char* to);
// fsync of a folder, so that names created or renamed in it are durable.
GAVIO_PLATFORM_API BOOL GavioSyncFolder(const char* path);

typedef struct GavioFolderEntry {
  const char* name;     // valid during the visit only
  DWORD type;           // GAVIO_ENTRY_*; links are described by what they point at
  DWORD error;          // for GAVIO_ENTRY_UNREADABLE: why
  uint64_t size;
  uint64_t device;      // identity, for cycle checks
  uint64_t inode;
  uint32_t mode;        // st_mode
  BOOL isLink;
} GavioFolderEntry;

// Called once per entry other than "." and "..", in the order the folder
// gives them (unsorted). Return FALSE to stop the listing.
typedef BOOL (*GavioFolderVisitor)(void* context, const GavioFolderEntry* entry);
// Lists a folder. FALSE when it cannot be opened or read to its end (the
// entries visited so far were visited).
GAVIO_PLATFORM_API BOOL GavioListFolder(const char* path, GavioFolderVisitor visit, void* context);

// A file written beside its target and renamed over it.
typedef struct GavioAtomicFile {
  int fd;                   // write the content here (GavioFileWrite/WriteAt)
  DWORD flags;
  uint32_t mode;            // the mode the target will have
  char target[4096];
  char temporary[4096];
} GavioAtomicFile;

// Creates the temporary in the target's folder. FALSE (nothing created)
// when it cannot be made.
GAVIO_PLATFORM_API BOOL GavioAtomicBegin(GavioAtomicFile* file, const char* target, DWORD flags);
// Syncs, closes and renames the temporary over the target (a link at the
// target is replaced, never followed), then syncs the folder. On failure
// the temporary is removed and the target is as it was.
GAVIO_PLATFORM_API BOOL GavioAtomicCommit(GavioAtomicFile* file);
// Closes and removes the temporary; the target is untouched.
GAVIO_PLATFORM_API void GavioAtomicAbort(GavioAtomicFile* file);
// Begin, one write, commit.
GAVIO_PLATFORM_API BOOL GavioWriteFileAtomic(const char* target, const void* data, size_t n,
                                             DWORD flags);

// The fault seam (see the top of this header). 0 turns a countdown off.
GAVIO_PLATFORM_API void GavioSetFileFaults(int64_t failWriteAt, int64_t killWriteAt);
// Write steps made since the process started.
GAVIO_PLATFORM_API uint64_t GavioFileWriteSteps(void);
