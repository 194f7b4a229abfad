// FileMapper: which root (mount, or a cache's own handle) holds each path.
// Keys are stored in ASCII lower case, so lookups ignore the case of ASCII
// letters. A mount maps every file it holds, so the table is kept compact:
// the key bytes sit once in large blocks of text, each key has a 16-byte
// record, and an open-addressing index of 4-byte slots finds the record.
// Keys are only added or replaced (Clear drops all), so nothing is ever
// freed one by one. The walk (Next) goes in key order over a sorted list
// of the records, made again only after keys were added.
//
// Thread safety: every operation takes the mapper's lock.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <deque>
#include <memory>
#include <string_view>
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
  struct Record {
    uint32_t keyStart;   // block * kTextBlock + offset in the block
    uint16_t keyLength;
    int32_t rootHandle;
    int32_t value;
  };
  static constexpr size_t kTextBlock = 16 * 1024;
  static constexpr uint32_t kNoRecord = UINT32_MAX;

  ~FileMapper() = default;

  std::string_view KeyOf(const Record& record) const {
    return std::string_view(text_[record.keyStart / kTextBlock].get() + record.keyStart % kTextBlock,
                            record.keyLength);
  }
  // The slot of key in index_: the one holding its record, or the empty
  // one where it would go. index_ must not be empty.
  size_t SlotOf(std::string_view key) const;
  // Copies key into the text blocks; false when no room can be had.
  bool StoreKey(std::string_view key, uint32_t* start);
  // Doubles the index when it is half full (or makes the first one).
  bool GrowIndex();

  ErrorReporter* reporter_;
  std::mutex lock_;
  std::vector<std::unique_ptr<char[]>> text_;  // blocks of kTextBlock bytes
  size_t textUsed_ = 0;                         // bytes used in the last block
  std::deque<Record> records_;                  // in the order keys were added
  std::vector<uint32_t> index_;                 // record numbers, kNoRecord when empty
  // Record numbers in key order for the walk, valid while orderVersion_
  // is keysVersion_.
  std::vector<uint32_t> order_;
  uint64_t keysVersion_ = 0;
  uint64_t orderVersion_ = UINT64_MAX;
  // The cursor is the last key returned, so it survives inserts and erases.
  bool cursorStarted_ = false;
  std::string cursorKey_;
};

// A new mapper, or null with "create filemapper interface fail!".
IFileMapper* CreateFileMapper(ErrorReporter* reporter);

}  // namespace gavio
