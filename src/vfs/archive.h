// Archive: the in-memory head and file descriptor table (FDT) of one archive
// file, and the rules for reading them from and writing them to the file.
//
// The entries form a first-child / next-sibling tree kept in one list in
// FDT order. The first entry of the list is the first top-level entry, every
// lookup starts there, and new entries are appended. Reading accepts only a
// table that forms exactly such a tree (every entry reached once from the
// first, links consistent, children and later siblings later in the list),
// so every walk over it ends and every unlink keeps it a tree. Names must be
// non-empty and free of '\', '/' and NUL, or no path could name them.
//
// Thread safety: none; the owning file system serialises access.
#pragma once

#include <stdint.h>

#include <array>
#include <memory>
#include <new>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;
class HostFile;

// An entry's name: up to 15 bytes kept inside, longer ones on the heap.
// Half the size of a std::string, which counts with one per entry.
class EntryName {
 public:
  EntryName() { inside_[kTagByte] = 0; }
  ~EntryName() { Release(); }
  EntryName(const EntryName&) = delete;
  EntryName& operator=(const EntryName&) = delete;

  void assign(std::string_view text);
  std::string_view view() const {
    return OnHeap() ? std::string_view(heap_.data, heap_.size)
                    : std::string_view(inside_, static_cast<unsigned char>(inside_[kTagByte]));
  }
  operator std::string_view() const { return view(); }
  size_t size() const { return view().size(); }
  bool empty() const { return view().empty(); }

 private:
  static constexpr size_t kTagByte = 15;  // inside: the length; kOnHeap: on the heap
  static constexpr char kOnHeap = static_cast<char>(0xff);
  bool OnHeap() const { return inside_[kTagByte] == kOnHeap; }
  void Release();

  union {
    char inside_[16];
    struct {
      char* data;
      uint32_t size;
    } heap_;
  };
};

// One FDT record in memory. A mount keeps one per entry, so only what is
// used between reading and writing is held: the sizes, the kind, the first
// extent and the links. Links are slot numbers in the owning Archive (see
// its accessors), half the size of pointers; the on-disk link offsets are
// made again when the table is written.
struct FdtEntry {
  static constexpr uint32_t kNone = UINT32_MAX;  // no link
  static constexpr int32_t kRemoved = -1;

  EntryName name;               // one path component, case as stored
  uint32_t unfilteredSize = 0;  // content length before the content filter
  uint32_t storedSize = 0;      // content length in the extents
  uint32_t firstExtent = 0;     // 0 = no extent
  uint32_t kind = 0;            // kFdtFile or kFdtDirectory
  int32_t scratch = 0;          // list position (a guess once edited); kRemoved once detached
  uint32_t slot = 0;            // own slot in the archive
  uint32_t parent = kNone;
  uint32_t nextSibling = kNone;
  uint32_t prevSibling = kNone;
  uint32_t firstChild = kNone;

  bool IsDirectory() const { return kind == kFdtDirectory; }
  bool IsRemoved() const { return scratch == kRemoved; }
};
static_assert(sizeof(FdtEntry) <= 56, "a mounted entry costs 56 bytes");

// What an edit changes in an entry, for putting it back.
struct FdtContent {
  uint32_t unfilteredSize;
  uint32_t storedSize;
  uint32_t firstExtent;

  static FdtContent Of(const FdtEntry& entry) {
    return {entry.unfilteredSize, entry.storedSize, entry.firstExtent};
  }
  void RestoreTo(FdtEntry* entry) const {
    entry->unfilteredSize = unfilteredSize;
    entry->storedSize = storedSize;
    entry->firstExtent = firstExtent;
  }
};

class Archive {
 public:
  // Extents start right behind the head.
  static constexpr uint32_t kFirstExtent = kVfsHeadSize;
  // Smallest possible plain record (60 bytes, empty name) as stored: two
  // length words and two letters per byte.
  static constexpr uint32_t kMinStoredRecord = 8 + 2 * 60;

  explicit Archive(ErrorReporter* reporter) : reporter_(reporter) {}
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  ~Archive() { DestroyEntries(); }

  VfsHead& head() { return head_; }
  const VfsHead& head() const { return head_; }
  // Entries in the list.
  size_t Count() const { return count_; }
  FdtEntry* First() const { return At(0); }
  // The entries an entry links to, or null.
  FdtEntry* Parent(const FdtEntry* entry) const { return Linked(entry->parent); }
  FdtEntry* NextSibling(const FdtEntry* entry) const { return Linked(entry->nextSibling); }
  FdtEntry* PrevSibling(const FdtEntry* entry) const { return Linked(entry->prevSibling); }
  FdtEntry* FirstChild(const FdtEntry* entry) const { return Linked(entry->firstChild); }

