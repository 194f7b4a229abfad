#include "vfs/archive.h"

#include <string.h>

#include <algorithm>

#include "platform/errors.h"
#include "vfs/buffer.h"
#include "vfs/error_reporter.h"
#include "vfs/host_file.h"
#include "vfs/vfs_path.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the archive records are read and written as little-endian memory images");

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\VFileSys";
constexpr uint32_t kMaxBlockSize = 1u << 24;
constexpr size_t kFixedSize = sizeof(FdtFixed);
// A plain record is the tag, the name length, the name and the fixed part.
constexpr size_t kPlainOverhead = 8 + kFixedSize;
// Records are written in batches of about this many bytes.
constexpr size_t kWriteBatch = 1 << 20;

// The coder reads coded text up to its first zero byte, so the coded buffer
// keeps zeros behind the text.
constexpr int32_t kCodedSlack = 2;

struct BufferDeleter {
  void operator()(IBuffer* buffer) const {
    if (buffer != nullptr) buffer->Release();
  }
};
using BufferPtr = std::unique_ptr<IBuffer, BufferDeleter>;

void AppendU32(std::vector<uint8_t>* out, uint32_t value) {
  uint8_t bytes[4];
  memcpy(bytes, &value, 4);
  out->insert(out->end(), bytes, bytes + 4);
}

uint32_t LoadU32(const uint8_t* bytes) {
  uint32_t value;
  memcpy(&value, bytes, 4);
  return value;
}

}  // namespace

// Reads the records of an FDT through one window of the file, so a table
// of many small records costs a few large reads instead of two per record.
class Archive::RecordReader {
 public:
  static constexpr size_t kWindow = 64 * 1024;

  RecordReader(const HostFile& file, uint64_t fileSize) : file_(file), fileSize_(fileSize) {}

  // Exactly n bytes at offset; false when the file ends before them.
  bool Read(uint64_t offset, void* out, size_t n) {
    if (n == 0) return true;
    if (offset < start_ || offset - start_ > window_.size() || n > window_.size() - (offset - start_)) {
      if (n > kWindow) return file_.ReadAt(offset, out, n);
      if (offset >= fileSize_ || n > fileSize_ - offset) return false;
      window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindow, fileSize_ - offset)));
      if (!file_.ReadAt(offset, window_.data(), window_.size())) {
        window_.clear();
        return false;
      }
      start_ = offset;
    }
    memcpy(out, window_.data() + (offset - start_), n);
    return true;
  }

 private:
  const HostFile& file_;
  const uint64_t fileSize_;
  uint64_t start_ = 0;
  std::vector<uint8_t> window_;
};

void Archive::InitNewHead() {
  head_ = VfsHead{};
  memcpy(head_.magic, "vfs ", 4);
  head_.blockSize = kDefaultBlockSize;
}

bool Archive::ReadHead(const HostFile& file) {
  if (!file.ReadAt(0, &head_, sizeof head_)) return false;
  if (head_.blockSize <= sizeof(FileBlockHead) || head_.blockSize > kMaxBlockSize) return false;
  return head_.dataEnd == 0 || head_.dataEnd >= kFirstExtent;
}

bool Archive::ReadFdt(const HostFile& file, RWFilter* coder) {
  Clear();
  if (head_.dataEnd == 0) return true;
  int32_t count = 0;
  if (!file.ReadAt(head_.dataEnd, &count, sizeof count) || count < 0) {
    VFS_REPORT(reporter_, "fdt count error");
    return false;
  }
  if (count == 0) return true;
  if (coder == nullptr) {
    VFS_REPORT(reporter_, "FDT Not Encrypted");
    return false;
  }
  uint64_t offset = static_cast<uint64_t>(head_.dataEnd) + 4;
  uint64_t file_size = file.Size();
  // Every record takes room in the file, so a count the file cannot hold is
  // refused before anything is allocated for it.
  if (file_size < offset || static_cast<uint64_t>(count) > (file_size - offset) / kMinStoredRecord) {
    VFS_REPORT(reporter_, "fdt count error");
    return false;
  }
  BufferPtr coded(CreateBuffer(0, reporter_));
  BufferPtr plain(CreateBuffer(0, reporter_));
  if (coded == nullptr || plain == nullptr || coded->Reserve(428) == 0 || plain->Reserve(344) == 0) {
    return false;
  }
  RecordReader reader(file, file_size);
  for (int32_t i = 0; i < count; ++i) {
    if (!ReadRecord(reader, &offset, file_size, coder, coded.get(), plain.get())) {
      Clear();
      return false;
    }
  }
  return true;
}

