#include "vfs/rollback_journal.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "vfs/host_fs.h"

namespace gavio {
namespace {

constexpr char kMagic[8] = {'g', 'v', 'j', 'o', 'u', 'r', 'n', '1'};

// The journal head: magic and the archive's length before the edit.
struct JournalHead {
  char magic[8];
  uint64_t oldLength;
};
// Before each saved run of bytes.
struct RecordHead {
  uint64_t offset;
  uint32_t length;
  uint32_t checksum;  // crc32 of the bytes
};
static_assert(sizeof(JournalHead) == 16 && sizeof(RecordHead) == 16);

void AppendBytes(std::vector<uint8_t>* out, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + n);
}

uint32_t Checksum(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(n)));
}

std::string FolderOf(const std::string& path) {
  std::string folder = HostParentFolder(path);
  return folder.empty() ? "." : folder;
}

}  // namespace

bool RollbackJournal::IsPending(const std::string& archivePath) {
  return GetHostPathType(PathFor(archivePath)) != HostPathType::kMissing;
}

bool RollbackJournal::Recover(const std::string& archivePath, const HostFile& archive) {
  std::string journal_path = PathFor(archivePath);
  int fd = GavioFileOpen(journal_path.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
  if (fd < 0) return GetLastError() == ERROR_FILE_NOT_FOUND;
  uint64_t size = 0;
  JournalHead head{};
  bool complete = GavioFileSize(fd, &size) && size >= sizeof head &&
                  GavioFileReadAt(fd, 0, &head, sizeof head) && memcmp(head.magic, kMagic, 8) == 0;
  bool ok = true;
  if (complete) {
    // Records are applied up to the first one that is not whole: a record
    // cut short was never followed by the write it guards.
    std::vector<uint8_t> bytes;
    for (uint64_t at = sizeof head; at + sizeof(RecordHead) <= size;) {
      RecordHead record;
      if (!GavioFileReadAt(fd, at, &record, sizeof record) || record.length > size - at - sizeof record) break;
      bytes.resize(record.length);
      if (!GavioFileReadAt(fd, at + sizeof record, bytes.data(), bytes.size()) ||
          Checksum(bytes.data(), bytes.size()) != record.checksum) {
        break;
      }
      ok = ok && archive.WriteAt(record.offset, bytes.data(), bytes.size());
      at += sizeof record + record.length;
    }
    ok = ok && archive.Truncate(head.oldLength) && archive.Sync();
  }
  GavioFileClose(fd);
  // The journal goes only once the archive holds its old content again.
  if (!ok) return false;
  if (!GavioRemoveFile(journal_path.c_str())) return false;
  GavioSyncFolder(FolderOf(archivePath).c_str());
  return true;
}

void RollbackJournal::Begin(const std::string& archivePath, HostFile* archive) {
  archivePath_ = archivePath;
  archive_ = archive;
  oldLength_ = archive->Size();
  savedPages_.clear();
  archive->SetWriteGuard(this);
}

bool RollbackJournal::CreateJournal() {
  std::string path = PathFor(archivePath_);
  journalFd_ = GavioFileOpen(path.c_str(), GAVIO_FILE_WRITE | GAVIO_FILE_NEW | GAVIO_FILE_PRIVATE);
  if (journalFd_ < 0) return false;
  JournalHead head{};
  memcpy(head.magic, kMagic, 8);
  head.oldLength = oldLength_;
  // The head is durable, and the journal's name in its folder, before any
  // page it will guard is overwritten.
  if (!GavioFileWriteAt(journalFd_, 0, &head, sizeof head) || !GavioFileSync(journalFd_) ||
      !GavioSyncFolder(FolderOf(archivePath_).c_str())) {
    return false;
  }
  journalLength_ = sizeof head;
  return true;
}

bool RollbackJournal::BeforeWrite(uint64_t offset, size_t n) {
  if (archive_ == nullptr || n == 0 || undoing_) return true;
  if (inStatement_ && offset < statementLength_) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(n, statementLength_ - offset));
    std::vector<uint8_t> bytes(length);
    if (!archive_->ReadAt(offset, bytes.data(), length)) return false;
    statementUndo_.emplace_back(offset, std::move(bytes));
  }
  if (offset >= oldLength_) return true;
  uint64_t end = std::min<uint64_t>(offset + n, oldLength_);
  return SavePages(offset / kPageSize, (end - 1) / kPageSize);
}

