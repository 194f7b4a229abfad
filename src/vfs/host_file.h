// One open host file with positioned reads and writes (no shared file
// position, so a read never disturbs a write elsewhere). Archives are read
// and written only through this class, over the platform's host files.
// Only regular files open, and opening never blocks (a FIFO is refused).
//
// Thread safety: none; one archive is used by one thread at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace gavio {

// Sees every write and truncation before it is made (the archive's
// rollback journal saves what they will overwrite or cut). A false answer
// fails the write.
class WriteGuard {
 public:
  virtual bool BeforeWrite(uint64_t offset, size_t n) = 0;
  virtual bool BeforeTruncate(uint64_t length) = 0;

 protected:
  ~WriteGuard() = default;
};

class HostFile {
 public:
  enum class Mode {
    kReadOnly,           // must exist
    kReadWrite,          // must exist
    kReadWriteCreate,    // created when missing, kept otherwise
    kReadWriteTruncate,  // always created empty
  };

  HostFile() = default;
  ~HostFile() { Close(); }
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  // path is a host path in '/' form. Returns false (last error set) on
  // failure.
  bool Open(const std::string& path, Mode mode);
  void Close();
  // Takes fd over (it is closed with the file), or gives it up.
  void Adopt(int fd) {
    Close();
    fd_ = fd;
  }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    guard_ = nullptr;
    return fd;
  }
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Writes made from now on pass the guard first (null: none).
  void SetWriteGuard(WriteGuard* guard) { guard_ = guard; }

  // Exactly n bytes at offset; false on a short read or an error.
  bool ReadAt(uint64_t offset, void* out, size_t n) const { return ReadAt(fd_, offset, out, n); }
  // n1 bytes at offset into first and the n2 behind them into second, in
  // one system call; false on an error or a short read (which a caller
  // may then retry piece by piece with ReadAt).
  bool ReadTwoAt(uint64_t offset, void* first, size_t n1, void* second, size_t n2) const;
  // Exactly n bytes at offset; false when not all were written.
  bool WriteAt(uint64_t offset, const void* data, size_t n) const;
  // The current length, 0 on failure.
  uint64_t Size() const;
  bool Sync() const;
  bool Truncate(uint64_t size) const;
  // An advisory lock on the file, without waiting: false when another
  // open file holds a conflicting one.
  bool Lock(bool exclusive) const;

  // The same on a descriptor the caller owns (no guard).
  static bool ReadAt(int fd, uint64_t offset, void* out, size_t n);
  static bool WriteAt(int fd, uint64_t offset, const void* data, size_t n);

 private:
  int fd_ = -1;
  WriteGuard* guard_ = nullptr;
};

}  // namespace gavio
