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

// The folder of a key (up to and with its last '\', maybe empty) and the
// leaf after it.
void SplitKey(std::string_view key, std::string_view* folder, std::string_view* leaf) {
  size_t cut = key.rfind('\\');
  cut = cut == std::string_view::npos ? 0 : cut + 1;
  *folder = key.substr(0, cut);
  *leaf = key.substr(cut);
}

size_t Hash(std::string_view text, uint64_t seed) {
  uint64_t hash = 14695981039346656037ull ^ (seed * 0x9e3779b97f4a7c15ull);
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  // The low bits pick the slot, but a multiply moves no bit downwards:
  // fold the high half in, or keys that differ early share their slots.
  hash ^= hash >> 32;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 29;
  return static_cast<size_t>(hash);
}

// Doubles an open-addressing index when it would pass three quarters full
// (or makes the first one); slotOf places an item already held. The hash
// spreads keys well, so probes stay short at that load, and a mount's
// index costs a third less than at half full.
template <typename SlotOf>
void GrowIndex(std::vector<uint32_t>* index, size_t count, uint32_t none, SlotOf slotOf) {
  if (!index->empty() && (count + 1) * 4 <= index->size() * 3) return;
  std::vector<uint32_t> old(index->empty() ? 16 : index->size() * 2, none);
  index->swap(old);
  for (uint32_t item : old) {
    if (item != none) (*index)[slotOf(item)] = item;
  }
}

// Compares the keys a + b and c + d in byte order, as strings compare.
bool JoinedLess(std::string_view a, std::string_view b, std::string_view c, std::string_view d) {
  size_t left = a.size() + b.size();
  size_t right = c.size() + d.size();
  for (size_t i = 0; i < std::min(left, right); ++i) {
    auto x = static_cast<unsigned char>(i < a.size() ? a[i] : b[i - a.size()]);
    auto y = static_cast<unsigned char>(i < c.size() ? c[i] : d[i - c.size()]);
    if (x != y) return x < y;
  }
  return left < right;
}

}  // namespace

std::string_view FileMapper::TextAt(uint32_t start) const {
  const char* at = text_[start / kTextBlock].get() + start % kTextBlock;
  uint16_t length = 0;
  memcpy(&length, at, sizeof length);
  return std::string_view(at + sizeof length, length);
}

size_t FileMapper::FolderSlot(std::string_view folder) const {
  size_t mask = folderIndex_.size() - 1;
  for (size_t slot = Hash(folder, 0) & mask;; slot = (slot + 1) & mask) {
    uint32_t number = folderIndex_[slot];
    if (number == kNone || TextAt(folders_[number]) == folder) return slot;
  }
}

size_t FileMapper::RecordSlot(uint32_t folder, std::string_view leaf) const {
  size_t mask = index_.size() - 1;
  size_t hash = Hash(leaf, folder + 1);
  uint32_t tag = TagOf(hash);
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    uint32_t item = index_[slot];
    if (item == kNone) return slot;
    // Only a slot whose tag matches is worth reading its record for.
    if ((item & ~kNumberMask) != tag) continue;
    const Record& record = records_[item & kNumberMask];
    if (record.folder == folder && LeafOf(record) == leaf) return slot;
  }
}

uint32_t FileMapper::FindFolder(std::string_view folder) const {
  return folderIndex_.empty() ? kNone : folderIndex_[FolderSlot(folder)];
}

bool FileMapper::AddFolder(std::string_view folder, uint32_t* number) {
  uint32_t start = 0;
  if (folders_.size() >= kNone / 4 || !StoreText(folder, &start)) return false;
  GrowIndex(&folderIndex_, folders_.size(), kNone,
            [this](uint32_t n) { return FolderSlot(TextAt(folders_[n])); });
  folders_.push_back(start);
  *number = static_cast<uint32_t>(folders_.size() - 1);
  folderIndex_[FolderSlot(folder)] = *number;
  return true;
}

