// FileMapper: which root (mount, or a cache's own handle) holds each path.
// Keys are stored in ASCII lower case, so lookups ignore the case of ASCII
// letters.
//
// Thread safety: every operation takes the mapper's lock.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

class FileMapper final : public IFileMapper {
 public:
  static constexpr size_t kMaxKey = 519;

  explicit FileMapper(ErrorReporter* reporter) : reporter_(reporter) {}

  int32_t Map(const char* path, int32_t rootHandle, int32_t value) override;
  int32_t Lookup(const char* path, int32_t* value) override;
  void Clear() override;
  void Destroy() override { delete this; }
  int32_t Next(char* out, int32_t size) override;
  void Rewind() override;

 private:
  struct Target {
    int32_t rootHandle;
    int32_t value;
  };

  ~FileMapper() = default;

  ErrorReporter* reporter_;
  std::mutex lock_;
  std::map<std::string, Target, std::less<>> paths_;  // finds take a string_view
  // The cursor is the last key returned, so it survives inserts and erases.
  bool cursorStarted_ = false;
  std::string cursorKey_;
};

// A new mapper, or null with "create filemapper interface fail!".
IFileMapper* CreateFileMapper(ErrorReporter* reporter);

}  // namespace gavio