bool RollbackJournal::BeforeTruncate(uint64_t length) {
  if (archive_ == nullptr || length >= oldLength_) return true;
  return SavePages(length / kPageSize, (oldLength_ - 1) / kPageSize);
}

bool RollbackJournal::SavePages(uint64_t first, uint64_t last) {
  std::vector<uint8_t> batch;
  std::vector<uint8_t> page(kPageSize);
  std::vector<uint64_t> pages;
  for (uint64_t index = first; index <= last; ++index) {
    if (savedPages_.count(index) != 0) continue;
    uint64_t start = index * kPageSize;
    size_t length = static_cast<size_t>(std::min<uint64_t>(kPageSize, oldLength_ - start));
    if (!archive_->ReadAt(start, page.data(), length)) return false;
    RecordHead record{start, static_cast<uint32_t>(length), Checksum(page.data(), length)};
    AppendBytes(&batch, &record, sizeof record);
    AppendBytes(&batch, page.data(), length);
    pages.push_back(index);
  }
  if (batch.empty()) return true;
  if (journalFd_ < 0 && !CreateJournal()) return false;
  if (!GavioFileWriteAt(journalFd_, journalLength_, batch.data(), batch.size()) ||
      !GavioFileSync(journalFd_)) {
    return false;
  }
  journalLength_ += batch.size();
  savedPages_.insert(pages.begin(), pages.end());
  return true;
}

void RollbackJournal::BeginStatement() {
  inStatement_ = archive_ != nullptr;
  statementLength_ = inStatement_ ? archive_->Size() : 0;
  statementUndo_.clear();
}

void RollbackJournal::EndStatement() {
  inStatement_ = false;
  statementUndo_.clear();
}

bool RollbackJournal::UndoStatement() {
  if (!inStatement_) return false;
  inStatement_ = false;
  undoing_ = true;
  bool ok = true;
  for (auto it = statementUndo_.rbegin(); it != statementUndo_.rend(); ++it) {
    ok = archive_->WriteAt(it->first, it->second.data(), it->second.size()) && ok;
  }
  undoing_ = false;
  if (ok && archive_->Size() > statementLength_) ok = archive_->Truncate(statementLength_);
  statementUndo_.clear();
  return ok;
}

bool RollbackJournal::Commit() {
  if (archive_ == nullptr) return false;
  if (!archive_->Sync()) return false;
  if (journalFd_ >= 0) {
    GavioFileClose(journalFd_);
    journalFd_ = -1;
    if (!GavioRemoveFile(PathFor(archivePath_).c_str())) return false;
    GavioSyncFolder(FolderOf(archivePath_).c_str());
  }
  oldLength_ = archive_->Size();
  journalLength_ = 0;
  savedPages_.clear();
  return true;
}

bool RollbackJournal::Rollback() {
  if (archive_ == nullptr) return false;
  archive_->SetWriteGuard(nullptr);
  if (journalFd_ >= 0) {
    GavioFileClose(journalFd_);
    journalFd_ = -1;
  }
  bool ok = Recover(archivePath_, *archive_);
  if (ok && !IsPending(archivePath_)) {
    // Nothing was journaled: only appends past the old end can be undone.
    ok = archive_->Truncate(oldLength_);
  }
  archive_->SetWriteGuard(this);
  savedPages_.clear();
  journalLength_ = 0;
  inStatement_ = false;
  statementUndo_.clear();
  return ok;
}

}  // namespace gavio
