// gavio vfs: packs folders into archives and back, lists, reads, edits and
// inspects archives, and shows how an archive and a folder share one path
// space. Archives are read and written through the file-system manager
// (component 260) like a client does; "info" also reads the archive's
// public head and extent records itself, and "extract" writes the host
// files itself so that it never follows a link planted in the target.
//
// Paths on the command line are host paths ('/' separates folders); only
// paths inside an archive use '\' (and '/' is accepted there too).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "gavio/ids.h"
#include "gavio/vfs.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace gavio_tool {
namespace {

using gavio::IBuffer;
using gavio::IFileSys;
using gavio::IFileSysMgr;

// Buffers, and so archived files, hold at most this many bytes.
constexpr uint64_t kMaxArchivedFileSize = INT32_MAX;

// The process-wide manager, initialised, released at scope end.
class Manager {
 public:
  Manager() {
    mgr_ = CreateAs<IFileSysMgr>(gavio::kFileSysMgrId);
    if (mgr_ != nullptr && mgr_->Init() == 0) {
      fprintf(stderr, "gavio vfs: the file-system manager did not initialise\n");
      mgr_->Release();
      mgr_ = nullptr;
    }
    // The file systems' own error lines are for -v.
    if (mgr_ != nullptr) mgr_->SetErrorReporting(g_verbose ? 1 : 0);
  }
  ~Manager() {
    if (mgr_ != nullptr) mgr_->Release();
  }
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;
  IFileSysMgr* operator->() const { return mgr_; }
  explicit operator bool() const { return mgr_ != nullptr; }
  // The file system that serves a handle (for the operations the manager
  // does not forward).
  IFileSys* Owner(int32_t handle) const { return mgr_->GetOwner(handle); }

 private:
  IFileSysMgr* mgr_ = nullptr;
};

// A root opened through the manager, closed (and so written back) at scope
// end.
class Root {
 public:
  Root(const Manager& mgr, const std::string& path, int32_t mode) : mgr_(mgr) {
    handle_ = mgr_->OpenRoot(path.c_str(), mode);
  }
  ~Root() { Close(); }
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  int32_t handle() const { return handle_; }
  bool ok() const { return handle_ != -1; }
  bool Close() {
    if (handle_ == -1) return true;
    bool closed = mgr_->CloseRoot(handle_) == 1;
    handle_ = -1;
    return closed;
  }

 private:
  const Manager& mgr_;
  int32_t handle_ = -1;
};

// Walks a root's files (and folders, with their trailing '\') until visit
// returns false.
template <class Visit>
void Walk(const Manager& mgr, int32_t root, const char* start, int32_t flags, Visit visit) {
  int32_t find = mgr->FindFirst(root, start, flags);
  for (bool more = find != -1; more; more = mgr->FindNext(find) != 0) {
    if (!visit(std::string(mgr->GetFindPath(find)))) break;
  }
  if (find != -1) mgr->FindClose(find);
}

std::vector<std::string> ListTree(const Manager& mgr, int32_t root) {
  std::vector<std::string> paths;
  Walk(mgr, root, "", gavio::kFindRecursive | gavio::kFindDirectories, [&](const std::string& path) {
    paths.push_back(path);
    return true;
  });
  return paths;
}

bool IsDirectoryPath(const std::string& path) { return !path.empty() && path.back() == '\\'; }

uint64_t CountFiles(const std::vector<std::string>& paths) {
  return static_cast<uint64_t>(std::count_if(paths.begin(), paths.end(),
                                             [](const std::string& p) { return !IsDirectoryPath(p); }));
}

// An archive path as the command line shows it: '/' between folders.
std::string HostForm(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool HasVfsExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  return strcasecmp(ext.c_str(), ".vfs") == 0;
}

// Archive operands are host paths of .vfs files: a folder, a device or a
// name without the extension is refused before anything is opened.
bool CheckArchive(const std::string& path, bool mayBeMissing) {
  if (path.find('\\') != std::string::npos) {
    FileProblem(path, "a backslash in an archive's host path is not supported");
    return false;
  }
  if (!HasVfsExtension(path)) {
    FileProblem(path, "not an archive (archive names end in .vfs)");
    return false;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT && mayBeMissing) return true;
    FileError(path, errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    S_ISDIR(info.st_mode) ? FileError(path, EISDIR) : FileProblem(path, "not a regular file");
    return false;
  }
  return true;
}

bool CheckFolder(const std::string& path) {
  if (path.find('\\') != std::string::npos) {
    FileProblem(path, "a backslash in a folder's host path is not supported");
    return false;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    FileError(path, errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    FileError(path, ENOTDIR);
    return false;
  }
  return true;
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::weakly_canonical(path, error);
  return error ? path : absolute.string();
}

// The path of file below folder in archive form, or "" when it is not below.
std::string RelativeInside(const std::string& folder, const std::string& file) {
  std::string base = Absolute(folder);
  std::string target = Absolute(file);
  if (target.size() <= base.size() + 1 || target.compare(0, base.size(), base) != 0 || target[base.size()] != '/') {
    return std::string();
  }
  std::string relative = target.substr(base.size() + 1);
  for (char& c : relative) c = c == '/' ? '\\' : c;
  return relative;
}

// The reason of the last failed write, as the system gave it.
std::string WriteFailure(int error) {
  return error != 0 ? strerror(error) : "the write failed";
}

void ReportSkipped(const std::string& name, const std::string& why) {
  fprintf(stderr, "gavio: %s: skipped: %s\n", PrintableName(HostForm(name)).c_str(), why.c_str());
}

// A new file beside target, reserved under a name of our own (so that the
// target itself is only ever replaced by a rename), with the mode a new
// file gets. "" with errno on failure.
std::string ReserveBeside(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, ".gavio-pack-%d-%08x.vfs", static_cast<int>(getpid()),
             (GetTickCount() + attempt) * 2654435761u);
    std::string part = folder + name;
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return part;
    }
    if (errno != EEXIST) return std::string();
  }
  return std::string();
}

