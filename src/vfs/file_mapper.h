// FileMapper: which root (mount, or a cache's own handle) holds each path.
// Keys are stored in ASCII lower case, so lookups ignore the case of ASCII
// letters. Lookups hash; the walk (Next) goes in key order over a sorted
// list of the keys, made again only after keys were added or removed.
//
// Thread safety: every operation takes the mapper's lock.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
  // Hashes keys and string views alike, so a lookup needs no string.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
  };

  ~FileMapper() = default;

  ErrorReporter* reporter_;
  std::mutex lock_;
  std::unordered_map<std::string, Target, KeyHash, std::equal_to<>> paths_;
  // The keys in order for the walk, valid while orderVersion_ is
  // keysVersion_ (keys of an unordered map stay where they are).
  std::vector<const std::string*> order_;
  uint64_t keysVersion_ = 0;
  uint64_t orderVersion_ = UINT64_MAX;
  // The cursor is the last key returned, so it survives inserts and erases.
  bool cursorStarted_ = false;
  std::string cursorKey_;
};

// A new mapper, or null with "create filemapper interface fail!".
IFileMapper* CreateFileMapper(ErrorReporter* reporter);

}  // namespace gavio
