// RollbackJournal: makes the edits of an archive opened for writing
// all-or-nothing across crashes, without changing where anything is
// written.
//
// Editing overwrites extents in place and appends over the old table, as
// the format's allocator requires. Before the first write into any 4 KiB
// page of what the archive held when the edit began, that page's old bytes
// go to "<archive>-journal" beside it (length-prefixed, checksummed
// records behind a head holding the archive's old length), and the journal
// is synced before the archive is touched. Writes past the old length need
// no saving. Commit syncs the archive and removes the journal: that
// removal is the one step that makes the edit count. Until then every
// crash is undone on the next open (Recover): the saved pages are written
// back and the archive is cut to its old length, so it holds its previous
// table and every file's previous content, byte for byte.
//
// Thread safety: none; one archive is edited by one thread, under the
// archive's exclusive lock.
#pragma once

#include <stdint.h>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vfs/host_file.h"

namespace gavio {

class RollbackJournal final : public WriteGuard {
 public:
  RollbackJournal() = default;
  RollbackJournal(const RollbackJournal&) = delete;
  RollbackJournal& operator=(const RollbackJournal&) = delete;

  static std::string PathFor(const std::string& archivePath) { return archivePath + "-journal"; }
  // Whether a journal is waiting beside the archive (a crashed edit).
  static bool IsPending(const std::string& archivePath);
  // Undoes a crashed edit: writes the saved pages back into archive (open
  // for writing, held under the exclusive lock), cuts it to its old length,
  // syncs it and removes the journal. A journal whose head never became
  // complete saved nothing, and nothing was written: it is just removed.
  static bool Recover(const std::string& archivePath, const HostFile& archive);

  // Starts guarding the writes to archive, whose current content is what a
  // crash must bring back.
  void Begin(const std::string& archivePath, HostFile* archive);
  // Saves what [offset, offset + n) would overwrite of the old content.
  bool BeforeWrite(uint64_t offset, size_t n) override;
  // Saves what cutting the file to length would take of the old content.
  bool BeforeTruncate(uint64_t length) override;

  // One operation inside the edit (a statement): its writes can be undone
  // on their own, from a copy in memory of every byte they overwrite, so a
  // failed write leaves the archive as it was before the operation.
  void BeginStatement();
  void EndStatement();
  // Writes the overwritten bytes back and cuts what the statement appended.
  bool UndoStatement();
  // Makes the edit count: syncs the archive, removes the journal. Then
  // the archive's content is the new old content.
  bool Commit();
  // Throws the edit away: brings the old content back, as Recover does.
  bool Rollback();

 private:
  static constexpr uint64_t kPageSize = 4096;

  bool CreateJournal();
  // Saves the old pages [first, last] not saved yet.
  bool SavePages(uint64_t first, uint64_t last);

  std::string archivePath_;
  HostFile* archive_ = nullptr;
  uint64_t oldLength_ = 0;
  int journalFd_ = -1;
  uint64_t journalLength_ = 0;
  std::unordered_set<uint64_t> savedPages_;
  bool inStatement_ = false;
  bool undoing_ = false;
  uint64_t statementLength_ = 0;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> statementUndo_;
};

}  // namespace gavio