// An existing archive keeps its mode when it is replaced.
bool KeepMode(const std::string& target, const std::string& part) {
  struct stat info {};
  if (stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return true;
  return chmod(part.c_str(), info.st_mode & 07777) == 0;
}

bool SyncFile(const std::string& path) {
  int fd = GavioFileOpen(path.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
  if (fd < 0) return false;
  bool ok = GavioFileSync(fd) != 0;
  int saved = errno;
  GavioFileClose(fd);
  errno = saved;
  return ok;
}

// One name of the tree being packed.
struct PackEntry {
  std::string archivePath;  // '\' form; folders end in '\'
  std::string hostPath;
  uint64_t size = 0;
};

// Lists a host folder tree for packing, reporting every name it cannot
// pack. Links are packed as what they point to; a folder reached through
// a link is packed once (a second link to it is reported), and a link to
// one of its own ancestors is a loop: so the walk is linear in the tree
// even when links fan out.
class PackWalk {
 public:
  const std::vector<PackEntry>& entries() const { return entries_; }
  uint64_t skipped() const { return skipped_; }

  // The whole tree below the folder hostPath.
  void Tree(const std::string& hostPath) {
    struct stat info {};
    if (stat(hostPath.c_str(), &info) == 0) ancestors_.push_back({info.st_dev, info.st_ino});
    Folder(hostPath, "");
  }

 private:
  void Folder(const std::string& hostPath, const std::string& archivePath) {
    std::vector<Item> items;
    if (!GavioListFolder(hostPath.c_str(), Collect, &items)) {
      Skip(archivePath.empty() ? hostPath : archivePath, std::string("cannot list it: ") + strerror(errno));
      return;
    }
    std::sort(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.name < y.name; });
    for (const Item& item : items) Visit(hostPath + "/" + item.name, archivePath + item.name, item);
  }

  struct Item {
    std::string name;
    GavioFolderEntry entry;
  };
  using Identity = std::pair<uint64_t, uint64_t>;

  static BOOL Collect(void* context, const GavioFolderEntry* entry) {
    static_cast<std::vector<Item>*>(context)->push_back({entry->name, *entry});
    return TRUE;
  }

  void Skip(const std::string& name, const std::string& why) {
    ReportSkipped(name, why);
    ++skipped_;
  }

  void Visit(const std::string& hostPath, const std::string& archivePath, const Item& item) {
    const GavioFolderEntry& entry = item.entry;
    if (item.name.find('\\') != std::string::npos) {
      return Skip(archivePath, "a backslash cannot be part of a name in an archive");
    }
    bool escaped = false;
    PrintableName(item.name, &escaped);
    if (escaped) return Skip(archivePath, "control characters cannot be part of a name in an archive");
    if (entry.type == GAVIO_ENTRY_FILE && item.name.back() == ' ') {
      return Skip(archivePath, "archive paths drop trailing blanks (it would be stored as another name)");
    }
    if (entry.type == GAVIO_ENTRY_UNREADABLE) {
      return Skip(archivePath, entry.isLink ? "a link to nothing readable" : "cannot examine it");
    }
    if (entry.type == GAVIO_ENTRY_OTHER) {
      return Skip(archivePath, "not a regular file or a folder (a FIFO, socket or device)");
    }
    if (entry.type == GAVIO_ENTRY_FILE) {
      if (entry.size > kMaxArchivedFileSize) {
        return Skip(archivePath, "file too large (at most " + std::to_string(kMaxArchivedFileSize) + " bytes)");
      }
      entries_.push_back({archivePath, hostPath, entry.size});
      return;
    }
    Identity identity{entry.device, entry.inode};
    if (std::find(ancestors_.begin(), ancestors_.end(), identity) != ancestors_.end()) {
      return Skip(archivePath, "a link to a folder that holds it (a loop)");
    }
    if (entry.isLink && !linkedFolders_.insert(identity).second) {
      return Skip(archivePath, "a link to a folder already packed through another link");
    }
    entries_.push_back({archivePath + "\\", hostPath, 0});
    ancestors_.push_back(identity);
    Folder(hostPath, archivePath + "\\");
    ancestors_.pop_back();
  }

  std::vector<PackEntry> entries_;
  uint64_t skipped_ = 0;
  std::vector<Identity> ancestors_;
  std::set<Identity> linkedFolders_;
};

// A host file's content in a new buffer, or null with errno set.
IBuffer* ReadForArchive(const std::string& hostPath) {
  int fd = GavioFileOpen(hostPath.c_str(), GAVIO_FILE_READ | GAVIO_FILE_REGULAR);
  if (fd < 0) return nullptr;
  uint64_t size = 0;
  IBuffer* data = nullptr;
  if (GavioFileSize(fd, &size) && size <= kMaxArchivedFileSize) {
    data = CreateAs<IBuffer>(gavio::kBufferId);
    int32_t length = static_cast<int32_t>(size);
    if (data != nullptr && (data->Init(length, length) == 0 || !GavioFileReadAt(fd, 0, data->Data(), size))) {
      data->Release();
      data = nullptr;
    }
  } else if (size > kMaxArchivedFileSize) {
    errno = EFBIG;
  }
  int saved = errno;
  GavioFileClose(fd);
  errno = saved;
  return data;
}

// The number of files an archive holds, or UINT64_MAX when it does not
// open.
uint64_t CountArchivedFiles(const Manager& mgr, const std::string& archive) {
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!root.ok()) return UINT64_MAX;
  return CountFiles(ListTree(mgr, root.handle()));
}

bool IsDiskFull(int error) { return error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS || error == EFBIG; }

// How pack stores the files.
struct PackOptions {
  bool store = false;  // as they are, without the zlib filter
  int32_t level = 0;   // zlib level 1-12; 0 leaves the archive's own (6)
  unsigned jobs = 1;   // threads that read and compress ahead of the writer
};

// One file made ready for the writer: its content and, unless stored as
// it is, its encoded form.
struct PackedFile {
  IBuffer* content = nullptr;  // null when it could not be read (error)
  IBuffer* encoded = nullptr;
  int error = 0;
};

void ReleaseBuffers(PackedFile* file) {
  if (file->content != nullptr) file->content->Release();
  if (file->encoded != nullptr) file->encoded->Release();
  *file = PackedFile{};
}

