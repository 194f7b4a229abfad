// gavio vfs: packs folders into archives and back, lists, reads, edits and
// inspects archives, and shows how an archive and a folder share one path
// space. Everything goes through the file-system manager (component 260)
// like a client; only "info" also reads the archive's public head and
// extent records itself.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "gavio/ids.h"
#include "gavio/vfs.h"
#include "platform/errors.h"

namespace gavio_tool {
namespace {

using gavio::IBuffer;
using gavio::IFileSys;
using gavio::IFileSysMgr;

constexpr uint32_t kProgressEveryMs = 250;

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
    if (mgr_ != nullptr) mgr_->SetErrorReporting(1);
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

// Walks a root's files (and folders, with their trailing '\').
template <class Visit>
void Walk(const Manager& mgr, int32_t root, const char* start, int32_t flags, Visit visit) {
  int32_t find = mgr->FindFirst(root, start, flags);
  for (bool more = find != -1; more; more = mgr->FindNext(find) != 0) visit(std::string(mgr->GetFindPath(find)));
  if (find != -1) mgr->FindClose(find);
}

bool IsDirectoryPath(const std::string& path) { return !path.empty() && path.back() == '\\'; }

bool HasVfsExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  return strcasecmp(ext.c_str(), ".vfs") == 0;
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::weakly_canonical(path, error);
  return error ? path : absolute.string();
}

// A progress line on standard error, redrawn now and then on a terminal.
class Progress {
 public:
  explicit Progress(const char* verb) : verb_(verb), tty_(isatty(2) != 0), last_(GetTickCount()) {}
  void Step(uint64_t bytes) {
    ++files_;
    bytes_ += bytes;
    if (tty_ && GetTickCount() - last_ >= kProgressEveryMs) {
      last_ = GetTickCount();
      fprintf(stderr, "\r%s %llu files, %.1f MB", verb_, static_cast<unsigned long long>(files_),
              static_cast<double>(bytes_) / 1e6);
      shown_ = true;
    }
  }
  void Done() {
    if (shown_) fprintf(stderr, "\r\033[K");
  }
  uint64_t files() const { return files_; }
  uint64_t bytes() const { return bytes_; }