bool Archive::ReadRecord(RecordReader& reader, uint64_t* offset, uint64_t fileSize,
                         RWFilter* coder, IBuffer* coded, IBuffer* plain) {
  uint32_t lengths[2];  // coded length, plain length
  if (!reader.Read(*offset, lengths, sizeof lengths)) {
    VFS_REPORT(reporter_, "fdt record error");
    return false;
  }
  *offset += sizeof lengths;
  uint32_t coded_length = lengths[0];
  // The plain length only sized a buffer; the decoded text has the final
  // say, so a hostile plain length cannot make us allocate.
  if (coded_length > fileSize - *offset || coded_length > INT32_MAX - kCodedSlack ||
      coded->Reserve(static_cast<int32_t>(coded_length) + kCodedSlack) == 0) {
    VFS_REPORT(reporter_, "fdt record error");
    return false;
  }
  memset(coded->Data(), 0, coded_length + kCodedSlack);
  coded->SetSize(static_cast<int32_t>(coded_length));
  if (!reader.Read(*offset, coded->Data(), coded_length) || coder->PostLoad(coded, plain) == 0) {
    VFS_REPORT(reporter_, "fdt record error");
    return false;
  }
  *offset += coded_length;

  const uint8_t* bytes = plain->Data();
  size_t size = static_cast<size_t>(plain->Size());
  if (size < 8 || LoadU32(bytes) != kBlockTag) {
    VFS_REPORT(reporter_, "fdt record tag error");
    return false;
  }
  uint32_t name_length = LoadU32(bytes + 4);
  if (size < kPlainOverhead || name_length > size - kPlainOverhead) {
    VFS_REPORT(reporter_, "fdt name length error");
    return false;
  }
  FdtFixed fixed;
  memcpy(&fixed, bytes + 8 + name_length, kFixedSize);
  if (fixed.tailTag != kTailTag) {
    VFS_REPORT(reporter_, "fdt record tag error");
    return false;
  }
  FdtEntry* entry = Append();
  if (entry == nullptr) {
    VFS_REPORT(reporter_, "fdt record error");
    return false;
  }
  entry->name.assign(std::string_view(reinterpret_cast<const char*>(bytes + 8), name_length));
  entry->unfilteredSize = fixed.unfilteredSize;
  entry->storedSize = fixed.storedSize;
  entry->firstExtent = fixed.firstExtent;
  entry->kind = fixed.kind;
  // The links hold record offsets until Relink turns them into slots.
  entry->parent = fixed.parent;
  entry->nextSibling = fixed.nextSibling;
  entry->prevSibling = fixed.prevSibling;
  entry->firstChild = fixed.firstChild;
  KeepReserved(entry->slot, fixed.reserved);
  return true;
}

FdtEntry* Archive::Append() {
  bool reuse = !freeSlots_.empty();
  uint32_t slot = reuse ? freeSlots_.back() : slots_;
  if (!reuse) {
    if (slot == FdtEntry::kNone) return nullptr;
    if ((slot >> kChunkShift) == chunks_.size()) {
      // Default-initialised, so the chunk's pages are touched only as
      // entries are made in them.
      std::unique_ptr<Chunk> chunk(new (std::nothrow) Chunk);
      if (chunk == nullptr) return nullptr;
      chunks_.push_back(std::move(chunk));
    }
  }
  if (!order_.empty() || slot != count_) {
    KeepOrder();
    order_.push_back(slot);
  }
  if (reuse) {
    freeSlots_.pop_back();
    SlotEntry(slot)->~FdtEntry();
  } else {
    ++slots_;
  }
  auto* entry = new (SlotEntry(slot)) FdtEntry();
  entry->slot = slot;
  entry->scratch = static_cast<int32_t>(count_++);
  return entry;
}

void Archive::KeepOrder() {
  if (!order_.empty()) return;
  order_.resize(count_);
  for (size_t i = 0; i < count_; ++i) order_[i] = static_cast<uint32_t>(i);
}

void Archive::KeepReserved(uint32_t slot, const uint8_t* bytes) {
  static constexpr uint8_t kZero[16] = {};
  if (memcmp(bytes, kZero, sizeof kZero) == 0) {
    reserved_.erase(slot);
    return;
  }
  std::array<uint8_t, 16> copy;
  memcpy(copy.data(), bytes, copy.size());
  reserved_[slot] = copy;
}

void Archive::DestroyEntries() {
  for (uint32_t slot = 0; slot < slots_; ++slot) SlotEntry(slot)->~FdtEntry();
  slots_ = 0;
}