// Reads and encodes files on a pool of threads, a bounded number ahead of
// the writer, which takes them in the order given: what it writes is what
// a single thread would write.
class PackPipeline {
 public:
  // filter null: the files are only read.
  PackPipeline(std::vector<std::string> hostPaths, gavio::RWFilter* filter, unsigned jobs)
      : hostPaths_(std::move(hostPaths)), files_(hostPaths_.size()), ready_(hostPaths_.size(), false),
        filter_(filter), window_(4 * static_cast<size_t>(jobs)) {
    for (unsigned i = 0; i < jobs; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~PackPipeline() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    for (PackedFile& file : files_) ReleaseBuffers(&file);
  }
  PackPipeline(const PackPipeline&) = delete;
  PackPipeline& operator=(const PackPipeline&) = delete;

  // The next file in order (the caller releases its buffers).
  PackedFile Take() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return ready_[taken_]; });
    PackedFile file = files_[taken_];
    files_[taken_] = PackedFile{};
    ++taken_;
    guard.unlock();
    changed_.notify_all();
    return file;
  }

 private:
  void Work() {
    while (true) {
      size_t index;
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return stopping_ || next_ == files_.size() || next_ < taken_ + window_; });
        if (stopping_ || next_ == files_.size()) return;
        index = next_++;
      }
      PackedFile file = Prepare(hostPaths_[index]);
      {
        std::lock_guard<std::mutex> guard(lock_);
        files_[index] = file;
        ready_[index] = true;
      }
      changed_.notify_all();
    }
  }

  PackedFile Prepare(const std::string& hostPath) const {
    PackedFile file;
    errno = 0;
    file.content = ReadForArchive(hostPath);
    file.error = errno;
    if (file.content == nullptr || filter_ == nullptr) return file;
    // An encoding that fails is left to the writer, which then encodes
    // the file itself and so reports what the archive says.
    file.encoded = CreateAs<IBuffer>(gavio::kBufferId);
    int32_t bound = filter_->Bound(file.content);
    if (file.encoded != nullptr &&
        (bound == 0 || file.encoded->Init(0, bound) == 0 || filter_->PreSave(file.content, file.encoded) == 0)) {
      file.encoded->Release();
      file.encoded = nullptr;
    }
    return file;
  }

  const std::vector<std::string> hostPaths_;
  std::vector<PackedFile> files_;
  std::vector<bool> ready_;
  gavio::RWFilter* const filter_;
  const size_t window_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t next_ = 0;   // the next file a worker takes
  size_t taken_ = 0;  // files the writer has taken
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Stands in for the archive's content filter while pack writes: the
// content the writer passes next is answered with the form the pipeline
// encoded for it, anything else goes to the real filter.
class HandOffFilter final : public gavio::RWFilter {
 public:
  explicit HandOffFilter(gavio::RWFilter* inner) : inner_(inner) {}

  void Next(IBuffer* content, IBuffer* encoded) {
    content_ = content;
    encoded_ = encoded;
  }
  void Destroy() override {}
  int32_t Bound(IBuffer* input) override {
    return Matches(input) ? std::max(encoded_->Size(), 1) : inner_->Bound(input);
  }
  int32_t PreSave(IBuffer* input, IBuffer* output) override {
    if (!Matches(input)) return inner_->PreSave(input, output);
    int32_t n = encoded_->Size();
    if (output == nullptr || output->Reserve(n) == 0) return 0;
    memcpy(output->Data(), encoded_->Data(), static_cast<size_t>(n));
    output->SetSize(n);
    return std::max(n, 1);
  }
  int32_t PostLoad(IBuffer* input, IBuffer* output) override { return inner_->PostLoad(input, output); }
  int32_t SetKey(int32_t selector) override { return inner_->SetKey(selector); }

 private:
  bool Matches(IBuffer* input) const { return input != nullptr && input == content_ && encoded_ != nullptr; }

  gavio::RWFilter* inner_;
  IBuffer* content_ = nullptr;
  IBuffer* encoded_ = nullptr;
};

// Sets up how the archive at root stores its files, and undoes the
// process-wide part (filter and level) at scope end.
class PackFilterScope {
 public:
  PackFilterScope(const Manager& mgr, int32_t root, const PackOptions& options)
      : files_(mgr->GetFileSystem("vfs")) {
    if (files_ == nullptr) return;
    if (options.store) {
      uint32_t info = 0;
      files_->GetRootInfo(root, &info, nullptr, nullptr, nullptr);
      ok_ = files_->SetRootInfo(root, info, kStoredFilterKind, 1, 1) == 1;
      return;
    }
    zlib_ = files_->GetFilter(nullptr, nullptr);
    ok_ = zlib_ != nullptr && (options.level == 0 || zlib_->SetKey(options.level) == 1);
    levelSet_ = options.level != 0;
  }
  ~PackFilterScope() {
    if (handOff_ != nullptr) files_->RegisterFilter("", nullptr);
    if (levelSet_) zlib_->SetKey(kDefaultLevel);
  }
  PackFilterScope(const PackFilterScope&) = delete;
  PackFilterScope& operator=(const PackFilterScope&) = delete;

  bool ok() const { return ok_; }
  // The filter workers encode with: null when files are stored as they are.
  gavio::RWFilter* encoder() const { return zlib_; }
  // Lets the writer hand over what the workers encoded.
  HandOffFilter* HandOff() {
    if (zlib_ == nullptr || handOff_ != nullptr) return handOff_.get();
    handOff_ = std::make_unique<HandOffFilter>(zlib_);
    files_->RegisterFilter("", handOff_.get());
    return handOff_.get();
  }

 private:
  static constexpr uint32_t kStoredFilterKind = 2;
  static constexpr int32_t kDefaultLevel = 6;

  IFileSys* files_;
  gavio::RWFilter* zlib_ = nullptr;
  std::unique_ptr<HandOffFilter> handOff_;
  bool ok_ = false;
  bool levelSet_ = false;
};

