// Reading many small files and a few large ones from a mounted archive,
// against the same files in a plain folder (plain POSIX reads, and through
// the folder file system) and in a zip archive mounted with PhysFS; and
// packing the tree into an archive against `zip -r` (wall time: zip runs
// in a child process).
//
// The data set is made once per run in a temporary folder: 10 000 files of
// 1-16 KiB in 100 folders (half text-like, half noise) and four 8 MiB files.
// Every file is read whole; the page cache is warm for every contender.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <physfs.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gavio/ids.h"
#include "gavio/vfs.h"
#include "frame/instances.h"
#include "host/registration_table.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSmallFiles = 10000;
constexpr int kFolders = 100;
constexpr int kLargeFiles = 4;
constexpr size_t kLargeSize = 8u << 20;

struct DataSet {
  fs::path base;
  fs::path tree;
  std::string archive;
  std::string zip;
  std::vector<std::string> small;  // relative, '/' form
  std::vector<std::string> large;
  int64_t smallBytes = 0;
  int64_t largeBytes = 0;
};

std::string Content(std::mt19937& rng, size_t size, bool noise) {
  static const char* kWords[] = {"sword ", "shield ", "potion ", "dragon ", "castle ", "quest ",
                                 "level=", "\n", "0x1F ", "texture ", "mesh ", "sound "};
  std::string text;
  text.reserve(size);
  while (text.size() < size) {
    if (noise) {
      text += static_cast<char>(rng());
    } else {
      text += kWords[rng() % std::size(kWords)];
      if (rng() % 5 == 0) text += std::to_string(rng() % 100000);
    }
  }
  text.resize(size);
  return text;
}

gavio::IFileSysMgr* Manager() {
  static gavio::IFileSysMgr* mgr = [] {
    auto* m = static_cast<gavio::IFileSysMgr*>(gavio::HostCreateComponent(gavio::kFileSysMgrId, 0));
    m->Init();
    return m;
  }();
  return mgr;
}

// Packs a folder into a new archive through the manager, as gavio vfs pack
// does: every file read whole and written through the zlib filter.
bool PackTree(const std::string& folder, const std::string& archive) {
  gavio::IFileSysMgr* mgr = Manager();
  int32_t from = mgr->OpenRoot(folder.c_str(), gavio::kRootReadOnly);
  int32_t to = mgr->OpenRoot(archive.c_str(), gavio::kRootCreate);
  bool ok = from != -1 && to != -1;
  int32_t find = ok ? mgr->FindFirst(from, "", gavio::kFindRecursive) : -1;
  for (bool more = find != -1; more; more = mgr->FindNext(find) != 0) {
    const char* path = mgr->GetFindPath(find);
    gavio::IBuffer* content = mgr->ReadFileFromRoot(from, path);
    ok = content != nullptr && mgr->WriteFileToRoot(to, path, content) != 0 && ok;
    if (content != nullptr) content->Release();
  }
  if (find != -1) mgr->FindClose(find);
  if (to != -1) ok = mgr->CloseRoot(to) == 1 && ok;
  if (from != -1) mgr->CloseRoot(from);
  return ok;
}

const DataSet& Data() {
  static DataSet* data = [] {
    auto* d = new DataSet;
    char pattern[] = "/tmp/gavio-vfs-bench-XXXXXX";
    d->base = mkdtemp(pattern);
    d->tree = d->base / "tree";
    std::mt19937 rng(2024);
    for (int i = 0; i < kSmallFiles; ++i) {
      std::string relative = "folder" + std::to_string(i % kFolders) + "/file" + std::to_string(i) + ".dat";
      size_t size = 1024 + rng() % (15 * 1024 + 1);
      fs::create_directories((d->tree / relative).parent_path());
      std::ofstream(d->tree / relative, std::ios::binary) << Content(rng, size, i % 2 == 1);
      d->small.push_back(relative);
      d->smallBytes += static_cast<int64_t>(size);
    }
    for (int i = 0; i < kLargeFiles; ++i) {
      std::string relative = "large/big" + std::to_string(i) + ".bin";
      fs::create_directories((d->tree / relative).parent_path());
      std::ofstream(d->tree / relative, std::ios::binary) << Content(rng, kLargeSize, i % 2 == 1);
      d->large.push_back(relative);
      d->largeBytes += static_cast<int64_t>(kLargeSize);
    }
    d->archive = (d->base / "data.vfs").string();
    d->zip = (d->base / "data.zip").string();
    if (!PackTree(d->tree.string(), d->archive)) abort();
    std::string zip = "cd '" + d->tree.string() + "' && zip -q -r '" + d->zip + "' .";
    if (system(zip.c_str()) != 0) abort();
    return d;
  }();
  return *data;
}

