// File object component (183): one file, read by lines or blocks, written
// by lines.
//
// The object keeps its own position and reads through a small buffer, so
// reading a line costs no system call per byte; the buffer is only used
// while the file is open for reading, where nothing else changes it.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

#include "gavio/ids.h"
#include "gavio/runtime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "frame/client_path.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

enum class Mode { kClosed = 0, kReading = 1, kWriting = 2 };

constexpr size_t kReadBufferSize = 4096;
constexpr size_t kFormattedLineSize = 1024;

bool IsLineEnd(int byte) { return byte == '\r' || byte == '\n'; }

class CFileObject final : public Component<kFileObjectId, IFileObject> {
 public:
  int32_t OpenForReading(const char* path) override {
    Close();
    char hostPath[kClientPathSize];
    if (!ResolveClientPath(path, hostPath)) return 0;
    int fd = GavioFileOpen(hostPath, GAVIO_FILE_READ);
    if (fd < 0) return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
      GavioFileClose(fd);
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    Adopt(fd, Mode::kReading, 0);
    return 1;
  }

  int32_t OpenForWriting(const char* path, int32_t append) override {
    Close();
    char hostPath[kClientPathSize];
    if (!ResolveClientPath(path, hostPath)) return 0;
    DWORD flags = GAVIO_FILE_WRITE | GAVIO_FILE_CREATE | (append != 0 ? 0 : GAVIO_FILE_TRUNCATE);
    int fd = GavioFileOpen(hostPath, flags);
    if (fd < 0) return 0;
    uint64_t size = 0;
    if (!GavioFileSize(fd, &size)) {
      GavioFileClose(fd);
      return 0;
    }
    Adopt(fd, Mode::kWriting, append != 0 ? size : 0);
    return 1;
  }

  int32_t Close() override {
    if (fd_ < 0) return 0;
    GavioFileClose(fd_);
    fd_ = -1;
    mode_ = Mode::kClosed;
    bufferLength_ = 0;
    return 1;
  }

  int32_t ReadLine(char* buffer, int32_t size, int32_t* complete) override {
    if (mode_ != Mode::kReading || buffer == nullptr || complete == nullptr || size < 2) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    *complete = 1;
    int32_t stored = 0;
    bool readAny = false;
    for (;;) {
      if (stored == size - 1) {
        // Full: the line is complete only when its end comes next.
        int next = PeekByte();
        if (next >= 0 && !IsLineEnd(next)) {
          *complete = 0;
          break;
        }
      }
      int byte = ReadByte();
      if (byte < 0) break;
      readAny = true;
      if (IsLineEnd(byte)) {
        if (PeekByte() == '\n') ReadByte();
        break;
      }
      buffer[stored++] = static_cast<char>(byte);
    }
    buffer[stored] = '\0';
    return readAny ? 1 : 0;
  }

  int32_t GetLineLength() override {
    if (mode_ != Mode::kReading) return 0;
    uint64_t saved = position_;
    int32_t length = 0;
    for (int byte = ReadByte(); byte >= 0 && !IsLineEnd(byte); byte = ReadByte()) {
      if (length < INT32_MAX) ++length;
    }
    position_ = saved;
    return length;
  }

  int32_t WriteLine(const char* text) override {
    if (mode_ != Mode::kWriting || text == nullptr) {
      SetLastError(mode_ != Mode::kWriting ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return 0;
    }
    bool ok = WriteBytes(text, strlen(text));
    ok = WriteBytes("\r\n", 2) && ok;
    return ok ? 1 : 0;
  }

  int32_t WriteFormattedLine(const char* format, ...) override {
    if (format == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    char line[kFormattedLineSize];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) line[0] = '\0';
    return WriteLine(line);
  }

  uint32_t Seek(int32_t offset, uint32_t origin) override {
    if (fd_ < 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return kInvalidFilePosition;
    }
    int64_t base;
    switch (origin) {
      case kSeekBegin: base = 0; break;
      case kSeekCurrent: base = static_cast<int64_t>(position_); break;
      case kSeekEnd: base = static_cast<int64_t>(FileSize()); break;
      default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidFilePosition;
    }
    int64_t target = base + offset;
    if (target < 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return kInvalidFilePosition;
    }
    position_ = static_cast<uint64_t>(target);
    return static_cast<uint32_t>(position_);
  }

  uint32_t GetSize() override { return fd_ < 0 ? 0 : static_cast<uint32_t>(FileSize()); }

  int32_t ReadBlock(void* buffer, int32_t size, int32_t terminate) override {
    if (mode_ != Mode::kReading || buffer == nullptr || size < 1) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t wanted = static_cast<size_t>(terminate != 0 ? size - 1 : size);
    size_t got = 0;
    while (got < wanted) {
      int byte = bufferLength_ > 0 ? ReadByteIfBuffered() : -1;
      if (byte >= 0) {
        bytes[got++] = static_cast<uint8_t>(byte);
        continue;
      }
      int64_t n = GavioFileReadSomeAt(fd_, position_, bytes + got, wanted - got);
      if (n < 0) return 0;
      if (n == 0) break;
      got += static_cast<size_t>(n);
      position_ += static_cast<uint64_t>(n);
    }
    if (terminate != 0) bytes[got] = 0;
    return 1;
  }

  void ComponentFinalize() override { Close(); }

 private:
  void Adopt(int fd, Mode mode, uint64_t position) {
    fd_ = fd;
    mode_ = mode;
    position_ = position;
    bufferLength_ = 0;
  }

  uint64_t FileSize() {
    uint64_t size = 0;
    return GavioFileSize(fd_, &size) ? size : 0;
  }

  // The byte at the position from the buffer, advancing; -1 when the
  // buffer does not hold it.
  int ReadByteIfBuffered() {
    if (position_ < bufferStart_ || position_ >= bufferStart_ + bufferLength_) return -1;
    return buffer_[position_++ - bufferStart_];
  }

  // The byte at the position, or -1 at the end of the file or on an error.
  int PeekByte() {
    if (position_ < bufferStart_ || position_ >= bufferStart_ + bufferLength_) {
      int64_t n = GavioFileReadSomeAt(fd_, position_, buffer_, sizeof buffer_);
      bufferStart_ = position_;
      bufferLength_ = n > 0 ? static_cast<size_t>(n) : 0;
      if (bufferLength_ == 0) return -1;
    }
    return buffer_[position_ - bufferStart_];
  }

  int ReadByte() {
    int byte = PeekByte();
    if (byte >= 0) ++position_;
    return byte;
  }

  bool WriteBytes(const char* data, size_t length) {
    if (length == 0) return true;
    if (!GavioFileWriteAt(fd_, position_, data, length)) return false;
    position_ += length;
    return true;
  }

  int fd_ = -1;
  Mode mode_ = Mode::kClosed;
  uint64_t position_ = 0;
  uint8_t buffer_[kReadBufferSize];
  uint64_t bufferStart_ = 0;
  size_t bufferLength_ = 0;
};

}  // namespace

IComponent* NewFileObject() { return new (std::nothrow) CFileObject(); }

}  // namespace gavio