int Pack(const Manager& mgr, const std::string& folder, const std::string& archive, const PackOptions& options) {
  if (!CheckFolder(folder) || !CheckArchive(archive, true)) return 1;
  // Packed beside the target and renamed over it at the end: an existing
  // archive stays whole until the new one is complete.
  std::string part = ReserveBeside(archive);
  if (part.empty()) return FileError(archive, errno);
  errno = 0;
  Root target(mgr, part, gavio::kRootCreate);
  if (!target.ok()) {
    FileProblem(archive, "cannot create the archive: " + WriteFailure(errno));
    unlink(part.c_str());
    fprintf(stderr, "gavio vfs pack: %s was not written\n", PrintableName(archive).c_str());
    return 1;
  }
  PackWalk walk;
  walk.Tree(folder);
  // Neither the archive nor its part may pack themselves.
  std::set<std::string> skip = {RelativeInside(folder, archive), RelativeInside(folder, part)};
  // The one test of which entries have content to store: the pipeline
  // hands files over in order, so it must pick exactly the ones the
  // writer asks for.
  auto storesContent = [&skip](const PackEntry& entry) {
    return !IsDirectoryPath(entry.archivePath) && skip.count(entry.archivePath) == 0;
  };
  uint64_t total = static_cast<uint64_t>(std::count_if(walk.entries().begin(), walk.entries().end(),
                                                       [](const PackEntry& e) { return !IsDirectoryPath(e.archivePath); }));
  Progress progress("packed", total);
  uint64_t skipped = walk.skipped();
  uint64_t storedFiles = 0;
  uint64_t storedBytes = 0;
  bool failed = false;
  PackFilterScope filters(mgr, target.handle(), options);
  if (!filters.ok()) {
    FileProblem(archive, "cannot set how the archive stores its files");
    failed = true;
  }
  std::unique_ptr<PackPipeline> pipeline;
  HandOffFilter* handOff = nullptr;
  if (!failed && options.jobs > 1) {
    std::vector<std::string> hostPaths;
    for (const PackEntry& entry : walk.entries()) {
      if (storesContent(entry)) hostPaths.push_back(entry.hostPath);
    }
    handOff = filters.encoder() != nullptr ? filters.HandOff() : nullptr;
    pipeline = std::make_unique<PackPipeline>(std::move(hostPaths), filters.encoder(), options.jobs);
  }
  for (const PackEntry& entry : walk.entries()) {
    if (failed) break;
    if (IsDirectoryPath(entry.archivePath)) {
      if (mgr.Owner(target.handle())->CreateDir(target.handle(), entry.archivePath.c_str()) != 1) {
        ReportSkipped(entry.archivePath, "the archive refused the folder's name");
        ++skipped;
      }
      continue;
    }
    if (!storesContent(entry)) continue;
    PackedFile file;
    if (pipeline != nullptr) {
      file = pipeline->Take();
    } else {
      errno = 0;
      file.content = ReadForArchive(entry.hostPath);
      file.error = errno;
    }
    if (file.content == nullptr) {
      ReportSkipped(entry.archivePath, std::string("cannot read it: ") + strerror(file.error));
      ++skipped;
      continue;
    }
    if (handOff != nullptr) handOff->Next(file.content, file.encoded);
    errno = 0;
    bool stored = mgr->WriteFileToRoot(target.handle(), entry.archivePath.c_str(), file.content) != 0;
    int error = errno;
    if (handOff != nullptr) handOff->Next(nullptr, nullptr);
    uint64_t size = static_cast<uint64_t>(file.content->Size());
    ReleaseBuffers(&file);
    progress.Step(size);
    storedFiles += stored ? 1 : 0;
    storedBytes += stored ? size : 0;
    if (!stored && IsDiskFull(error)) {
      FileError(archive, error);
      failed = true;
      break;
    }
    if (!stored) {
      ReportSkipped(entry.archivePath, "the archive refused the name");
      ++skipped;
    }
  }
  pipeline.reset();
  progress.Done();
  errno = 0;
  if (!target.Close() && !failed) {
    FileProblem(archive, "cannot write the archive: " + WriteFailure(errno));
    failed = true;
  }
  // Closing writes the table back but cannot say when that write failed:
  // the new archive must read back whole before it replaces anything.
  if (!failed && CountArchivedFiles(mgr, part) != storedFiles) {
    FileProblem(archive, "the new archive does not read back whole (is the disk full?)");
    failed = true;
  }
  if (!failed && (!SyncFile(part) || !KeepMode(archive, part) ||
                  !GavioRenameFile(part.c_str(), archive.c_str()))) {
    FileError(archive, errno);
    failed = true;
  }
  if (failed) {
    unlink(part.c_str());
    fprintf(stderr, "gavio vfs pack: %s was not written\n", PrintableName(archive).c_str());
    return 1;
  }
  struct stat info {};
  stat(archive.c_str(), &info);
  printf("packed %llu files (%llu bytes) into %s (%llu bytes)", static_cast<unsigned long long>(storedFiles),
         static_cast<unsigned long long>(storedBytes), PrintableName(archive).c_str(),
         static_cast<unsigned long long>(info.st_size));
  printf(skipped != 0 ? "; %llu skipped\n" : "\n", static_cast<unsigned long long>(skipped));
  return skipped == 0 ? 0 : 1;
}

// A host folder below the extraction target, opened one component at a
// time without following links; missing folders are made. -1 with errno.
int OpenFolderBelow(int top, const std::vector<std::string>& parts, size_t count) {
  int folder = dup(top);
  for (size_t i = 0; folder >= 0 && i < count; ++i) {
    int next = openat(folder, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && mkdirat(folder, parts[i].c_str(), 0777) == 0) {
      next = openat(folder, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0 && errno == ELOOP) errno = ENOTDIR;  // a link is in the way: never followed
    int saved = errno;
    close(folder);
    errno = saved;
    folder = next;
  }
  return folder;
}

// An archive path split into host name components; false when a component
// cannot be a host name of its own.
bool SplitArchivePath(const std::string& path, std::vector<std::string>* parts, std::string* why) {
  size_t at = 0;
  std::string trimmed = IsDirectoryPath(path) ? path.substr(0, path.size() - 1) : path;
  while (at <= trimmed.size()) {
    size_t end = trimmed.find('\\', at);
    if (end == std::string::npos) end = trimmed.size();
    std::string part = trimmed.substr(at, end - at);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      *why = "not a name a host folder can hold";
      return false;
    }
    if (part.size() > NAME_MAX) {
      *why = strerror(ENAMETOOLONG);
      return false;
    }
    parts->push_back(part);
    at = end + 1;
  }
  return true;
}

// Whether an archive path found by a walk reads back as itself: a path
// handed to the archive loses tabs, line ends and trailing blanks, so a
// hostile archive's "a " would read as its "a".
bool ReadsBackExactly(const std::string& path) {
  if (path.find_first_of("\t\n\r") != std::string::npos) return false;
  return IsDirectoryPath(path) || path.empty() || path.back() != ' ';
}