void Archive::Clear() {
  DestroyEntries();
  chunks_.clear();
  freeSlots_.clear();
  order_.clear();
  count_ = 0;
  reserved_.clear();
}

void EntryName::Release() {
  if (OnHeap()) delete[] heap_.data;
  inside_[kTagByte] = 0;
}

void EntryName::assign(std::string_view text) {
  Release();
  if (text.size() <= kTagByte) {
    memcpy(inside_, text.data(), text.size());
    inside_[kTagByte] = static_cast<char>(text.size());
    return;
  }
  char* data = new char[text.size()];
  memcpy(data, text.data(), text.size());
  heap_.data = data;
  heap_.size = static_cast<uint32_t>(text.size());
  inside_[kTagByte] = kOnHeap;
}

bool Archive::RecordOffsets(std::vector<uint32_t>* offsets) const {
  offsets->clear();
  offsets->reserve(count_);
  uint64_t offset = static_cast<uint64_t>(head_.dataEnd) + 4;
  for (size_t i = 0; i < count_; ++i) {
    if (offset > UINT32_MAX) return false;
    offsets->push_back(static_cast<uint32_t>(offset));
    offset += kPlainOverhead + SlotEntry(SlotAt(i))->name.size();
  }
  return true;
}

bool Archive::Relink() {
  std::vector<uint32_t> offsets;
  if (!RecordOffsets(&offsets)) {
    VFS_REPORT(reporter_, "fdt data error");
    Clear();
    return false;
  }
  // Offsets grow with the list position, so a link finds its record by
  // binary search and no table of its own is needed.

  uint64_t lowest = static_cast<uint64_t>(head_.dataEnd) + 4;
  for (size_t position = 0; position < count_; ++position) {
    FdtEntry* entry = SlotEntry(SlotAt(position));
    for (uint32_t* link : {&entry->parent, &entry->nextSibling, &entry->prevSibling, &entry->firstChild}) {
      if (*link == 0) {
        *link = FdtEntry::kNone;
        continue;
      }
      if (*link < lowest) {
        VFS_REPORT(reporter_, "fdt data error!");
        Clear();
        return false;
      }
      auto found = std::lower_bound(offsets.begin(), offsets.end(), *link);
      if (found == offsets.end() || *found != *link) {
        VFS_REPORT(reporter_, "fdt data error");
        Clear();
        return false;
      }
      *link = SlotAt(static_cast<size_t>(found - offsets.begin()));
    }
  }
  if (!CheckTree()) {
    VFS_REPORT(reporter_, "fdt tree error");
    Clear();
    return false;
  }
  return true;
}

bool Archive::CheckTree() {
  for (size_t i = 0; i < count_; ++i) {
    FdtEntry& entry = *SlotEntry(SlotAt(i));
    entry.scratch = static_cast<int32_t>(i);
    if (entry.kind != kFdtFile && entry.kind != kFdtDirectory) return false;
    // A name is one path component: no lookup could reach an empty one or
    // one holding a separator (or a NUL, which ends every path).
    if (entry.name.empty() || entry.name.view().find_first_of(std::string_view("\\/\0", 3)) != std::string::npos) {
      return false;
    }
    if (!entry.IsDirectory() && entry.firstChild != FdtEntry::kNone) return false;
  }
  if (count_ == 0) return true;
  FdtEntry* first = First();
  if (first->parent != FdtEntry::kNone || first->prevSibling != FdtEntry::kNone) return false;
  // Links only point forward in the list (to later siblings and children)
  // and each entry has one way in, so the walk is a tree walk and ends.
  size_t reached = 0;
  std::vector<FdtEntry*> chains = {first};
  while (!chains.empty()) {
    FdtEntry* chain = chains.back();
    chains.pop_back();
    for (FdtEntry* node = chain; node != nullptr; node = NextSibling(node)) {
      if (++reached > count_ || node->parent != chain->parent) return false;
      FdtEntry* next = NextSibling(node);
      if (next != nullptr && (next->prevSibling != node->slot || next->scratch <= node->scratch)) {
        return false;
      }
      FdtEntry* child = FirstChild(node);
      if (child == nullptr) continue;
      if (child->prevSibling != FdtEntry::kNone || child->parent != node->slot || child->scratch <= node->scratch) {
        return false;
      }
      chains.push_back(child);
    }
  }
  return reached == count_;
}

void Archive::PrepareHeadForWrite(VfsHead* head) {
  head->fdtCoded = 1;
  head->keySelector = 1;
  // Kinds 0 and 1 both mean zlib. A raw archive (kind 2 and up) keeps its
  // kind: writing 0 over it would make every stored file undecodable.
  if (head->fileFilterKind == 1) head->fileFilterKind = 0;
  OutputDebugStringA("[vfs] Pivotra");
}

