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
  entries_.clear();
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
  entries_.reserve(static_cast<size_t>(count));
  RecordReader reader(file, file_size);
  for (int32_t i = 0; i < count; ++i) {
    if (!ReadRecord(reader, &offset, file_size, coder, coded.get(), plain.get())) {
      entries_.clear();
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
  auto entry = std::make_unique<FdtEntry>();
  entry->name.assign(std::string_view(reinterpret_cast<const char*>(bytes + 8), name_length));
  memcpy(&entry->fixed, bytes + 8 + name_length, kFixedSize);
  if (entry->fixed.tailTag != kTailTag) {
    VFS_REPORT(reporter_, "fdt record tag error");
    return false;
  }
  entries_.push_back(std::move(entry));
  return true;
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
  offsets->reserve(entries_.size());
  uint64_t offset = static_cast<uint64_t>(head_.dataEnd) + 4;
  for (const auto& entry : entries_) {
    if (offset > UINT32_MAX) return false;
    offsets->push_back(static_cast<uint32_t>(offset));
    offset += kPlainOverhead + entry->name.size();
  }
  return true;
}

bool Archive::Relink() {
  std::vector<uint32_t> offsets;
  if (!RecordOffsets(&offsets)) {
    VFS_REPORT(reporter_, "fdt data error");
    entries_.clear();
    return false;
  }
  // Offsets grow with the list position, so a link finds its record by
  // binary search and no table of its own is needed.

  uint64_t lowest = static_cast<uint64_t>(head_.dataEnd) + 4;
  for (const auto& entry : entries_) {
    const FdtFixed& f = entry->fixed;
    const uint32_t links[4] = {f.parent, f.nextSibling, f.prevSibling, f.firstChild};
    FdtEntry* targets[4] = {};
    for (int i = 0; i < 4; ++i) {
      if (links[i] == 0) continue;
      if (links[i] < lowest) {
        VFS_REPORT(reporter_, "fdt data error!");
        entries_.clear();
        return false;
      }
      auto found = std::lower_bound(offsets.begin(), offsets.end(), links[i]);
      if (found == offsets.end() || *found != links[i]) {
        VFS_REPORT(reporter_, "fdt data error");
        entries_.clear();
        return false;
      }
      targets[i] = entries_[static_cast<size_t>(found - offsets.begin())].get();
    }
    entry->parent = targets[0];
    entry->nextSibling = targets[1];
    entry->prevSibling = targets[2];
    entry->firstChild = targets[3];
  }
  if (!CheckTree()) {
    VFS_REPORT(reporter_, "fdt tree error");
    entries_.clear();
    return false;
  }
  return true;
}

bool Archive::CheckTree() {
  for (size_t i = 0; i < entries_.size(); ++i) {
    FdtEntry& entry = *entries_[i];
    entry.scratch = static_cast<int32_t>(i);
    if (entry.fixed.kind != kFdtFile && entry.fixed.kind != kFdtDirectory) return false;
    // A name is one path component: no lookup could reach an empty one or
    // one holding a separator (or a NUL, which ends every path).
    if (entry.name.empty() || entry.name.view().find_first_of(std::string_view("\\/\0", 3)) != std::string::npos) {
      return false;
    }
    if (!entry.IsDirectory() && entry.firstChild != nullptr) return false;
  }
  if (entries_.empty()) return true;
  FdtEntry* first = First();
  if (first->parent != nullptr || first->prevSibling != nullptr) return false;
  // Links only point forward in the list (to later siblings and children)
  // and each entry has one way in, so the walk is a tree walk and ends.
  size_t reached = 0;
  std::vector<FdtEntry*> chains = {first};
  while (!chains.empty()) {
    FdtEntry* chain = chains.back();
    chains.pop_back();
    for (FdtEntry* node = chain; node != nullptr; node = node->nextSibling) {
      if (++reached > entries_.size() || node->parent != chain->parent) return false;
      FdtEntry* next = node->nextSibling;
      if (next != nullptr && (next->prevSibling != node || next->scratch <= node->scratch)) {
        return false;
      }
      FdtEntry* child = node->firstChild;
      if (child == nullptr) continue;
      if (child->prevSibling != nullptr || child->parent != node || child->scratch <= node->scratch) {
        return false;
      }
      chains.push_back(child);
    }
  }
  return reached == entries_.size();
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
  if (head_.dataEnd == 0 && !entries_.empty()) head_.dataEnd = kFirstExtent;
}

bool Archive::LinksToOffsets() {
  std::vector<uint32_t> offsets;
  if (!RecordOffsets(&offsets)) {
    VFS_REPORT(reporter_, "error fdtlink2offset");
    return false;
  }
  for (size_t i = 0; i < entries_.size(); ++i) entries_[i]->scratch = static_cast<int32_t>(i);
  auto offset_of = [&](const FdtEntry* target, uint32_t* out) {
    if (target == nullptr) {
      *out = 0;
      return true;
    }
    int32_t index = IndexOf(target);
    if (index < 0) return false;
    *out = offsets[static_cast<size_t>(index)];
    return true;
  };
  for (const auto& entry : entries_) {
    FdtFixed& f = entry->fixed;
    if (!offset_of(entry->parent, &f.parent) || !offset_of(entry->nextSibling, &f.nextSibling) ||
        !offset_of(entry->prevSibling, &f.prevSibling) ||
        !offset_of(entry->firstChild, &f.firstChild)) {
      VFS_REPORT(reporter_, "error fdtlink2offset");
      return false;
    }
  }
  return true;
}

void Archive::AppendPlainRecord(const FdtEntry& entry, std::vector<uint8_t>* out) const {
  AppendU32(out, kBlockTag);
  AppendU32(out, static_cast<uint32_t>(entry.name.size()));
  std::string_view name = entry.name;
  out->insert(out->end(), name.begin(), name.end());
  const auto* fixed = reinterpret_cast<const uint8_t*>(&entry.fixed);
  out->insert(out->end(), fixed, fixed + kFixedSize);
}

bool Archive::WriteFdt(const HostFile& file, RWFilter* coder) {
  if (head_.dataEnd == 0) return true;
  int32_t count = static_cast<int32_t>(entries_.size());
  uint64_t offset = head_.dataEnd;
  if (!file.WriteAt(offset, &count, sizeof count)) {
    VFS_REPORT(reporter_, "write fdt count error");
    return false;
  }
  offset += sizeof count;
  if (!LinksToOffsets()) return false;
  if (count == 0) return true;

  BufferPtr plain(CreateBuffer(0, reporter_));
  BufferPtr coded(CreateBuffer(0, reporter_));
  if (plain == nullptr || coded == nullptr) return false;
  std::vector<uint8_t> record;
  std::vector<uint8_t> batch;
  for (const auto& entry : entries_) {
    if (entry->fixed.tailTag != kTailTag) {
      VFS_REPORT(reporter_, "fdt data error, some memory access over range");
      return false;
    }
    record.clear();
    AppendPlainRecord(*entry, &record);
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
    if (batch.size() >= kWriteBatch || entry == entries_.back()) {
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
    for (FdtEntry* n = node; n != nullptr; n = n->nextSibling) {
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
      node = match->firstChild;
      pos = end;
      continue;
    }
    if (!create) return nullptr;
    auto created = std::make_unique<FdtEntry>();
    FdtEntry* entry = created.get();
    entry->name.assign(component);
    entry->fixed.kind = intermediate ? kFdtDirectory : kFdtFile;
    entry->fixed.tailTag = kTailTag;
    entry->parent = parent;
    entry->prevSibling = previous;
    if (previous != nullptr) {
      previous->nextSibling = entry;
    } else if (parent != nullptr) {
      parent->firstChild = entry;
    }
    entries_.push_back(std::move(created));
    if (!intermediate || names_directory) return entry;
    parent = entry;
    node = nullptr;
    pos = end;
  }
}

int32_t Archive::IndexOf(const FdtEntry* entry) const {
  int32_t guess = entry->scratch;
  if (guess >= 0 && static_cast<size_t>(guess) < entries_.size() &&
      entries_[static_cast<size_t>(guess)].get() == entry) {
    return guess;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].get() == entry) return static_cast<int32_t>(i);
  }
  return -1;
}

