#include "vfs/host_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gavio {
namespace {

// Offsets beyond what off_t holds are a failed seek, not a wrap-around.
bool OffsetFits(uint64_t offset, size_t n) {
  constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);
  return offset <= kMaxOffset && n <= kMaxOffset - offset;
}

}  // namespace

bool HostFile::Open(const std::string& path, Mode mode) {
  Close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kReadOnly: flags |= O_RDONLY; break;
    case Mode::kReadWrite: flags |= O_RDWR; break;
    case Mode::kReadWriteCreate: flags |= O_RDWR | O_CREAT; break;
    case Mode::kReadWriteTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  fd_ = fd;
  return true;
}

void HostFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint64_t HostFile::Size() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool HostFile::ReadAt(int fd, uint64_t offset, void* out, size_t n) {
  if (fd < 0 || !OffsetFits(offset, n)) return false;
  auto* bytes = static_cast<uint8_t*>(out);
  while (n > 0) {
    ssize_t got = ::pread(fd, bytes, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool HostFile::WriteAt(int fd, uint64_t offset, const void* data, size_t n) {
  if (fd < 0 || !OffsetFits(offset, n)) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t put = ::pwrite(fd, bytes, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    offset += static_cast<uint64_t>(put);
    n -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace gavio