bool Archive::WriteHead(const HostFile& file) {
  PrepareHeadForWrite(&head_);
  return file.WriteAt(0, &head_, sizeof head_);
}

void Archive::ReserveFdtPlace() {
  if (head_.dataEnd == 0 && count_ > 0) head_.dataEnd = kFirstExtent;
}

bool Archive::LinksToOffsets() {
  for (size_t i = 0; i < count_; ++i) SlotEntry(SlotAt(i))->scratch = static_cast<int32_t>(i);
  // Every link must reach an entry still in the list, or its offset would
  // name a record that is not written.
  auto listed = [this](uint32_t slot) {
    return slot == FdtEntry::kNone || (slot < slots_ && !SlotEntry(slot)->IsRemoved());
  };
  for (size_t i = 0; i < count_; ++i) {
    const FdtEntry& entry = *SlotEntry(SlotAt(i));
    if (!listed(entry.parent) || !listed(entry.nextSibling) || !listed(entry.prevSibling) ||
        !listed(entry.firstChild)) {
      VFS_REPORT(reporter_, "error fdtlink2offset");
      return false;
    }
  }
  return true;
}

void Archive::AppendPlainRecord(const FdtEntry& entry, const std::vector<uint32_t>& offsets,
                                std::vector<uint8_t>* out) const {
  auto offset_of = [&](uint32_t slot) -> uint32_t {
    return slot == FdtEntry::kNone ? 0 : offsets[static_cast<size_t>(SlotEntry(slot)->scratch)];
  };
  FdtFixed fixed{};
  fixed.unfilteredSize = entry.unfilteredSize;
  fixed.storedSize = entry.storedSize;
  fixed.kind = entry.kind;
  fixed.firstExtent = entry.firstExtent;
  fixed.parent = offset_of(entry.parent);
  fixed.nextSibling = offset_of(entry.nextSibling);
  fixed.prevSibling = offset_of(entry.prevSibling);
  fixed.firstChild = offset_of(entry.firstChild);
  auto reserved = reserved_.find(entry.slot);
  if (reserved != reserved_.end()) memcpy(fixed.reserved, reserved->second.data(), sizeof fixed.reserved);
  fixed.tailTag = kTailTag;
  AppendU32(out, kBlockTag);
  AppendU32(out, static_cast<uint32_t>(entry.name.size()));
  std::string_view name = entry.name;
  out->insert(out->end(), name.begin(), name.end());
  const auto* bytes = reinterpret_cast<const uint8_t*>(&fixed);
  out->insert(out->end(), bytes, bytes + kFixedSize);
}

bool Archive::WriteFdt(const HostFile& file, RWFilter* coder) {
  if (head_.dataEnd == 0) return true;
  int32_t count = static_cast<int32_t>(count_);
  uint64_t offset = head_.dataEnd;
  if (!file.WriteAt(offset, &count, sizeof count)) {
    VFS_REPORT(reporter_, "write fdt count error");
    return false;
  }
  offset += sizeof count;
  std::vector<uint32_t> offsets;
  if (!RecordOffsets(&offsets)) {
    VFS_REPORT(reporter_, "error fdtlink2offset");
    return false;
  }
  if (!LinksToOffsets()) return false;
  if (count == 0) return true;

  BufferPtr plain(CreateBuffer(0, reporter_));
  BufferPtr coded(CreateBuffer(0, reporter_));
  if (plain == nullptr || coded == nullptr) return false;
  std::vector<uint8_t> record;
  std::vector<uint8_t> batch;
  for (size_t i = 0; i < count_; ++i) {
    record.clear();
    AppendPlainRecord(*SlotEntry(SlotAt(i)), offsets, &record);
    if (coder == nullptr) {
      batch.insert(batch.end(), record.begin(), record.end());
    } else {
      int32_t plain_length = static_cast<int32_t>(record.size());
      if (plain->Reserve(plain_length) == 0) return false;
      memcpy(plain->Data(), record.data(), record.size());
      plain->SetSize(plain_length);
      if (coded->Reserve(coder->Bound(plain.get())) == 0 || coder->PreSave(plain.get(), coded.get()) == 0) {
        VFS_REPORT(reporter_, "fdt data error, some memory access over range");
        return false;
      }
      AppendU32(&batch, static_cast<uint32_t>(coded->Size()));
      AppendU32(&batch, static_cast<uint32_t>(plain_length));
      batch.insert(batch.end(), coded->Data(), coded->Data() + coded->Size());
    }
    if (batch.size() >= kWriteBatch || i + 1 == count_) {
      if (!file.WriteAt(offset, batch.data(), batch.size())) {
        VFS_REPORT(reporter_, "write file error!");
        if (coder == nullptr) VFS_REPORT(reporter_, "WriteFDT error!");
        return false;
      }
      offset += batch.size();
      batch.clear();
    }
  }
  return true;
}

