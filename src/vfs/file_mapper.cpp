#include "vfs/file_mapper.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "vfs/error_reporter.h"
#include "vfs/vfs_path.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\FileMapper";

// The lower-cased key in out (kMaxKey + 1 bytes), or false for a path too
// long to be one. A key made in place costs no allocation per call.
bool MakeKey(const char* path, char* out, std::string_view* key) {
  size_t length = strnlen(path, FileMapper::kMaxKey + 1);
  if (length > FileMapper::kMaxKey) return false;
  for (size_t i = 0; i < length; ++i) out[i] = LowerAsciiChar(path[i]);
  *key = std::string_view(out, length);
  return true;
}

}  // namespace

int32_t FileMapper::Map(const char* path, int32_t rootHandle, int32_t value) {
  char buffer[kMaxKey + 1];
  std::string_view key;
  if (path == nullptr || rootHandle == -1 || !MakeKey(path, buffer, &key)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto it = paths_.find(key);
  if (it != paths_.end()) {
    it->second = Target{rootHandle, value};
    return 1;
  }
  try {
    paths_.emplace(std::string(key), Target{rootHandle, value});
    ++keysVersion_;
  } catch (const std::bad_alloc&) {
    VFS_REPORT(reporter_, "memory not enough");
    return 0;
  }
  return 1;
}

int32_t FileMapper::Lookup(const char* path, int32_t* value) {
  char buffer[kMaxKey + 1];
  std::string_view key;
  if (path == nullptr || !MakeKey(path, buffer, &key)) return -1;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = paths_.find(key);
  if (it == paths_.end()) return -1;
  if (value != nullptr) *value = it->second.value;
  return it->second.rootHandle;
}

void FileMapper::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  paths_.clear();
  order_.clear();
  ++keysVersion_;
  cursorStarted_ = false;
}

int32_t FileMapper::Next(char* out, int32_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  if (orderVersion_ != keysVersion_) {
    order_.clear();
    order_.reserve(paths_.size());
    for (const auto& [key, target] : paths_) order_.push_back(&key);
    std::sort(order_.begin(), order_.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
    orderVersion_ = keysVersion_;
  }
  auto it = cursorStarted_ ? std::upper_bound(order_.begin(), order_.end(), cursorKey_,
                                              [](const std::string& key, const std::string* b) { return key < *b; })
                           : order_.begin();
  if (it == order_.end()) return -1;
  const std::string& key = **it;
  cursorStarted_ = true;
  cursorKey_ = key;
  if (out != nullptr && size > 0) {
    size_t n = std::min(key.size(), static_cast<size_t>(size - 1));
    memcpy(out, key.data(), n);
    out[n] = '\0';
  }
  return paths_.find(key)->second.rootHandle;
}

void FileMapper::Rewind() {
  std::lock_guard<std::mutex> guard(lock_);
  cursorStarted_ = false;
}

IFileMapper* CreateFileMapper(ErrorReporter* reporter) {
  auto* mapper = new (std::nothrow) FileMapper(reporter);
  if (mapper == nullptr) VFS_REPORT(reporter, "create filemapper interface fail!");
  return mapper;
}

}  // namespace gavio
