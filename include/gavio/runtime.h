// Runtime services: worker thread (132), file object (183), file-system
// utilities (178), Base64 (7), MD5 digest (65) and block cipher (64).
// The IPC channel (1068) is in gavio/ipc.h.
//
// Every interface lists its operations in slot order from slot 5 on and ends
// with ComponentFinalize(), which only Destroy calls. Text is narrow (the
// locale's character set); paths take either separator.
#pragma once

#include <stdint.h>

#include "gavio/component.h"
#include "gavio/sink.h"

namespace gavio {

// ---------------------------------------------------------------------------
// Worker thread (132)
//
// Owns one thread that calls the sink's step back to back until the step
// returns 0 or a stop comes in. Control operations come from any thread but
// the worker; the three sink calls run on the worker.
//
// Stop with a time limit: when the step does not return in time the thread
// is abandoned. An abandoned thread finishes the sink call it is in (there is
// no safe way to cut it short) and then ends without calling the sink again
// and without touching the component, which may be destroyed at once.

class IThreadSink : public ISink {
 public:
  // 1: once, on the new thread, before the first step.
  virtual void OnThreadEntry() = 0;
  // 2: one unit of work; non-zero to go on, 0 to end. Called back to back,
  // so it must block or sleep itself, and return now and then so that a
  // stop can take effect.
  virtual int32_t OnThreadStep() = 0;
  // 3: once, on the thread, after the last step (not when abandoned).
  virtual void OnThreadExit() = 0;
};

class IWorkerThread : public IComponent {
 public:
  // 5: the worker's thread id, 0 when there is none.
  virtual uint32_t GetThreadId() = 0;
  // 6: lowers the suspend count by one; 1 when the platform did it.
  virtual int32_t Resume() = 0;
  // 7: raises the suspend count; the worker holds before its next step. 1
  // when the platform did it.
  virtual int32_t Suspend() = 0;
  // 8: waits up to timeoutMs for the thread to end. 1 when it is still
  // running afterwards, else 0 (also with no thread). On the worker itself it
  // returns 1 at once instead of waiting for its own end.
  virtual int32_t Wait(uint32_t timeoutMs) = 0;
  // 9: asks the thread to stop (resuming it first) and waits up to timeoutMs
  // (INFINITE = no limit); on time-out abandons it (see above). Then forgets
  // the thread and returns 1. Returns 0 with no thread, or when called on the
  // worker itself (it must not wait for its own end).
  virtual int32_t Stop(uint32_t timeoutMs) = 0;
  // 10: keeps sink and starts the thread, held before its entry call when
  // bSuspended is non-zero (Resume releases it). Returns 0 when a thread
  // exists already (even one that ended; Stop forgets it) or creation fails.
  // REQUIRES: sink outlives the thread or its abandonment.
  virtual int32_t Start(IThreadSink* sink, int32_t bSuspended) = 0;
  // 11, 12: THREAD_PRIORITY_* values; with no thread 11 answers
  // THREAD_PRIORITY_ERROR_RETURN and 12 answers 0.
  virtual int32_t GetPriority() = 0;
  virtual int32_t SetPriority(int32_t priority) = 0;
  // 13: Stop(INFINITE). Called on the worker itself (the sink destroyed the
  // component from inside a call) it does not wait: the thread ends after
  // the call it is in, still calling the sink's exit, and cleans up after
  // itself.
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// File object (183)
//
// One open file at a time. Relative paths (no ':' and no leading separator)
// are taken in the client root folder; resolved paths hold at most 259
// characters. Used on one thread at a time.

inline constexpr uint32_t kSeekBegin = 0;
inline constexpr uint32_t kSeekCurrent = 1;
inline constexpr uint32_t kSeekEnd = 2;
inline constexpr uint32_t kInvalidFilePosition = 0xFFFFFFFFu;

class IFileObject : public IComponent {
 public:
  // 5: closes any open file, opens an existing file for reading. 1 on success.
  virtual int32_t OpenForReading(const char* path) = 0;
  // 6: closes any open file, opens for writing, creating it; append 0
  // empties it, non-zero keeps it and writes at its end. 1 on success.
  virtual int32_t OpenForWriting(const char* path, int32_t append) = 0;
  // 7: 1 when a file was open and is now closed.
  virtual int32_t Close() = 0;
  // 8: reads one line into buffer (size >= 2) without its end. CR, LF, CR LF
  // and LF LF each end one line. *complete is 1 when the whole line fitted,
  // 0 when it was cut at size-1 bytes (the next call goes on with the rest).
  // The text is always terminated. Returns 1 when a byte was read, 0 at the
  // end of the file or on bad input (no file open, null pointer, size < 2).
  virtual int32_t ReadLine(char* buffer, int32_t size, int32_t* complete) = 0;
  // 9: bytes up to the next CR, LF or end of file; the position stays.
  virtual int32_t GetLineLength() = 0;
  // 10: writes text and CR LF; 1 when both were written.
  virtual int32_t WriteLine(const char* text) = 0;
  // 11: formats into at most 1023 characters and writes that as a line.
  virtual int32_t WriteFormattedLine(const char* format, ...) = 0;
  // 12: moves the position (origin kSeek*); returns it, or
  // kInvalidFilePosition when no file is open or the move is invalid.
  virtual uint32_t Seek(int32_t offset, uint32_t origin) = 0;
  // 13: the file's size (low 32 bits), 0 when no file is open.
  virtual uint32_t GetSize() = 0;
  // 14: reads up to size bytes (size-1 and a terminator right after the
  // bytes read when terminate is non-zero). Only for files opened for
  // reading. 1 when the read succeeded (also at the end of the file).
  virtual int32_t ReadBlock(void* buffer, int32_t size, int32_t terminate) = 0;
  // 15: closes the file.
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// File-system utilities (178)
//
// Relative paths are taken in the client root folder, like the file
// object's; a path that does not fit 259 characters once resolved makes the
// operation fail (0). All operations return 1 on success, 0 on failure with
// the thread's last error set, unless said otherwise.

// One entry of a folder listing; entries are written back to back.
struct FolderEntry {
  char name[280];     // at most 259 characters and a terminator
  int32_t isFile;
  int32_t isFolder;
  uint32_t size;      // bytes, low 32 bits
};
static_assert(sizeof(FolderEntry) == 292, "folder entries are 292 bytes");

class IFileUtils : public IComponent {
 public:
  // 5: creates every missing folder of path. 0 for a path of blanks only.
  virtual int32_t CreateFolder(const char* path) = 0;
  // 6: the first of folder/base1, folder/base2, ... (below 20000) that does
  // not exist, copied to out when it fits outSize.
  virtual int32_t UniqueName(const char* folder, const char* base, char* out,
                             int32_t outSize) = 0;
  // 7: renames (within one file system).
  virtual int32_t Move(const char* from, const char* to) = 0;
  // 8: when path starts with prefix (compared without case, '/' and '\'
  // alike), out receives
  // newPrefix and the rest of path, and rest the rest without its leading
  // separator; otherwise out receives path unchanged and rest is emptied.
  // Returns 1 when the arguments are valid and everything fitted.
  virtual int32_t ReplacePrefix(const char* path, const char* prefix, const char* newPrefix,
                                char* out, int32_t outSize, char* rest, int32_t restSize) = 0;
  // 9: creates the destination's folders and copies, replacing it.
  virtual int32_t CopyFile(const char* from, const char* to) = 0;
  // 10: copies into folder under the source's file name.
  virtual int32_t CopyFileIntoFolder(const char* from, const char* folder) = 0;
  // 11: moves an existing file or folder to the user's trash (the
  // freedesktop Trash folder, restorable by desktop tools).
  virtual int32_t DeleteToRecycleBin(const char* path) = 0;
  // 12: deletes an existing file or folder tree for good.
  virtual int32_t DeleteForGood(const char* path) = 0;
  // 13, 14: both paths must exist. An existing folder as destination
  // receives the source inside it; folders are moved or copied whole.
  virtual int32_t ShellMove(const char* from, const char* to) = 0;
  virtual int32_t ShellCopy(const char* from, const char* to) = 0;
  // 15: lists the entries of a folder that the last part of pattern
  // matches ("folder/*.*" or "folder/*" for all, "folder/*.txt", or one
  // name; '*' and '?' compare without case), sorted by name, without ".",
  // ".." and names of blanks only. With null entries
  // or max 0: returns the number of matches; otherwise fills up to max
  // entries and returns the number filled. Names longer than 259
  // characters are left out.
  virtual int32_t ListFolder(const char* pattern, FolderEntry* entries, int32_t max) = 0;
  // 16: copies the contents of from into to (created when missing). byShell
  // non-zero copies the whole tree; 0 copies the files at the top level
  // only, and returns 1 when every copy succeeded.
  virtual int32_t CopyFolder(const char* from, const char* to, int32_t byShell) = 0;
  // 17: 1 when both are existing files with equal bytes.
  virtual int32_t CompareFilesByContent(const char* a, const char* b) = 0;
  // 18: 1 when both are existing files with equal MD5 digests.
  virtual int32_t CompareFilesByDigest(const char* a, const char* b) = 0;
  // 19: walks the tree below folder (every entry, "*.*") and counts what it
  // finds: files when countFiles is non-zero, folders when countFolders is
  // non-zero, descending at most maxDepth levels below folder (maxDepth < 0:
  // no limit; 0: folder's own entries only). Symbolic links are counted as
  // files and never followed, so a link loop cannot trap the walk. Returns
  // the count, or -1 when folder is not an existing folder or a bad argument
  // was given. Entries that cannot be read (no permission) are skipped.
  virtual int32_t CountTree(const char* folder, int32_t countFiles, int32_t countFolders,
                            int32_t maxDepth) = 0;
  // 20
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// Base64 (7): the RFC 4648 alphabet with "=" padding. Stateless; any thread.

class IBase64 : public IComponent {
 public:
  // 5: encodes srcLength bytes and a terminator into dst. 0 (dst untouched)
  // for null pointers, a negative length, or when text and terminator do
  // not fit dstSize.
  virtual uint32_t Encode(const void* src, int32_t srcLength, char* dst, int32_t dstSize) = 0;
  // 6: decodes text, skipping characters outside the alphabet ("=" and
  // blanks among them); writes no terminator. 0 (dst untouched) for null
  // pointers, dstSize < 1, or when the bytes do not fit dstSize.
  virtual int32_t Decode(const char* text, void* dst, int32_t dstSize) = 0;
  // 7: empties dst, then: text made only of alphabet characters, "=",
  // spaces and tabs is decoded and copied as a string; any other text is
  // copied unchanged. 1 when the copy fitted dstSize.
  virtual int32_t DecodeString(const char* text, char* dst, int32_t dstSize) = 0;
  // 8
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// MD5 digest (65): RFC 1321. Stateless; any thread.

class IDigest : public IComponent {
 public:
  // 5: digest of length bytes into out (16 bytes). A null out does nothing;
  // null data with a non-zero length, or a negative length, gives a zero
  // digest.
  virtual void DigestMemory(uint8_t* out, const void* data, int32_t length) = 0;
  // 6: clears out, then digests the file's bytes. 1 when the whole file was
  // read; 0 for a missing, unreadable or over-long path, or a read error.
  virtual uint32_t DigestFile(uint8_t* out, const char* path) = 0;
  // 7
  virtual void ComponentFinalize() = 0;
};

// ---------------------------------------------------------------------------
// Block cipher (64): TEA with 16 rounds over 8-byte blocks, chained, in a
// frame of 1 header byte (its low 3 bits the pad count), pad random bytes,
// 2 random bytes, the plain text and 7 zero bytes. Stateless; any thread.

inline constexpr uint32_t kCipherKeySize = 16;

class IBlockCipher : public IComponent {
 public:
  // 5: bytes Encrypt writes for plainLength bytes: plainLength + 10 rounded
  // up to a multiple of 8 (16 for 0). 0 when that would not fit 32 bits.
  virtual uint32_t EncryptedLength(uint32_t plainLength) = 0;
  // 6: encrypts into out, which must hold EncryptedLength(plainLength)
  // bytes, and stores that length in *outLength (when non-null). Does
  // nothing for a null plain, key or out, or a length EncryptedLength
  // refuses. Each call picks new random bytes, so the output differs each
  // time.
  virtual void Encrypt(const void* plain, uint32_t plainLength, const uint8_t* key, void* out,
                       uint32_t* outLength) = 0;
  // 7: decrypts; *outLength holds out's capacity on entry and the plain
  // length on success. Returns 0, with *outLength unchanged, for null
  // pointers, a length not a multiple of 8 or below 16, a plain text larger
  // than the capacity (out untouched), or a frame that fails its check (a
  // wrong key; out is cleared again).
  virtual int32_t Decrypt(const void* cipher, int32_t cipherLength, const uint8_t* key,
                          void* out, int32_t* outLength) = 0;
  // 8
  virtual void ComponentFinalize() = 0;
};

}  // namespace gavio
