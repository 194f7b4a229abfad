#include "vfs/host_file.h"

#include <errno.h>
#include <sys/uio.h>

#include "platform/errors.h"
#include "platform/files.h"

namespace gavio {

bool HostFile::Open(const std::string& path, Mode mode) {
  Close();
  DWORD flags = GAVIO_FILE_REGULAR;
  switch (mode) {
    case Mode::kReadOnly: break;
    case Mode::kReadWrite: flags |= GAVIO_FILE_WRITE; break;
    case Mode::kReadWriteCreate: flags |= GAVIO_FILE_WRITE | GAVIO_FILE_CREATE; break;
    case Mode::kReadWriteTruncate:
      flags |= GAVIO_FILE_WRITE | GAVIO_FILE_CREATE | GAVIO_FILE_TRUNCATE;
      break;
  }
  fd_ = GavioFileOpen(path.c_str(), flags);
  return fd_ >= 0;
}

void HostFile::Close() {
  if (fd_ >= 0) GavioFileClose(fd_);
  fd_ = -1;
  guard_ = nullptr;
}

uint64_t HostFile::Size() const {
  uint64_t size = 0;
  if (fd_ < 0 || !GavioFileSize(fd_, &size)) return 0;
  return size;
}

bool HostFile::WriteAt(uint64_t offset, const void* data, size_t n) const {
  if (guard_ != nullptr && !guard_->BeforeWrite(offset, n)) return false;
  return WriteAt(fd_, offset, data, n);
}

bool HostFile::ReadTwoAt(uint64_t offset, void* first, size_t n1, void* second, size_t n2) const {
  if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  iovec parts[2] = {{first, n1}, {second, n2}};
  ssize_t got;
  do {
    got = preadv(fd_, parts, 2, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got >= 0 && static_cast<size_t>(got) == n1 + n2;
}

bool HostFile::Sync() const { return fd_ >= 0 && GavioFileSync(fd_) != FALSE; }

bool HostFile::Truncate(uint64_t size) const {
  if (guard_ != nullptr && !guard_->BeforeTruncate(size)) return false;
  return fd_ >= 0 && GavioFileTruncate(fd_, size) != FALSE;
}

bool HostFile::Lock(bool exclusive) const {
  return fd_ >= 0 &&
         GavioFileLock(fd_, (exclusive ? GAVIO_LOCK_EXCLUSIVE : GAVIO_LOCK_SHARED) | GAVIO_LOCK_NOWAIT) !=
             FALSE;
}

bool HostFile::ReadAt(int fd, uint64_t offset, void* out, size_t n) {
  return fd >= 0 && GavioFileReadAt(fd, offset, out, n) != FALSE;
}

bool HostFile::WriteAt(int fd, uint64_t offset, const void* data, size_t n) {
  return fd >= 0 && GavioFileWriteAt(fd, offset, data, n) != FALSE;
}

}  // namespace gavio