  // All zero but the magic and block size 512.
  void InitNewHead();
  // Reads exactly 156 bytes at offset 0. Refuses a head no extent could be
  // read or written with (block size of 16 bytes or less, or over 16 MiB;
  // data end inside the head).
  bool ReadHead(const HostFile& file);
  // Reads the FDT at data end into the entry list; coder is the ".?fdt"
  // filter (null: "FDT Not Encrypted"). On failure the list stays empty.
  bool ReadFdt(const HostFile& file, RWFilter* coder);
  // Turns the record offsets read into links and checks the tree. On
  // failure ("fdt data error!", "fdt data error", "fdt tree error") the
  // list is emptied.
  bool Relink();
  // PrepareHeadForWrite, then the 156 bytes at offset 0.
  bool WriteHead(const HostFile& file);
  // Every head written gets FDT coded flag 1 and key selector 1 (the FDT
  // written after it is coded so), and a file filter kind of 1 becomes 0.
  static void PrepareHeadForWrite(VfsHead* head);
  // Writes count and records at data end (nothing while data end is 0).
  // coder is the ".?fdt" filter; without one the records are written plain.
  bool WriteFdt(const HostFile& file, RWFilter* coder);
  // An archive with entries but no extent still needs a place for its FDT:
  // data end moves to the first extent's offset. Call before WriteHead.
  void ReserveFdtPlace();

  // The entry a cleaned path names: "a\b" a file, "a\b\" a directory.
  // With create, missing directories and the final entry are made (kind
  // from the path's form). Names compare with ASCII case folded, or exactly
  // with exactNames. Null when nothing matches, a file stands where a
  // directory is needed, or the path has no component.
  FdtEntry* Find(std::string_view path, bool create, bool exactNames = false);
  // The list position of an entry, -1 when it is not in the list.
  int32_t IndexOf(const FdtEntry* entry) const;
  // The entry at a list position, or null.
  FdtEntry* At(int32_t index) const;
  // Unlinks entry with its whole subtree (or, with null, every entry) from
  // the tree and the list.
  // Returns the entries, children before their parent, marked removed,
  // their links left as they were; they stay readable until the next entry
  // is made.
  std::vector<FdtEntry*> Detach(FdtEntry* entry);
  // Drops every entry.
  void Clear();

 private:
  class RecordReader;

  bool ReadRecord(RecordReader& reader, uint64_t* offset, uint64_t fileSize, RWFilter* coder,
                  IBuffer* coded, IBuffer* plain);
  // Numbers the list and checks the tree shape (see the class comment).
  bool CheckTree();
  // Record offsets by list position; false when one passes 32 bits.
  bool RecordOffsets(std::vector<uint32_t>* offsets) const;
  // Stores each entry's links as record offsets ("error fdtlink2offset").
  bool LinksToOffsets();
  void AppendPlainRecord(const FdtEntry& entry, const std::vector<uint32_t>& offsets,
                         std::vector<uint8_t>* out) const;

  // Entries live in chunks of raw storage that never move, so entry
  // pointers stay valid while the table grows, and a chunk's untouched
  // tail costs no memory. Slots are handed out in order; a removed entry's
  // slot is used again.
  static constexpr uint32_t kChunkShift = 10;
  static constexpr uint32_t kChunkSlots = 1u << kChunkShift;
  struct Chunk {
    alignas(FdtEntry) unsigned char bytes[kChunkSlots * sizeof(FdtEntry)];
  };
  FdtEntry* SlotEntry(uint32_t slot) const {
    unsigned char* at = chunks_[slot >> kChunkShift]->bytes + (slot & (kChunkSlots - 1)) * sizeof(FdtEntry);
    return std::launder(reinterpret_cast<FdtEntry*>(at));
  }
  FdtEntry* Linked(uint32_t slot) const { return slot == FdtEntry::kNone ? nullptr : SlotEntry(slot); }
  uint32_t SlotAt(size_t position) const {
    return order_.empty() ? static_cast<uint32_t>(position) : order_[position];
  }
  // A fresh entry at the end of the list; null when memory ran out.
  FdtEntry* Append();
  // Writes the slot order out: from here on the list no longer runs in
  // slot order.
  void KeepOrder();
  void DestroyEntries();
  // The reserved bytes of the record of slot (zero unless set).
  void KeepReserved(uint32_t slot, const uint8_t* bytes);

  ErrorReporter* reporter_;
  VfsHead head_{};
  std::vector<std::unique_ptr<Chunk>> chunks_;
  uint32_t slots_ = 0;              // slots made so far
  std::vector<uint32_t> freeSlots_;  // slots of removed entries
  // Slots by list position; empty while position and slot are the same
  // (an archive as read, and one only added to since).
  std::vector<uint32_t> order_;
  size_t count_ = 0;
  // The reserved bytes of records that have any set, by slot: they are
  // written back as read.
  std::unordered_map<uint32_t, std::array<uint8_t, 16>> reserved_;
};

}  // namespace gavio
