// FileMapper: which root (mount, or a cache's own handle) holds each path.
// Keys are stored in ASCII lower case, so lookups ignore the case of ASCII
// letters. A mount maps every file it holds, so the table is kept compact:
// a key is split into its folder (up to and with its last '\') and its
// leaf; each folder is kept once, as a number, and the text of folders and
// leaves sits in large blocks. Each key has a 16-byte record, and
// open-addressing indexes of 4-byte slots find folders and records. Keys
// are only added or replaced (Clear drops all), so nothing is ever freed
// one by one. The walk (Next) goes in key order over a sorted list of the
// records, made again only after keys were added.
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
    uint32_t leafStart;  // text position of the leaf
    uint32_t folder;     // folder number
    int32_t rootHandle;
    int32_t value;
  };
  static constexpr size_t kTextBlock = 16 * 1024;
  static constexpr uint32_t kNone = UINT32_MAX;
  // A record index slot holds the record number in its low bits and a few
  // bits of the key's hash above them, so most probes that cannot match
  // are passed over without reading a record. Record numbers stop below
  // the mask (tens of millions of keys).
  static constexpr uint32_t kNumberBits = 26;
  static constexpr uint32_t kNumberMask = (1u << kNumberBits) - 1;
  static uint32_t TagOf(size_t hash) {
    return static_cast<uint32_t>(static_cast<uint64_t>(hash) >> (64 - (32 - kNumberBits))) << kNumberBits;
  }

  ~FileMapper() = default;

  // The text stored at start: a 16-bit length, then the bytes.
  std::string_view TextAt(uint32_t start) const;
  std::string_view LeafOf(const Record& record) const { return TextAt(record.leafStart); }
  std::string_view FolderOf(const Record& record) const { return TextAt(folders_[record.folder]); }
  // The slot of a folder or record in its index: the one holding it, or
  // the empty one where it would go. The index must not be empty.
  size_t FolderSlot(std::string_view folder) const;
  size_t RecordSlot(uint32_t folder, std::string_view leaf) const;
  // The folder's number, kNone when it has none.
  uint32_t FindFolder(std::string_view folder) const;
  bool AddFolder(std::string_view folder, uint32_t* number);
  // Copies text into the blocks; false when no room can be had.
  bool StoreText(std::string_view text, uint32_t* start);
  // Whether record a's key sorts before b's.
  bool KeyLess(const Record& a, const Record& b) const;

  ErrorReporter* reporter_;
  std::mutex lock_;
  std::vector<std::unique_ptr<char[]>> text_;  // blocks of kTextBlock bytes
  size_t textUsed_ = 0;                         // bytes used in the last block
  std::vector<uint32_t> folders_;               // text positions by folder number
  std::vector<uint32_t> folderIndex_;           // folder numbers, kNone when empty
  std::deque<Record> records_;                  // in the order keys were added
  std::vector<uint32_t> index_;                 // record numbers, kNone when empty
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
