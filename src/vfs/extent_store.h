// ExtentStore: a file's bytes in an archive's extents. Writes reuse the
// file's own chain first, then free extents (most recently freed first),
// then append one extent at data end; surplus units go back to the free
// list. Reads and releases walk a chain.
//
// Every extent visited must lie between the head and data end and hold its
// used bytes, and a chain may visit at most as many extents as the data
// area has blocks, so hostile chains (cycles, offsets past the file, huge
// lengths) end with an error instead of a hang or an overrun.
//
// Changes the head's free list, free units and data end in memory; the
// head reaches the file only when the archive is closed.
//
// Thread safety: none; one archive is edited by one thread at a time.
#pragma once

#include <stdint.h>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;
class HostFile;
struct FdtEntry;

class ExtentStore {
 public:
  // Which texts a read reports: LoadFile and ReadFileFromRoot word their
  // failures differently.
  enum class ReadKind { kLoad, kCopy };

  ExtentStore(const HostFile& file, VfsHead& head, ErrorReporter* reporter)
      : file_(file), head_(head), reporter_(reporter) {}

  // Stores n bytes as the entry's content and sets both of its sizes to n.
  // Returns false after reporting; extents already rewritten stay so and
  // the entry's sizes keep their old values.
  bool Write(FdtEntry* entry, const uint8_t* data, uint32_t n);
  // Reads storedSize bytes from the chain at first into out. A file without
  // extents reads as empty when storedSize is 0.
  bool Read(uint32_t first, uint32_t storedSize, uint8_t* out, ReadKind kind);
  // Read for the usual shape of a packed file, one extent holding all
  // storedSize bytes: its head and data in one read. False when the chain
  // has another shape or fails any check Read makes; nothing is reported,
  // so the caller then calls Read, which says why.
  bool ReadSingleExtent(uint32_t first, uint32_t storedSize, uint8_t* out);
  // Puts every extent of the chain at first on the free list.
  bool Release(uint32_t first);

 private:
  uint64_t BlockSize() const { return head_.blockSize; }
  // Units that a piece of n data bytes needs (with its 16-byte head).
  uint32_t UnitsFor(uint64_t n) const;
  // Whether an extent head at offset lies inside the data area (checked
  // before the head is read), and whether the whole extent does.
  bool HeadInDataArea(uint32_t offset) const;
  bool InDataArea(uint32_t offset, uint64_t units) const;
  // The most extents one chain can hold.
  uint64_t MaxChain() const;
  bool ReadFileHead(uint32_t offset, FileBlockHead* out);
  bool WriteFileHead(uint32_t offset, const FileBlockHead& head);
  bool WriteFreeHead(uint32_t offset, uint32_t units, uint32_t next);
  bool WriteData(uint64_t offset, const uint8_t* data, uint64_t n);
  // Points the next field of the extent at offset (or the entry's first
  // extent when offset is 0) to target.
  bool Link(FdtEntry* entry, uint32_t offset, uint32_t target);
  void AddFreeUnits(int64_t delta);
  // Step 2 of a write: fills the existing chain. Sets *done when the data
  // ended inside it; *last is the last extent written.
  bool OverwriteChain(FdtEntry* entry, const uint8_t* data, uint32_t n, uint32_t* written,
                      uint32_t* last, bool* done);
  bool FillFreeExtents(FdtEntry* entry, const uint8_t* data, uint32_t n, uint32_t* written,
                       uint32_t* last);
  bool Append(FdtEntry* entry, const uint8_t* data, uint32_t n, uint32_t last);

  const HostFile& file_;
  VfsHead& head_;
  ErrorReporter* reporter_;
};

}  // namespace gavio