int Extract(const Manager& mgr, const std::string& archive, const std::string& folder) {
  if (!CheckArchive(archive, false)) return 1;
  Root source(mgr, archive, gavio::kRootReadOnly);
  if (!source.ok()) return FileProblem(archive, "not a readable archive");
  if (!GavioCreateFolders(folder.c_str(), 0)) return FileError(folder, errno);
  int top = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return FileError(folder, errno);
  std::vector<std::string> paths = ListTree(mgr, source.handle());
  Progress progress("extracted", CountFiles(paths));
  std::set<std::string> written;
  uint64_t skipped = 0;
  bool failed = false;
  for (const std::string& path : paths) {
    std::vector<std::string> parts;
    std::string why;
    if (!SplitArchivePath(path, &parts, &why)) {
      ReportSkipped(path, why);
      ++skipped;
      continue;
    }
    bool directory = IsDirectoryPath(path);
    if (!ReadsBackExactly(path)) {
      ReportSkipped(path, "archive paths drop tabs, line ends and trailing blanks, so it collides with "
                          "another name or cannot be read");
      ++skipped;
      continue;
    }
    std::string hostPath = HostForm(directory ? path.substr(0, path.size() - 1) : path);
    if (!directory && !written.insert(hostPath).second) {
      ReportSkipped(path, "its name collides with an entry already extracted");
      ++skipped;
      continue;
    }
    int parent = OpenFolderBelow(top, parts, directory ? parts.size() : parts.size() - 1);
    if (parent < 0) {
      ReportSkipped(path, std::string("cannot make its folder: ") + strerror(errno));
      ++skipped;
      continue;
    }
    if (directory) {
      close(parent);
      continue;
    }
    IBuffer* content = mgr->ReadFileFromRoot(source.handle(), path.c_str());
    if (content == nullptr) {
      close(parent);
      ReportSkipped(path, "cannot read it from the archive");
      ++skipped;
      continue;
    }
    size_t size = static_cast<size_t>(content->Size());
    bool ok = WriteFileAt(parent, parts.back(), content->Data(), size, 0666, false);
    int error = errno;
    content->Release();
    close(parent);
    progress.Step(size);
    if (!ok && (error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS)) {
      // Nothing more can be written: stop instead of reporting every file.
      FileError(folder + "/" + hostPath, error);
      failed = true;
      break;
    }
    if (!ok) {
      ReportSkipped(path, strerror(error));
      ++skipped;
    }
  }
  progress.Done();
  close(top);
  printf("extracted %llu files (%llu bytes) into %s", static_cast<unsigned long long>(progress.files()),
         static_cast<unsigned long long>(progress.bytes()), PrintableName(folder).c_str());
  printf(skipped != 0 ? "; %llu skipped\n" : "\n", static_cast<unsigned long long>(skipped));
  return failed || skipped != 0 ? 1 : 0;
}

struct ListOptions {
  bool recursive = false;
  bool longFormat = false;
  bool nulSeparated = false;
};

// Size, stored size and filter of one archived file for ls -l: the stored
// size is what the archive's filter makes of the content.
std::string LongFields(const Manager& mgr, int32_t root, const std::string& path,
                       const gavio::VfsHead& head) {
  char line[80];
  if (IsDirectoryPath(path)) {
    snprintf(line, sizeof line, "%12s %12s %-6s ", "-", "-", "-");
    return line;
  }
  IBuffer* content = mgr->ReadFileFromRoot(root, path.c_str());
  if (content == nullptr) {
    snprintf(line, sizeof line, "%12s %12s %-6s ", "?", "?", "?");
    return line;
  }
  gavio::RWFilter* filter = mgr.Owner(root)->GetFilter(path.c_str(), &head);
  long long stored = content->Size();
  const char* name = "none";
  if (filter != nullptr && content->Size() > 0) {
    IBuffer* encoded = CreateAs<IBuffer>(gavio::kBufferId);
    if (encoded != nullptr && encoded->Init(filter->Bound(content), filter->Bound(content)) != 0 &&
        filter->PreSave(content, encoded) != 0) {
      stored = encoded->Size();
    }
    if (encoded != nullptr) encoded->Release();
    name = head.fileFilterKind <= 1 ? "zlib" : "filter";
  }
  snprintf(line, sizeof line, "%12d %12lld %-6s ", content->Size(), stored, name);
  content->Release();
  return line;
}

int List(const Manager& mgr, const std::string& archive, const std::string& start, const ListOptions& options) {
  if (!CheckArchive(archive, false)) return 1;
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!root.ok()) return FileProblem(archive, "not a readable archive");
  gavio::VfsHead head{};
  std::ifstream(archive, std::ios::binary).read(reinterpret_cast<char*>(&head), sizeof head);
  std::string folder = start;
  std::replace(folder.begin(), folder.end(), '/', '\\');
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  if (!folder.empty() && mgr.Owner(root.handle())->GetPathType(root.handle(), folder.c_str()) != gavio::kPathDirectory) {
    return FileProblem(archive, "no folder " + PrintableName(start) + " in the archive");
  }
  int32_t flags = gavio::kFindDirectories | (options.recursive ? gavio::kFindRecursive : 0);
  bool written = true;
  Walk(mgr, root.handle(), folder.c_str(), flags, [&](const std::string& path) {
    std::string name = HostForm(path);
    std::string line = options.longFormat ? LongFields(mgr, root.handle(), path, head) : std::string();
    if (options.nulSeparated) {
      line += name;
      line += '\0';
    } else {
      line += PrintableName(name) + "\n";
    }
    written = WriteOut(line);
    return written;
  });
  return written ? 0 : 1;
}

int Cat(const Manager& mgr, const std::string& archive, const std::string& path) {
  if (!CheckArchive(archive, false)) return 1;
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!root.ok()) return FileProblem(archive, "not a readable archive");
  IBuffer* content = mgr->ReadFileFromRoot(root.handle(), path.c_str());
  if (content == nullptr) return FileProblem(archive, PrintableName(path) + " is not in the archive");
  bool ok = WriteOut(content->Data(), static_cast<size_t>(content->Size()));
  content->Release();
  return ok ? 0 : 1;
}