FdtEntry* Archive::At(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return nullptr;
  return entries_[static_cast<size_t>(index)].get();
}

std::vector<std::unique_ptr<FdtEntry>> Archive::Detach(FdtEntry* entry) {
  if (entry == nullptr) {
    for (auto& e : entries_) e->scratch = FdtEntry::kRemoved;
  } else {
    std::vector<FdtEntry*> subtree = {entry};
    for (size_t i = 0; i < subtree.size(); ++i) {
      for (FdtEntry* c = subtree[i]->firstChild; c != nullptr; c = c->nextSibling) subtree.push_back(c);
    }
    for (FdtEntry* e : subtree) e->scratch = FdtEntry::kRemoved;
    if (entry->prevSibling != nullptr) {
      entry->prevSibling->nextSibling = entry->nextSibling;
    } else if (entry->parent != nullptr) {
      entry->parent->firstChild = entry->nextSibling;
    }
    if (entry->nextSibling != nullptr) entry->nextSibling->prevSibling = entry->prevSibling;
  }
  // Children follow their parent in the list, so the reversed list order
  // puts them first.
  std::vector<std::unique_ptr<FdtEntry>> removed;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if ((*it)->IsRemoved()) removed.push_back(std::move(*it));
  }
  entries_.erase(std::remove(entries_.begin(), entries_.end(), nullptr), entries_.end());
  return removed;
}

}  // namespace gavio
