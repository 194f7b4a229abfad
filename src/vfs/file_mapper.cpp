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

size_t FileMapper::SlotOf(std::string_view key) const {
  size_t hash = 14695981039346656037ull;
  for (char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  // The low bits pick the slot, but a multiply moves no bit downwards:
  // fold the high half in, or keys that differ early share their slots.
  hash ^= hash >> 32;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 29;
  size_t mask = index_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    uint32_t record = index_[slot];
    if (record == kNoRecord || KeyOf(records_[record]) == key) return slot;
  }
}

bool FileMapper::StoreKey(std::string_view key, uint32_t* start) {
  if (text_.empty() || textUsed_ + key.size() > kTextBlock) {
    // 32-bit key starts address only so many blocks; past them the table is full.
    if (text_.size() >= UINT32_MAX / kTextBlock) return false;
    std::unique_ptr<char[]> block(new char[kTextBlock]);
    text_.push_back(std::move(block));
    textUsed_ = 0;
  }
  memcpy(text_.back().get() + textUsed_, key.data(), key.size());
  *start = static_cast<uint32_t>((text_.size() - 1) * kTextBlock + textUsed_);
  textUsed_ += key.size();
  return true;
}

bool FileMapper::GrowIndex() {
  if (!index_.empty() && (records_.size() + 1) * 2 <= index_.size()) return true;
  if (records_.size() >= kNoRecord / 4) return false;
  std::vector<uint32_t> old(index_.empty() ? 64 : index_.size() * 2, kNoRecord);
  index_.swap(old);
  for (uint32_t record : old) {
    if (record != kNoRecord) index_[SlotOf(KeyOf(records_[record]))] = record;
  }
  return true;
}

int32_t FileMapper::Map(const char* path, int32_t rootHandle, int32_t value) {
  char buffer[kMaxKey + 1];
  std::string_view key;
  if (path == nullptr || rootHandle == -1 || !MakeKey(path, buffer, &key)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (!index_.empty()) {
    uint32_t found = index_[SlotOf(key)];
    if (found != kNoRecord) {
      records_[found].rootHandle = rootHandle;
      records_[found].value = value;
      return 1;
    }
  }
  try {
    uint32_t start = 0;
    if (!GrowIndex() || !StoreKey(key, &start)) {
      VFS_REPORT(reporter_, "memory not enough");
      return 0;
    }
    records_.push_back(Record{start, static_cast<uint16_t>(key.size()), rootHandle, value});
    index_[SlotOf(key)] = static_cast<uint32_t>(records_.size() - 1);
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
  if (index_.empty()) return -1;
  uint32_t found = index_[SlotOf(key)];
  if (found == kNoRecord) return -1;
  if (value != nullptr) *value = records_[found].value;
  return records_[found].rootHandle;
}

void FileMapper::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  text_.clear();
  textUsed_ = 0;
  records_.clear();
  index_.clear();
  order_.clear();
  ++keysVersion_;
  cursorStarted_ = false;
}

int32_t FileMapper::Next(char* out, int32_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  auto less = [this](uint32_t a, uint32_t b) { return KeyOf(records_[a]) < KeyOf(records_[b]); };
  if (orderVersion_ != keysVersion_) {
    order_.resize(records_.size());
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<uint32_t>(i);
    std::sort(order_.begin(), order_.end(), less);
    orderVersion_ = keysVersion_;
  }
  auto it = cursorStarted_ ? std::upper_bound(order_.begin(), order_.end(), std::string_view(cursorKey_),
                                              [this](std::string_view key, uint32_t b) {
                                                return key < KeyOf(records_[b]);
                                              })
                           : order_.begin();
  if (it == order_.end()) return -1;
  const Record& record = records_[*it];
  std::string_view key = KeyOf(record);
  cursorStarted_ = true;
  cursorKey_.assign(key);
  if (out != nullptr && size > 0) {
    size_t n = std::min(key.size(), static_cast<size_t>(size - 1));
    memcpy(out, key.data(), n);
    out[n] = '\0';
  }
  return record.rootHandle;
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