// Whether the closed archive holds path with exactly data's content.
bool ReadsBack(const Manager& mgr, const std::string& archive, const std::string& path, IBuffer* data) {
  Root root(mgr, archive, gavio::kRootReadOnly);
  IBuffer* stored = root.ok() ? mgr->ReadFileFromRoot(root.handle(), path.c_str()) : nullptr;
  bool same = stored != nullptr && stored->Size() == data->Size() &&
              memcmp(stored->Data(), data->Data(), static_cast<size_t>(data->Size())) == 0;
  if (stored != nullptr) stored->Release();
  return same;
}

int Add(const Manager& mgr, const std::string& archive, const std::string& path, const std::string& file) {
  if (!CheckArchive(archive, true)) return 1;
  if (path.empty() || path == "\\" || path == "/") return UsageError("vfs add", "name the file inside the archive");
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    int error = errno;
    if (fd >= 0) close(fd);
    return FileError(file, error);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return S_ISDIR(info.st_mode) ? FileError(file, EISDIR) : FileProblem(file, "not a regular file");
  }
  // The limit is checked on the size the system reports, before any
  // buffer is made for it.
  uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size > kMaxArchivedFileSize) {
    close(fd);
    return FileProblem(file, "file too large (an archive holds files of at most " +
                                 std::to_string(kMaxArchivedFileSize) + " bytes)");
  }
  IBuffer* data = CreateAs<IBuffer>(gavio::kBufferId);
  int32_t length = static_cast<int32_t>(size);
  if (data == nullptr || data->Init(length, length) == 0) {
    if (data != nullptr) data->Release();
    close(fd);
    return FileProblem(file, "no memory for " + std::to_string(size) + " bytes");
  }
  uint64_t done = 0;
  while (done < size) {
    ssize_t got = read(fd, data->Data() + done, static_cast<size_t>(size - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  int error = errno;
  close(fd);
  if (done != size) {
    data->Release();
    return done < size && error != 0 ? FileError(file, error) : FileProblem(file, "changed while being read");
  }
  Root root(mgr, archive, gavio::kRootOpenAlways);
  errno = 0;
  bool ok = root.ok() && mgr->WriteFileToRoot(root.handle(), path.c_str(), data) != 0;
  error = errno;
  ok = root.Close() && ok;
  // Closing writes the table back but cannot say when that write failed:
  // the file must read back from the closed archive.
  ok = ok && ReadsBack(mgr, archive, path, data);
  data->Release();
  if (!ok) return FileProblem(archive, "cannot store " + PrintableName(path) + ": " + WriteFailure(error));
  return 0;
}

int Remove(const Manager& mgr, const std::string& archive, std::string path) {
  if (!CheckArchive(archive, false)) return 1;
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.empty() || path == "\\") return UsageError("vfs rm", "name a file or folder inside the archive");
  Root root(mgr, archive, gavio::kRootReadWrite);
  if (!root.ok()) return FileProblem(archive, "cannot open the archive for editing");
  IFileSys* archives = mgr.Owner(root.handle());
  if (!IsDirectoryPath(path) && archives->GetPathType(root.handle(), (path + '\\').c_str()) == gavio::kPathDirectory) {
    path += '\\';
  }
  bool ok = IsDirectoryPath(path) ? mgr->DeleteDir(root.handle(), path.c_str()) != 0
                                  : mgr->DeleteFile(root.handle(), path.c_str()) != 0;
  if (!ok) FileProblem(archive, PrintableName(HostForm(path)) + " is not in the archive");
  if (!root.Close()) return FileProblem(archive, "cannot write the archive back");
  if (ok) {
    // As for add: the closed archive must open, without the path.
    Root check(mgr, archive, gavio::kRootReadOnly);
    if (!check.ok() || mgr.Owner(check.handle())->GetPathType(check.handle(), path.c_str()) != gavio::kPathNotFound) {
      return FileProblem(archive, "cannot write the archive back");
    }
  }
  return ok ? 0 : 1;
}

// The data area walked extent by extent: file extents and free extents
// tile it, so their heads are found without the FDT.
struct ExtentCounts {
  uint64_t fileExtents = 0;
  uint64_t freeExtents = 0;
  uint64_t largestFree = 0;
  bool complete = true;
};

ExtentCounts CountExtents(std::ifstream& in, const gavio::VfsHead& head) {
  ExtentCounts counts;
  uint64_t offset = gavio::kVfsHeadSize;
  while (head.dataEnd != 0 && offset < head.dataEnd) {
    uint32_t words[2] = {};  // tag, units
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(words), sizeof words);
    if (!in || words[1] == 0 || (words[0] != gavio::kBlockTag && words[0] != gavio::kFreeTag)) {
      counts.complete = false;
      break;
    }
    if (words[0] == gavio::kBlockTag) {
      ++counts.fileExtents;
    } else {
      ++counts.freeExtents;
      counts.largestFree = std::max<uint64_t>(counts.largestFree, words[1]);
    }
    offset += static_cast<uint64_t>(words[1]) * head.blockSize;
  }
  return counts;
}

int Info(const Manager& mgr, const std::string& archive) {
  if (!CheckArchive(archive, false)) return 1;
  std::ifstream in(archive, std::ios::binary);
  gavio::VfsHead head{};
  in.read(reinterpret_cast<char*>(&head), sizeof head);
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!in || !root.ok()) return FileProblem(archive, "not a readable archive");
  uint64_t files = 0;
  uint64_t folders = 0;
  Walk(mgr, root.handle(), "", gavio::kFindRecursive | gavio::kFindDirectories,
       [&](const std::string& path) {
         ++(IsDirectoryPath(path) ? folders : files);
         return true;
       });
  uint64_t units = head.dataEnd > gavio::kVfsHeadSize ? (head.dataEnd - gavio::kVfsHeadSize) / head.blockSize : 0;
  ExtentCounts extents = CountExtents(in, head);
  std::error_code error;
  printf("archive        %s (%llu bytes)\n", PrintableName(archive).c_str(),
         static_cast<unsigned long long>(std::filesystem::file_size(archive, error)));
  printf("magic          \"%.4s\"\n", reinterpret_cast<const char*>(head.magic));
  printf("root info      %u\n", head.rootInfo);
  printf("block size     %u\n", head.blockSize);
  printf("data end       %u (%llu units)\n", head.dataEnd, static_cast<unsigned long long>(units));
  printf("free units     %d, list at %u\n", head.freeUnits, head.freeList);
  printf("numbers        %u %u\n", head.archiveNumber1, head.archiveNumber2);
  printf("description    \"%.30s\"\n", head.description);
  printf("filter kind    %u (%s)\n", head.fileFilterKind, head.fileFilterKind <= 1 ? "zlib" : "stored as is");
  printf("fdt            coded %u, key selector %u\n", head.fdtCoded, head.keySelector);
  printf("files          %llu in %llu folders\n", static_cast<unsigned long long>(files),
         static_cast<unsigned long long>(folders));
  printf("extents        %llu file, %llu free (largest %llu units)%s\n",
         static_cast<unsigned long long>(extents.fileExtents), static_cast<unsigned long long>(extents.freeExtents),
         static_cast<unsigned long long>(extents.largestFree), extents.complete ? "" : ", walk stopped early");
  double per_file = files == 0 ? 0.0 : static_cast<double>(extents.fileExtents) / static_cast<double>(files);
  double free_share = units == 0 ? 0.0 : 100.0 * head.freeUnits / static_cast<double>(units);
  printf("fragmentation  %.2f extents per file, %.1f%% of the data area free\n", per_file, free_share);
  return 0;
}

