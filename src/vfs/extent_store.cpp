#include "vfs/extent_store.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "vfs/archive.h"
#include "vfs/error_reporter.h"
#include "vfs/host_file.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\VFileSys";
constexpr uint64_t kFileHeadSize = sizeof(FileBlockHead);

bool SameHead(const FileBlockHead& a, const FileBlockHead& b) {
  return a.tag == b.tag && a.units == b.units && a.next == b.next && a.used == b.used;
}

}  // namespace

uint32_t ExtentStore::UnitsFor(uint64_t n) const {
  return static_cast<uint32_t>((n + kFileHeadSize + BlockSize() - 1) / BlockSize());
}

bool ExtentStore::HeadInDataArea(uint32_t offset) const {
  if (offset < Archive::kFirstExtent || static_cast<uint64_t>(offset) + kFileHeadSize > head_.dataEnd) {
    VFS_REPORT(reporter_, "file block range error");
    return false;
  }
  return true;
}

bool ExtentStore::InDataArea(uint32_t offset, uint64_t units) const {
  return offset >= Archive::kFirstExtent && units >= 1 &&
         static_cast<uint64_t>(offset) + units * BlockSize() <= head_.dataEnd;
}

uint64_t ExtentStore::MaxChain() const {
  if (head_.dataEnd <= Archive::kFirstExtent) return 0;
  return (head_.dataEnd - Archive::kFirstExtent) / BlockSize();
}

bool ExtentStore::ReadFileHead(uint32_t offset, FileBlockHead* out) {
  if (!file_.ReadAt(offset, out, sizeof *out)) {
    VFS_REPORT(reporter_, "read file error!");
    return false;
  }
  return true;
}

bool ExtentStore::WriteFileHead(uint32_t offset, const FileBlockHead& head) {
  if (!file_.WriteAt(offset, &head, sizeof head)) {
    VFS_REPORT(reporter_, "write file error!");
    return false;
  }
  return true;
}

bool ExtentStore::WriteFreeHead(uint32_t offset, uint32_t units, uint32_t next) {
  FreeBlockHead free_head{kFreeTag, units, next};
  if (!file_.WriteAt(offset, &free_head, sizeof free_head)) {
    VFS_REPORT(reporter_, "write file error!");
    return false;
  }
  return true;
}

bool ExtentStore::WriteData(uint64_t offset, const uint8_t* data, uint64_t n) {
  if (n == 0) return true;
  if (!file_.WriteAt(offset, data, n)) {
    VFS_REPORT(reporter_, "write file error!");
    return false;
  }
  return true;
}

bool ExtentStore::Link(FdtEntry* entry, uint32_t offset, uint32_t target) {
  if (offset == 0) {
    entry->firstExtent = target;
    return true;
  }
  if (!file_.WriteAt(static_cast<uint64_t>(offset) + offsetof(FileBlockHead, next), &target,
                     sizeof target)) {
    VFS_REPORT(reporter_, "write file error!");
    return false;
  }
  return true;
}

void ExtentStore::AddFreeUnits(int64_t delta) {
  int64_t units = std::clamp<int64_t>(head_.freeUnits + delta, INT32_MIN, INT32_MAX);
  head_.freeUnits = static_cast<int32_t>(units);
}

bool ExtentStore::Write(FdtEntry* entry, const uint8_t* data, uint32_t n) {
  uint32_t written = 0;
  uint32_t last = 0;
  bool done = false;
  if (!OverwriteChain(entry, data, n, &written, &last, &done)) return false;
  if (!done && written < n && !FillFreeExtents(entry, data, n, &written, &last)) return false;
  if (!done && written < n && !Append(entry, data + written, n - written, last)) return false;
  entry->unfilteredSize = n;
  entry->storedSize = n;
  return true;
}