std::string Backslashed(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// --- contenders: each reads a list of files whole and returns the bytes.

int64_t ReadPosix(const std::vector<std::string>& files) {
  const DataSet& d = Data();
  int64_t total = 0;
  std::vector<char> buffer;
  for (const std::string& file : files) {
    int fd = open((d.tree / file).c_str(), O_RDONLY);
    off_t size = lseek(fd, 0, SEEK_END);
    buffer.resize(static_cast<size_t>(size));
    total += pread(fd, buffer.data(), buffer.size(), 0);
    close(fd);
  }
  return total;
}

int64_t ReadMounted(const std::vector<std::string>& files, const char* mountPath) {
  gavio::IFileSysMgr* mgr = Manager();
  int64_t total = 0;
  for (const std::string& file : files) {
    int32_t handle = mgr->OpenFile((std::string(mountPath) + Backslashed(file)).c_str(), 0);
    gavio::IBuffer* content = mgr->GetFileBuffer(handle);
    total += content->Size();
    benchmark::DoNotOptimize(content->Data());
    mgr->CloseFile(handle);
  }
  return total;
}

int64_t ReadPhysfs(const std::vector<std::string>& files) {
  int64_t total = 0;
  std::vector<char> buffer;
  for (const std::string& file : files) {
    PHYSFS_File* handle = PHYSFS_openRead(("zip/" + file).c_str());
    PHYSFS_sint64 size = PHYSFS_fileLength(handle);
    buffer.resize(static_cast<size_t>(size));
    total += PHYSFS_readBytes(handle, buffer.data(), static_cast<PHYSFS_uint64>(size));
    PHYSFS_close(handle);
  }
  return total;
}

void Mounts() {
  static bool done = [] {
    const DataSet& d = Data();
    gavio::IFileSysMgr* mgr = Manager();
    if (mgr->Mount(d.archive.c_str(), "vfs") == -1) abort();
    if (mgr->Mount(d.tree.c_str(), "dir") == -1) abort();
    if (PHYSFS_init("vfs_bench") == 0 || PHYSFS_mount(d.zip.c_str(), "zip", 1) == 0) abort();
    return true;
  }();
  (void)done;
}

template <class Read>
void RunReads(benchmark::State& state, const std::vector<std::string>& files, int64_t expected, Read read) {
  Mounts();
  for (auto _ : state) {
    int64_t bytes = read(files);
    if (bytes != expected) state.SkipWithError("short read");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files.size()));
  state.SetBytesProcessed(state.iterations() * expected);
}

void BM_SmallFiles_PlainFolder(benchmark::State& state) {
  RunReads(state, Data().small, Data().smallBytes, ReadPosix);
}
void BM_SmallFiles_MountedFolder(benchmark::State& state) {
  RunReads(state, Data().small, Data().smallBytes, [](const auto& f) { return ReadMounted(f, "dir\\"); });
}
void BM_SmallFiles_MountedArchive(benchmark::State& state) {
  RunReads(state, Data().small, Data().smallBytes, [](const auto& f) { return ReadMounted(f, "vfs\\"); });
}
void BM_SmallFiles_PhysfsZip(benchmark::State& state) {
  RunReads(state, Data().small, Data().smallBytes, ReadPhysfs);
}
void BM_LargeFiles_PlainFolder(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, ReadPosix);
}
void BM_LargeFiles_MountedFolder(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, [](const auto& f) { return ReadMounted(f, "dir\\"); });
}
void BM_LargeFiles_MountedArchive(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, [](const auto& f) { return ReadMounted(f, "vfs\\"); });
}
void BM_LargeFiles_PhysfsZip(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, ReadPhysfs);
}

void BM_MountArchive(benchmark::State& state) {
  const DataSet& d = Data();
  gavio::IFileSys* archives = Manager()->GetFileSystem("vfs");
  int mount = 0;
  for (auto _ : state) {
    // A new mount path each time: the same one would return the old mount.
    std::string path = "m" + std::to_string(mount++);
    if (archives->Mount(d.archive.c_str(), path.c_str()) == -1) state.SkipWithError("mount failed");
  }
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
}

void BM_Pack_Archive(benchmark::State& state) {
  const DataSet& d = Data();
  std::string archive = (d.base / "packed.vfs").string();
  for (auto _ : state) {
    if (!PackTree(d.tree.string(), archive)) state.SkipWithError("pack failed");
  }
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
  state.SetBytesProcessed(state.iterations() * (d.smallBytes + d.largeBytes));
  state.counters["output_MB"] = static_cast<double>(fs::file_size(archive)) / 1e6;
}

void BM_Pack_ZipCommand(benchmark::State& state) {
  const DataSet& d = Data();
  std::string zip = (d.base / "packed.zip").string();
  std::string command = "cd '" + d.tree.string() + "' && zip -q -r '" + zip + "' .";
  for (auto _ : state) {
    fs::remove(zip);
    if (system(command.c_str()) != 0) state.SkipWithError("zip failed");
  }
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
  state.SetBytesProcessed(state.iterations() * (d.smallBytes + d.largeBytes));
  state.counters["output_MB"] = static_cast<double>(fs::file_size(zip)) / 1e6;
}

BENCHMARK(BM_SmallFiles_PlainFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_MountedFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_MountedArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_PhysfsZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_PlainFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_MountedFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_MountedArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_PhysfsZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MountArchive)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Pack_Archive)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Pack_ZipCommand)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PHYSFS_deinit();
  std::error_code error;
  fs::remove_all(Data().base, error);
  return 0;
}