 private:
  const char* verb_;
  bool tty_;
  DWORD last_;
  bool shown_ = false;
  uint64_t files_ = 0;
  uint64_t bytes_ = 0;
};

// Copies every file and folder of one root into another (read whole, write
// whole). Names that differ only in case from one already copied cannot be
// told apart by a case-folding reader, but archives keep them apart in the
// exact-name mode this tool uses.
bool CopyTree(const Manager& mgr, int32_t from, int32_t to, const std::string& skip, Progress* progress) {
  bool ok = true;
  Walk(mgr, from, "", gavio::kFindRecursive | gavio::kFindDirectories, [&](const std::string& path) {
    if (IsDirectoryPath(path)) {
      if (mgr.Owner(to)->CreateDir(to, path.c_str()) != 1) {
        fprintf(stderr, "gavio vfs: cannot create folder %s\n", path.c_str());
        ok = false;
      }
      return;
    }
    if (path == skip) return;
    IBuffer* content = mgr->ReadFileFromRoot(from, path.c_str());
    if (content == nullptr) {
      fprintf(stderr, "gavio vfs: cannot read %s\n", path.c_str());
      ok = false;
      return;
    }
    if (mgr->WriteFileToRoot(to, path.c_str(), content) == 0) {
      fprintf(stderr, "gavio vfs: cannot write %s\n", path.c_str());
      ok = false;
    }
    progress->Step(static_cast<uint64_t>(content->Size()));
    content->Release();
  });
  progress->Done();
  return ok;
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

int Pack(const Manager& mgr, const std::string& folder, const std::string& archive) {
  if (!std::filesystem::is_directory(folder)) {
    fprintf(stderr, "gavio vfs pack: %s is not a folder\n", folder.c_str());
    return 1;
  }
  if (!HasVfsExtension(archive)) {
    fprintf(stderr, "gavio vfs pack: the archive name must end in .vfs\n");
    return 2;
  }
  Root source(mgr, folder, gavio::kRootReadOnly);
  Root target(mgr, archive, gavio::kRootCreate);
  if (!source.ok() || !target.ok()) {
    fprintf(stderr, "gavio vfs pack: cannot open %s\n", source.ok() ? archive.c_str() : folder.c_str());
    return 1;
  }
  Progress progress("packed");
  // An archive written inside the folder it packs must not pack itself.
  bool ok = CopyTree(mgr, source.handle(), target.handle(), RelativeInside(folder, archive), &progress);
  if (!target.Close()) ok = false;
  std::error_code error;
  uint64_t size = std::filesystem::file_size(archive, error);
  printf("packed %llu files (%llu bytes) into %s (%llu bytes)\n",
         static_cast<unsigned long long>(progress.files()), static_cast<unsigned long long>(progress.bytes()),
         archive.c_str(), static_cast<unsigned long long>(size));
  return ok ? 0 : 1;
}

int Extract(const Manager& mgr, const std::string& archive, const std::string& folder) {
  Root source(mgr, archive, gavio::kRootReadOnly);
  if (!source.ok() || !HasVfsExtension(archive)) {
    fprintf(stderr, "gavio vfs extract: %s is not a readable .vfs archive\n", archive.c_str());
    return 1;
  }
  Root target(mgr, folder, gavio::kRootOpenAlways);
  if (!target.ok() || mgr.Owner(target.handle()) != mgr->GetDefaultFileSys()) {
    fprintf(stderr, "gavio vfs extract: cannot use %s as a folder\n", folder.c_str());
    return 1;
  }
  Progress progress("extracted");
  bool ok = CopyTree(mgr, source.handle(), target.handle(), std::string(), &progress);
  printf("extracted %llu files (%llu bytes) into %s\n", static_cast<unsigned long long>(progress.files()),
         static_cast<unsigned long long>(progress.bytes()), folder.c_str());
  return ok ? 0 : 1;
}

int List(const Manager& mgr, const std::string& archive, const std::string& start, bool recursive) {
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!root.ok()) {
    fprintf(stderr, "gavio vfs ls: cannot open %s\n", archive.c_str());
    return 1;
  }
  std::string folder = start;
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
  if (!folder.empty() && mgr.Owner(root.handle())->GetPathType(root.handle(), folder.c_str()) != gavio::kPathDirectory) {
    fprintf(stderr, "gavio vfs ls: no folder %s in %s\n", start.c_str(), archive.c_str());
    return 1;
  }
  int32_t flags = gavio::kFindDirectories | (recursive ? gavio::kFindRecursive : 0);
  Walk(mgr, root.handle(), folder.c_str(), flags, [](const std::string& path) { printf("%s\n", path.c_str()); });
  return 0;
}

int Cat(const Manager& mgr, const std::string& archive, const std::string& path) {
  Root root(mgr, archive, gavio::kRootReadOnly);
  IBuffer* content = root.ok() ? mgr->ReadFileFromRoot(root.handle(), path.c_str()) : nullptr;
  if (content == nullptr) {
    fprintf(stderr, "gavio vfs cat: %s not found in %s\n", path.c_str(), archive.c_str());
    return 1;
  }
  fwrite(content->Data(), 1, static_cast<size_t>(content->Size()), stdout);
  content->Release();
  return 0;
}

int Add(const Manager& mgr, const std::string& archive, const std::string& path, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    fprintf(stderr, "gavio vfs add: cannot read %s\n", file.c_str());
    return 1;
  }
  IBuffer* data = CreateAs<IBuffer>(gavio::kBufferId);
  if (data == nullptr || data->Init(static_cast<int32_t>(bytes.size()), static_cast<int32_t>(bytes.size())) == 0) {
    if (data != nullptr) data->Release();
    fprintf(stderr, "gavio vfs add: no buffer for %zu bytes\n", bytes.size());
    return 1;
  }
  if (!bytes.empty()) memcpy(data->Data(), bytes.data(), bytes.size());
  Root root(mgr, archive, gavio::kRootOpenAlways);
  bool ok = root.ok() && mgr->WriteFileToRoot(root.handle(), path.c_str(), data) != 0;
  data->Release();
  ok = root.Close() && ok;
  if (!ok) fprintf(stderr, "gavio vfs add: cannot store %s in %s\n", path.c_str(), archive.c_str());
  return ok ? 0 : 1;
}