bool FileMapper::StoreText(std::string_view text, uint32_t* start) {
  uint16_t length = static_cast<uint16_t>(text.size());  // keys are at most kMaxKey
  size_t size = sizeof length + text.size();
  if (text_.empty() || textUsed_ + size > kTextBlock) {
    // 32-bit text positions address only so many blocks; past them the
    // table is full.
    if (text_.size() >= UINT32_MAX / kTextBlock) return false;
    std::unique_ptr<char[]> block(new char[kTextBlock]);
    text_.push_back(std::move(block));
    textUsed_ = 0;
  }
  char* at = text_.back().get() + textUsed_;
  memcpy(at, &length, sizeof length);
  memcpy(at + sizeof length, text.data(), text.size());
  *start = static_cast<uint32_t>((text_.size() - 1) * kTextBlock + textUsed_);
  textUsed_ += size;
  return true;
}

bool FileMapper::KeyLess(const Record& a, const Record& b) const {
  if (a.folder == b.folder) return LeafOf(a) < LeafOf(b);
  return JoinedLess(FolderOf(a), LeafOf(a), FolderOf(b), LeafOf(b));
}

int32_t FileMapper::Map(const char* path, int32_t rootHandle, int32_t value) {
  char buffer[kMaxKey + 1];
  std::string_view key;
  if (path == nullptr || rootHandle == -1 || !MakeKey(path, buffer, &key)) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  std::string_view folder;
  std::string_view leaf;
  SplitKey(key, &folder, &leaf);
  std::lock_guard<std::mutex> guard(lock_);
  uint32_t number = FindFolder(folder);
  if (number != kNone) {
    uint32_t found = index_.empty() ? kNone : index_[RecordSlot(number, leaf)] & kNumberMask;
    if (found != kNumberMask) {
      records_[found].rootHandle = rootHandle;
      records_[found].value = value;
      return 1;
    }
  }
  try {
    uint32_t start = 0;
    if ((number == kNone && !AddFolder(folder, &number)) || records_.size() >= kNumberMask ||
        !StoreText(leaf, &start)) {
      VFS_REPORT(reporter_, "memory not enough");
      return 0;
    }
    GrowIndex(&index_, records_.size(), kNone, [this](uint32_t item) {
      const Record& record = records_[item & kNumberMask];
      return RecordSlot(record.folder, LeafOf(record));
    });
    records_.push_back(Record{start, number, rootHandle, value});
    size_t slot = RecordSlot(number, leaf);
    index_[slot] = TagOf(Hash(leaf, number + 1)) | static_cast<uint32_t>(records_.size() - 1);
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
  std::string_view folder;
  std::string_view leaf;
  SplitKey(key, &folder, &leaf);
  std::lock_guard<std::mutex> guard(lock_);
  uint32_t number = FindFolder(folder);
  uint32_t found = number == kNone || index_.empty() ? kNone : index_[RecordSlot(number, leaf)];
  if (found == kNone) return -1;
  found &= kNumberMask;
  if (value != nullptr) *value = records_[found].value;
  return records_[found].rootHandle;
}

void FileMapper::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  text_.clear();
  textUsed_ = 0;
  folders_.clear();
  folderIndex_.clear();
  records_.clear();
  index_.clear();
  order_.clear();
  ++keysVersion_;
  cursorStarted_ = false;
}

int32_t FileMapper::Next(char* out, int32_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  if (orderVersion_ != keysVersion_) {
    order_.resize(records_.size());
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<uint32_t>(i);
    std::sort(order_.begin(), order_.end(),
              [this](uint32_t a, uint32_t b) { return KeyLess(records_[a], records_[b]); });
    orderVersion_ = keysVersion_;
  }
  auto it = cursorStarted_ ? std::upper_bound(order_.begin(), order_.end(), std::string_view(cursorKey_),
                                              [this](std::string_view key, uint32_t b) {
                                                return JoinedLess(key, {}, FolderOf(records_[b]),
                                                                  LeafOf(records_[b]));
                                              })
                           : order_.begin();
  if (it == order_.end()) return -1;
  const Record& record = records_[*it];
  cursorStarted_ = true;
  cursorKey_.assign(FolderOf(record));
  cursorKey_.append(LeafOf(record));
  if (out != nullptr && size > 0) {
    size_t n = std::min(cursorKey_.size(), static_cast<size_t>(size - 1));
    memcpy(out, cursorKey_.data(), n);
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