// Mounts an archive and a folder at the top of one path space and shows
// which one serves each path.
int MountShow(const Manager& mgr, const std::string& archive, const std::string& folder,
              std::vector<std::string> paths, bool archivesFirst) {
  if (!CheckArchive(archive, false) || !CheckFolder(folder)) return 1;
  int32_t archive_mount = mgr->Mount(archive.c_str(), "");
  int32_t folder_mount = mgr->Mount(folder.c_str(), "");
  if (archive_mount == -1 || folder_mount == -1) {
    fprintf(stderr, "gavio vfs mount: cannot mount %s\n", archive_mount == -1 ? archive.c_str() : folder.c_str());
    return 1;
  }
  mgr->SetArchivesFirst(archivesFirst ? 1 : 0);
  printf("mounted %s (handle %d) and %s (handle %d); %s first\n", archive.c_str(), archive_mount,
         folder.c_str(), folder_mount, archivesFirst ? "archives" : "folders");
  std::set<std::string> archive_paths;
  char mapped[520];
  mgr->GetVfsMapper()->Rewind();
  while (mgr->NextVfsPath(mapped, sizeof mapped) != -1) archive_paths.insert(mapped);
  if (paths.empty()) {
    std::set<std::string> all = archive_paths;
    Root root(mgr, folder, gavio::kRootReadOnly);
    Walk(mgr, root.handle(), "", gavio::kFindRecursive, [&](const std::string& path) {
      all.insert(path);
      return true;
    });
    paths.assign(all.begin(), all.end());
  }
  IFileSys* archives = mgr->GetFileSystem("vfs");
  for (const std::string& path : paths) {
    int32_t file = mgr->OpenFile(path.c_str(), 0);
    if (file == -1) {
      printf("%-40s  not found\n", path.c_str());
      continue;
    }
    IFileSys* owner = mgr->GetOwner(file);
    IBuffer* content = mgr->GetFileBuffer(file);
    printf("%-40s  %s, %d bytes\n", path.c_str(), owner == archives ? "archive" : "folder",
           content == nullptr ? -1 : content->Size());
    mgr->CloseFile(file);
  }
  return 0;
}

constexpr int kArchivesFirstOption = 256;
constexpr int kStoreOption = 257;
constexpr long kMaxPackJobs = 64;
constexpr int kLevelOption = 258;

struct Verb {
  const char* name;
  const char* usage;
  std::vector<OptionSpec> options;
  size_t minOperands;
  size_t maxOperands;
};

const Verb kVerbs[] = {
    {"pack",
     "usage: gavio vfs pack [--store | --level N] [-j N] DIR ARCHIVE.vfs\n"
     "Packs the folder DIR into a new archive, written beside ARCHIVE.vfs and\n"
     "renamed over it when complete. Names that cannot be packed are reported\n"
     "and counted; the exit status is then 1.\n"
     "  --store       keep the files as they are (no compression)\n"
     "  --level N     compression level 1-12 (default 6)\n"
     "  -j, --jobs N  threads that read and compress (default: one per CPU);\n"
     "                the archive is the same for every N\n",
     {{"store", kStoreOption, false}, {"level", kLevelOption, true}, {"jobs", 'j', true}}, 2, 2},
    {"extract",
     "usage: gavio vfs extract ARCHIVE.vfs DIR\n"
     "Writes every file of the archive below DIR (made when missing). Links met\n"
     "in DIR are never followed; an existing file keeps its permissions.\n"
     "Names that cannot be extracted are reported and counted (exit status 1).\n",
     {}, 2, 2},
    {"ls",
     "usage: gavio vfs ls [-r] [-l] [-0] ARCHIVE.vfs [DIR]\n"
     "Lists the files and folders (ending in '/') of DIR in the archive.\n"
     "  -r, --recursive   everything below DIR\n"
     "  -l, --long        also the size, the stored size and the filter\n"
     "  -0, --null        end names with NUL instead of a line end, unescaped\n",
     {{"recursive", 'r', false}, {"long", 'l', false}, {"null", '0', false}}, 1, 2},
    {"cat", "usage: gavio vfs cat ARCHIVE.vfs PATH\nWrites one archived file to standard output.\n", {}, 2, 2},
    {"add",
     "usage: gavio vfs add ARCHIVE.vfs PATH FILE\n"
     "Stores the host file FILE as PATH in the archive (made when missing).\n",
     {}, 3, 3},
    {"rm", "usage: gavio vfs rm ARCHIVE.vfs PATH\nRemoves a file or a folder from the archive.\n", {}, 2, 2},
    {"info", "usage: gavio vfs info ARCHIVE.vfs\nShows the archive's head, counts and fragmentation.\n", {}, 1, 1},
    {"mount",
     "usage: gavio vfs mount [--archives-first] ARCHIVE.vfs FOLDER [PATH...]\n"
     "Mounts the archive and the folder at the top of one path space and shows\n"
     "which one serves each PATH (every path of both when none is given).\n"
     "  --archives-first   the archive wins where both hold a path\n",
     {{"archives-first", kArchivesFirstOption, false}}, 2, SIZE_MAX},
};