int Remove(const Manager& mgr, const std::string& archive, std::string path) {
  Root root(mgr, archive, gavio::kRootReadWrite);
  if (!root.ok()) {
    fprintf(stderr, "gavio vfs rm: cannot open %s for editing\n", archive.c_str());
    return 1;
  }
  IFileSys* archives = mgr.Owner(root.handle());
  if (!IsDirectoryPath(path) && archives->GetPathType(root.handle(), (path + '\\').c_str()) == gavio::kPathDirectory) {
    path += '\\';
  }
  bool ok = IsDirectoryPath(path) ? mgr->DeleteDir(root.handle(), path.c_str()) != 0
                                  : mgr->DeleteFile(root.handle(), path.c_str()) != 0;
  ok = root.Close() && ok;
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
  std::ifstream in(archive, std::ios::binary);
  gavio::VfsHead head{};
  in.read(reinterpret_cast<char*>(&head), sizeof head);
  Root root(mgr, archive, gavio::kRootReadOnly);
  if (!in || !root.ok()) {
    fprintf(stderr, "gavio vfs info: %s is not a readable archive\n", archive.c_str());
    return 1;
  }
  uint64_t files = 0;
  uint64_t folders = 0;
  Walk(mgr, root.handle(), "", gavio::kFindRecursive | gavio::kFindDirectories,
       [&](const std::string& path) { ++(IsDirectoryPath(path) ? folders : files); });
  uint64_t units = head.dataEnd > gavio::kVfsHeadSize ? (head.dataEnd - gavio::kVfsHeadSize) / head.blockSize : 0;
  ExtentCounts extents = CountExtents(in, head);
  std::error_code error;
  printf("archive        %s (%llu bytes)\n", archive.c_str(),
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
    Walk(mgr, root.handle(), "", gavio::kFindRecursive, [&](const std::string& path) { all.insert(path); });
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

void PrintVfsUsage() {
  fprintf(stderr,
          "usage: gavio vfs pack DIR ARCHIVE.vfs\n"
          "       gavio vfs ls ARCHIVE [DIR] [-r]\n"
          "       gavio vfs cat ARCHIVE PATH\n"
          "       gavio vfs extract ARCHIVE DIR\n"
          "       gavio vfs add ARCHIVE PATH FILE\n"
          "       gavio vfs rm ARCHIVE PATH\n"
          "       gavio vfs info ARCHIVE\n"
          "       gavio vfs mount ARCHIVE FOLDER [PATH...] [--archives-first]\n");
}

int Dispatch(const Manager& mgr, const std::string& verb, std::vector<std::string> args) {
  auto take_flag = [&](const char* flag) {
    auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end()) return false;
    args.erase(it);
    return true;
  };
  if (verb == "pack" && args.size() == 2) return Pack(mgr, args[0], args[1]);
  if (verb == "extract" && args.size() == 2) return Extract(mgr, args[0], args[1]);
  if (verb == "ls") {
    bool recursive = take_flag("-r");
    if (args.size() == 1 || args.size() == 2) return List(mgr, args[0], args.size() == 2 ? args[1] : "", recursive);
  }
  if (verb == "cat" && args.size() == 2) return Cat(mgr, args[0], args[1]);
  if (verb == "add" && args.size() == 3) return Add(mgr, args[0], args[1], args[2]);
  if (verb == "rm" && args.size() == 2) return Remove(mgr, args[0], args[1]);
  if (verb == "info" && args.size() == 1) return Info(mgr, args[0]);
  if (verb == "mount") {
    bool archives_first = take_flag("--archives-first");
    if (args.size() >= 2) {
      return MountShow(mgr, args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()), archives_first);
    }
  }
  PrintVfsUsage();
  return 2;
}

}  // namespace

int RunVfs(int argc, char** argv) {
  if (argc < 2) {
    PrintVfsUsage();
    return 2;
  }
  Manager mgr;
  if (!mgr) return 1;
  // Host folders may hold names that differ only in case; archives made and
  // read here keep them apart.
  if (strcmp(argv[1], "mount") != 0) mgr->SetCaseSensitive(gavio::kCaseExactNames);
  return Dispatch(mgr, argv[1], std::vector<std::string>(argv + 2, argv + argc));
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
      ok = Pack(mgr, (base / "src").string(), archive) == 0;
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