bool ExtentStore::OverwriteChain(FdtEntry* entry, const uint8_t* data, uint32_t n,
                                 uint32_t* written, uint32_t* last, bool* done) {
  uint64_t visits = 0;
  for (uint32_t offset = entry->firstExtent; offset != 0;) {
    FileBlockHead old;
    if (++visits > MaxChain()) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    if (!HeadInDataArea(offset) || !ReadFileHead(offset, &old)) return false;
    if (old.tag != kBlockTag) {
      VFS_REPORT(reporter_, "file head tag error!");
      return false;
    }
    if (!InDataArea(offset, old.units)) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    uint64_t capacity = old.units * BlockSize() - kFileHeadSize;
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(n - *written, capacity));
    if (!WriteData(offset + kFileHeadSize, data + *written, piece)) return false;
    *written += piece;
    uint32_t needed = UnitsFor(piece);
    if (*written < n) {
      FileBlockHead updated{kBlockTag, needed, old.next, piece};
      if (!SameHead(old, updated) && !WriteFileHead(offset, updated)) return false;
      *last = offset;
      offset = old.next;
      continue;
    }
    FileBlockHead final_head{kBlockTag, needed, 0, piece};
    if (!SameHead(old, final_head) && !WriteFileHead(offset, final_head)) return false;
    if (old.units > needed) {
      uint32_t surplus_offset = offset + needed * head_.blockSize;
      if (!WriteFreeHead(surplus_offset, old.units - needed, head_.freeList)) return false;
      head_.freeList = surplus_offset;
      AddFreeUnits(old.units - needed);
    }
    *done = true;
    return old.next == 0 || Release(old.next);
  }
  return true;
}

bool ExtentStore::FillFreeExtents(FdtEntry* entry, const uint8_t* data, uint32_t n,
                                  uint32_t* written, uint32_t* last) {
  uint64_t visits = 0;
  while (*written < n && head_.freeUnits != 0 && head_.freeList != 0) {
    uint32_t offset = head_.freeList;
    FreeBlockHead free_head;
    if (++visits > MaxChain()) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    if (!HeadInDataArea(offset)) return false;
    if (!file_.ReadAt(offset, &free_head, sizeof free_head)) {
      VFS_REPORT(reporter_, "read file error!");
      return false;
    }
    if (free_head.tag != kFreeTag) {
      VFS_REPORT(reporter_, "free block head tag error!");
      return false;
    }
    if (!InDataArea(offset, free_head.units)) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    if (!Link(entry, *last, offset)) return false;
    uint64_t capacity = free_head.units * BlockSize() - kFileHeadSize;
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(n - *written, capacity));
    if (!WriteData(offset + kFileHeadSize, data + *written, piece)) return false;
    *written += piece;
    uint32_t needed = UnitsFor(piece);
    AddFreeUnits(-static_cast<int64_t>(needed));
    *last = offset;
    if (*written < n) {
      if (!WriteFileHead(offset, FileBlockHead{kBlockTag, free_head.units, free_head.next, piece})) {
        return false;
      }
      head_.freeList = free_head.next;
      continue;
    }
    if (!WriteFileHead(offset, FileBlockHead{kBlockTag, needed, 0, piece})) return false;
    if (free_head.units > needed) {
      uint32_t surplus_offset = offset + needed * head_.blockSize;
      if (!WriteFreeHead(surplus_offset, free_head.units - needed, free_head.next)) return false;
      head_.freeList = surplus_offset;
    } else {
      head_.freeList = free_head.next;
    }
  }
  return true;
}