const char kVfsUsage[] =
    "usage: gavio vfs pack [--store | --level N] [-j N] DIR ARCHIVE.vfs\n"
    "       gavio vfs extract ARCHIVE.vfs DIR\n"
    "       gavio vfs ls [-r] [-l] [-0] ARCHIVE.vfs [DIR]\n"
    "       gavio vfs cat ARCHIVE.vfs PATH\n"
    "       gavio vfs add ARCHIVE.vfs PATH FILE\n"
    "       gavio vfs rm ARCHIVE.vfs PATH\n"
    "       gavio vfs info ARCHIVE.vfs\n"
    "       gavio vfs mount [--archives-first] ARCHIVE.vfs FOLDER [PATH...]\n"
    "gavio vfs VERB --help tells more. Host paths use '/'; PATH inside an archive\n"
    "takes '\\' or '/'.\n";

// A whole number in [low, high], or -1.
int NumberIn(const std::string& text, int low, int high) {
  char* end = nullptr;
  long value = text.empty() ? -1 : strtol(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0' && value >= low && value <= high ? static_cast<int>(value) : -1;
}

bool PackOptionsFrom(const Arguments& args, PackOptions* options) {
  options->store = args.Has(kStoreOption);
  if (args.Has(kLevelOption)) {
    options->level = NumberIn(args.Value(kLevelOption), 1, 12);
    if (options->level == -1) {
      UsageError("vfs pack", "the level is a number from 1 to 12");
      return false;
    }
    if (options->store) {
      UsageError("vfs pack", "--store and --level exclude each other");
      return false;
    }
  }
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  options->jobs = static_cast<unsigned>(std::clamp<long>(cpus, 1, kMaxPackJobs));
  if (args.Has('j')) {
    int jobs = NumberIn(args.Value('j'), 1, kMaxPackJobs);
    if (jobs == -1) {
      UsageError("vfs pack", "the jobs are a number from 1 to 64");
      return false;
    }
    options->jobs = static_cast<unsigned>(jobs);
  }
  return true;
}

int Dispatch(const Manager& mgr, const std::string& verb, const Arguments& args) {
  const std::vector<std::string>& a = args.operands;
  if (verb == "pack") {
    PackOptions options;
    return PackOptionsFrom(args, &options) ? Pack(mgr, a[0], a[1], options) : 2;
  }
  if (verb == "extract") return Extract(mgr, a[0], a[1]);
  if (verb == "ls") {
    ListOptions options;
    options.recursive = args.Has('r');
    options.longFormat = args.Has('l');
    options.nulSeparated = args.Has('0');
    return List(mgr, a[0], a.size() == 2 ? a[1] : std::string(), options);
  }
  if (verb == "cat") return Cat(mgr, a[0], a[1]);
  if (verb == "add") return Add(mgr, a[0], a[1], a[2]);
  if (verb == "rm") return Remove(mgr, a[0], a[1]);
  if (verb == "info") return Info(mgr, a[0]);
  return MountShow(mgr, a[0], a[1], std::vector<std::string>(a.begin() + 2, a.end()), args.Has(kArchivesFirstOption));
}

}  // namespace

int RunVfs(int argc, char** argv) {
  const Verb* verb = nullptr;
  for (const Verb& v : kVerbs) {
    if (argc >= 2 && strcmp(argv[1], v.name) == 0) verb = &v;
  }
  if (verb == nullptr) {
    Arguments args;
    int status = ParseArguments(argc, argv, "vfs", kVfsUsage, {}, &args);
    if (status != -1) return status;
    return UsageError("vfs", args.operands.empty() ? "say which verb" : "unknown verb '" + args.operands[0] + "'");
  }
  std::string command = std::string("vfs ") + verb->name;
  Arguments args;
  int status = ParseArguments(argc - 1, argv + 1, command.c_str(), verb->usage, verb->options, &args);
  if (status != -1) return status;
  if (args.operands.size() < verb->minOperands || args.operands.size() > verb->maxOperands) {
    return UsageError(command.c_str(), "wrong number of operands");
  }
  Manager mgr;
  if (!mgr) return 1;
  // Host folders may hold names that differ only in case; archives made and
  // read here keep them apart.
  if (strcmp(verb->name, "mount") != 0) mgr->SetCaseSensitive(gavio::kCaseExactNames);
  return Dispatch(mgr, verb->name, args);
}

// Packs a small tree, mounts the archive beside a folder that overrides
// one file, and reads through the shared path space.
bool DemoVfs() {
  namespace fs = std::filesystem;
  std::error_code error;
  char pattern[] = "/tmp/gavio-vfs-demo-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  fs::path base(pattern);
  auto write = [](const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  };
  std::string numbers;
  for (int i = 0; i < 2000; ++i) numbers += std::to_string(i * i) + "\n";
  write(base / "src/readme.txt", "packed readme\n");
  write(base / "src/data/config.ini", "[game]\nlevel=3\n");
  write(base / "src/data/numbers.txt", numbers);
  write(base / "override/readme.txt", "folder readme\n");

  bool ok = false;
  {
    Manager mgr;
    if (mgr) {
      printf("vfs: packing %s\n", (base / "src").c_str());
      std::string archive = (base / "demo.vfs").string();
      ok = Pack(mgr, (base / "src").string(), archive, PackOptions{}) == 0;
      ok = ok && mgr->Mount(archive.c_str(), "game") != -1 &&
           mgr->Mount((base / "override").c_str(), "game") != -1;
      auto read = [&](const char* path) {
        int32_t file = mgr->OpenFile(path, 0);
        if (file == -1) return std::string("<missing>");
        IBuffer* content = mgr->GetFileBuffer(file);
        std::string text(reinterpret_cast<const char*>(content->Data()), static_cast<size_t>(content->Size()));
        const char* from = mgr->GetOwner(file) == mgr->GetFileSystem("vfs") ? "archive" : "folder";
        printf("vfs: %-24s from the %s, %zu bytes\n", path, from, text.size());
        mgr->CloseFile(file);
        return text;
      };
      ok = ok && read("game\\readme.txt") == "folder readme\n";
      ok = ok && read("game\\data\\numbers.txt") == numbers;
      mgr->SetArchivesFirst(1);
      printf("vfs: archives first\n");
      ok = ok && read("game/readme.txt") == "packed readme\n";
      ok = ok && read("game/data/config.ini") == "[game]\nlevel=3\n";
    }
  }
  fs::remove_all(base, error);
  printf("vfs: %s\n", ok ? "pack, mount and read OK" : "FAILED");
  return ok;
}

}  // namespace gavio_tool