FdtEntry* Archive::Find(std::string_view path, bool create, bool exactNames) {
  size_t pos = 0;
  FdtEntry* node = First();
  FdtEntry* parent = nullptr;
  while (true) {
    while (pos < path.size() && path[pos] == '\\') ++pos;
    if (pos >= path.size()) return nullptr;
    size_t end = std::min(path.find('\\', pos), path.size());
    std::string_view component = path.substr(pos, end - pos);
    bool intermediate = end < path.size();
    // "dir\" and nothing after it names the directory itself.
    bool names_directory = intermediate && end + 1 == path.size();

    FdtEntry* previous = nullptr;
    FdtEntry* match = nullptr;
    for (FdtEntry* n = node; n != nullptr; n = NextSibling(n)) {
      if (exactNames ? n->name.view() == component : EqualsNoCase(n->name, component)) {
        match = n;
        break;
      }
      previous = n;
    }
    if (match != nullptr) {
      if (!intermediate) return match->IsDirectory() ? nullptr : match;
      if (!match->IsDirectory()) return nullptr;
      if (names_directory) return match;
      parent = match;
      node = FirstChild(match);
      pos = end;
      continue;
    }
    if (!create) return nullptr;
    FdtEntry* entry = Append();
    if (entry == nullptr) return nullptr;
    entry->name.assign(component);
    entry->kind = intermediate ? kFdtDirectory : kFdtFile;
    entry->parent = parent != nullptr ? parent->slot : FdtEntry::kNone;
    entry->prevSibling = previous != nullptr ? previous->slot : FdtEntry::kNone;
    if (previous != nullptr) {
      previous->nextSibling = entry->slot;
    } else if (parent != nullptr) {
      parent->firstChild = entry->slot;
    }
    if (!intermediate || names_directory) return entry;
    parent = entry;
    node = nullptr;
    pos = end;
  }
}

int32_t Archive::IndexOf(const FdtEntry* entry) const {
  if (entry->IsRemoved()) return -1;
  int32_t guess = entry->scratch;
  if (guess >= 0 && static_cast<size_t>(guess) < count_ && SlotAt(static_cast<size_t>(guess)) == entry->slot) {
    return guess;
  }
  for (size_t i = 0; i < count_; ++i) {
    if (SlotAt(i) == entry->slot) return static_cast<int32_t>(i);
  }
  return -1;
}

FdtEntry* Archive::At(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= count_) return nullptr;
  return SlotEntry(SlotAt(static_cast<size_t>(index)));
}

std::vector<FdtEntry*> Archive::Detach(FdtEntry* entry) {
  if (entry == nullptr) {
    for (size_t i = 0; i < count_; ++i) SlotEntry(SlotAt(i))->scratch = FdtEntry::kRemoved;
  } else {
    std::vector<FdtEntry*> subtree = {entry};
    for (size_t i = 0; i < subtree.size(); ++i) {
      for (FdtEntry* c = FirstChild(subtree[i]); c != nullptr; c = NextSibling(c)) subtree.push_back(c);
    }
    for (FdtEntry* e : subtree) e->scratch = FdtEntry::kRemoved;
    if (FdtEntry* previous = PrevSibling(entry)) {
      previous->nextSibling = entry->nextSibling;
    } else if (FdtEntry* parent = Parent(entry)) {
      parent->firstChild = entry->nextSibling;
    }
    if (FdtEntry* next = NextSibling(entry)) next->prevSibling = entry->prevSibling;
  }

  KeepOrder();
  // Children follow their parent in the list, so the reversed list order
  // puts them first.
  std::vector<FdtEntry*> removed;
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
    FdtEntry* e = SlotEntry(*it);
    if (!e->IsRemoved()) continue;
    removed.push_back(e);
    freeSlots_.push_back(e->slot);
    reserved_.erase(e->slot);
  }
  std::erase_if(order_, [this](uint32_t slot) { return SlotEntry(slot)->IsRemoved(); });
  count_ = order_.size();
  // Earlier positions are still right; later ones are now guesses.
  return removed;
}

}  // namespace gavio
