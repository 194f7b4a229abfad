// The zip work shared by the zip reader (67) and the background extractor
// (355): naming items and unpacking an archive into a folder. minizip reads
// the format; this file decides where each item may go.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

namespace gavio {

class LogSink;

namespace zip {

inline constexpr size_t kMaxPath = 260;  // paths hold at most 259 characters

// The name an item shows: with flatten only the text after the last '\'
// (or the last '/' when there is none); every '/' turned into '\'.
std::string MapItemName(const std::string& stored, bool flatten);

// The target path of a mapped item name below folder, cut to 259
// characters. *prefixLength receives the length of the folder part
// (folder and separator).
std::string TargetPath(const std::string& folder, const std::string& mappedName,
                       size_t* prefixLength);

// An archive kept open between lookups, so that listing the names of
// item 0, 1, 2, ... reads the central directory once. It reopens when the
// path or the file on disk changed.
class Cursor {
 public:
  Cursor() = default;
  ~Cursor();
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // The item count, 0 when the archive cannot be opened.
  int32_t ItemCount(const char* zipPath);
  // The stored name of item index; false when there is no such item.
  bool StoredName(const char* zipPath, int32_t index, std::string* name);
  void Close();

 private:
  bool Open(const char* zipPath);

  void* archive_ = nullptr;  // unzFile
  std::string path_;
  uint64_t identity_[4] = {};  // device, inode, size, change time
  int32_t count_ = 0;
  int32_t index_ = -1;  // the current item, -1 when none
};

// Unpacks every item of the archive into folder (created when missing).
// Returns 1 when the archive held at least one item and each one was
// unpacked; 0 otherwise, with the thread's last error set. cancel, when
// given, is polled between blocks of data; a cancelled run removes its
// partial file and returns 0. log may be null.
int32_t ExtractAll(const char* zipPath, const char* folder, bool flatten,
                   const std::atomic<bool>* cancel, LogSink* log);

}  // namespace zip
}  // namespace gavio