bool ExtentStore::Append(FdtEntry* entry, const uint8_t* data, uint32_t n, uint32_t last) {
  uint32_t offset = head_.dataEnd == 0 ? Archive::kFirstExtent : head_.dataEnd;
  uint32_t units = UnitsFor(n);
  uint64_t end = static_cast<uint64_t>(offset) + static_cast<uint64_t>(units) * BlockSize();
  // Offsets are 32 bits wide; the FDT behind data end needs room too.
  if (end > kMaxArchiveDataEnd) {
    VFS_REPORT(reporter_, "archive full");
    return false;
  }
  if (!WriteFileHead(offset, FileBlockHead{kBlockTag, units, 0, n}) ||
      !WriteData(offset + kFileHeadSize, data, n)) {
    return false;
  }
  uint64_t padding = end - (offset + kFileHeadSize + n);
  std::vector<uint8_t> zeros(padding, 0);
  if (!WriteData(offset + kFileHeadSize + n, zeros.data(), padding)) return false;
  if (!Link(entry, last, offset)) return false;
  head_.dataEnd = static_cast<uint32_t>(end);
  return true;
}

bool ExtentStore::Read(uint32_t first, uint32_t storedSize, uint8_t* out, ReadKind kind) {
  const bool load = kind == ReadKind::kLoad;
  const char* short_read = load ? "read file error!" : "read file error";
  if (first == 0) {
    if (storedSize == 0) return true;
    VFS_REPORT(reporter_, short_read);
    return false;
  }
  uint64_t missing = storedSize;
  uint64_t visits = 0;
  for (uint32_t offset = first;;) {
    if (offset == 0 || ++visits > MaxChain()) {
      // The chain ended before the stored size was reached, or never ends.
      VFS_REPORT(reporter_, offset == 0 ? short_read : "file block range error");
      return false;
    }
    FileBlockHead head;
    if (!HeadInDataArea(offset)) return false;
    if (!file_.ReadAt(offset, &head, sizeof head)) {
      VFS_REPORT(reporter_, short_read);
      return false;
    }
    if (head.tag != kBlockTag) {
      VFS_REPORT(reporter_, load ? "head tag invalid" : "file block head tag error");
      return false;
    }
    if (!InDataArea(offset, head.units) || head.used > head.units * BlockSize() - kFileHeadSize) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    if (head.used > missing) {
      VFS_REPORT(reporter_, load ? "read file error!" : "file block size error");
      return false;
    }
    if (head.used > 0 && !file_.ReadAt(offset + kFileHeadSize, out, head.used)) {
      VFS_REPORT(reporter_, short_read);
      return false;
    }
    out += head.used;
    missing -= head.used;
    if (missing == 0) {
      if (head.next == 0) return true;
      VFS_REPORT(reporter_, short_read);
      return false;
    }
    offset = head.next;
  }
}

bool ExtentStore::ReadSingleExtent(uint32_t first, uint32_t storedSize, uint8_t* out) {
  if (first < Archive::kFirstExtent || static_cast<uint64_t>(first) + kFileHeadSize > head_.dataEnd ||
      MaxChain() < 1) {
    return false;
  }
  FileBlockHead head;
  if (!file_.ReadTwoAt(first, &head, sizeof head, out, storedSize)) return false;
  return head.tag == kBlockTag && InDataArea(first, head.units) &&
         head.used <= head.units * BlockSize() - kFileHeadSize && head.used == storedSize && head.next == 0;
}

bool ExtentStore::Release(uint32_t first) {
  uint64_t visits = 0;
  for (uint32_t offset = first; offset != 0;) {
    if (++visits > MaxChain()) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    FileBlockHead head;
    if (!HeadInDataArea(offset)) return false;
    if (!file_.ReadAt(offset, &head, sizeof head)) {
      VFS_REPORT(reporter_, "error read file");
      return false;
    }
    // A released extent carries the free tag, so a chain that loops back
    // on itself stops here.
    if (head.tag != kBlockTag) {
      VFS_REPORT(reporter_, "file head tag invalid");
      return false;
    }
    if (!InDataArea(offset, head.units)) {
      VFS_REPORT(reporter_, "file block range error");
      return false;
    }
    if (!WriteFreeHead(offset, head.units, head_.freeList)) return false;
    head_.freeList = offset;
    AddFreeUnits(head.units);
    offset = head.next;
  }
  return true;
}

}  // namespace gavio
