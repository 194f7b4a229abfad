// Helpers of the virtual file system tests: captured error reports, buffers
// from text, and an archive codec written from the format alone (not from
// the library) that builds hand-made archives and audits written ones.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "gavio/vfs.h"
#include "vfs/error_reporter.h"

namespace vfs_test {

// An error reporter whose lines the test can read.
class Reports {
 public:
  Reports();
  gavio::ErrorReporter* get() { return &reporter_; }
  bool Has(std::string_view text) const;
  std::string All() const;
  void Clear() { lines_.clear(); }

 private:
  gavio::ErrorReporter reporter_;
  std::vector<std::string> lines_;
};

// A new buffer holding bytes; the caller releases it.
gavio::IBuffer* MakeBuffer(std::string_view bytes);
std::string BufferText(gavio::IBuffer* buffer);
// Releases a buffer the test received, returning its text ("<null>" for none).
std::string TakeText(gavio::IBuffer* buffer);

// Destroys a file system at scope end.
struct FileSysHolder {
  explicit FileSysHolder(gavio::IFileSys* f) : fs(f) {}
  ~FileSysHolder() {
    if (fs != nullptr) fs->Destroy();
  }
  FileSysHolder(const FileSysHolder&) = delete;
  FileSysHolder& operator=(const FileSysHolder&) = delete;
  gavio::IFileSys* operator->() const { return fs; }
  gavio::IFileSys* fs;
};

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, std::string_view bytes);
uint32_t U32At(std::string_view bytes, size_t offset);
void PutU32(std::string* bytes, size_t offset, uint32_t value);

// Letter coding with one of the two alphabets, independent of CoderFilter.
std::string Code(std::string_view plain, int selector);
// Decodes; false when a letter is outside the alphabet or the length is odd.
bool Decode(std::string_view coded, int selector, std::string* plain);

// One FDT record as the format describes it; links are record offsets.
struct RawRecord {
  std::string name;
  uint32_t kind = gavio::kFdtFile;
  uint32_t unfiltered = 0;
  uint32_t stored = 0;
  uint32_t firstExtent = 0;
  uint32_t parent = 0;
  uint32_t next = 0;
  uint32_t prev = 0;
  uint32_t child = 0;
  std::string reserved = std::string(16, '\0');
};

std::string PlainRecord(const RawRecord& record);
// Record offsets: data end + 4, then + 60 + name length per record.
std::vector<uint32_t> RecordOffsets(uint32_t dataEnd, const std::vector<RawRecord>& records);
// count + coded records, as written at data end.
std::string CodedFdt(const std::vector<RawRecord>& records, int selector);
// A head with the given data end (block size 512, coded flag 1, selector 1).
std::string Head(uint32_t dataEnd, uint8_t filterKind = 0, uint32_t freeList = 0,
                 int32_t freeUnits = 0);
// 16-byte FileBlockHead and 12-byte FreeBlockHead images.
std::string FileBlock(uint32_t units, uint32_t next, uint32_t used);
std::string FreeBlock(uint32_t units, uint32_t next);

// What an independent reading of a closed archive file finds.
struct Audit {
  bool ok = false;
  std::string error;                            // why ok is false
  gavio::VfsHead head{};
  std::map<std::string, std::string> stored;    // file path -> stored bytes
  std::map<std::string, uint32_t> unfiltered;   // file path -> unfiltered size
  std::map<std::string, uint32_t> units;        // file path -> units of its chain
  std::vector<std::string> directories;         // "a\b\" form
  int64_t freeListUnits = 0;                    // summed over the free list
  std::map<std::string, std::string> reserved;  // entry path -> reserved bytes, when not all zero
};

// Reads head, FDT, every file's chain and the free list, and checks that
// file extents and free extents tile the data area exactly.
Audit AuditArchive(const std::string& path);

// zlib single-call decompression of a stored file.
bool Inflate(const std::string& stored, uint32_t size, std::string* out);

}  // namespace vfs_test
