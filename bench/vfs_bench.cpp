// Reading many small files and a few large ones from a mounted archive
// (compressed, and stored as they are), against the same files in a plain
// folder (plain POSIX reads, and through the folder file system) and in a
// zip archive mounted with PhysFS; packing the tree into an archive with
// `gavio vfs pack` against `zip -r`, both at level 6 in a child process
// (wall time); mounting an archive (time and heap bytes per entry); and
// the peak resident memory of fresh processes that read every small file
// once through each contender (median of several).
//
// The data set is made once per run in a temporary folder: 10 000 files of
// 1-16 KiB in 100 folders (half text-like, half noise) and four 8 MiB files.
// Every file is read whole; the page cache is warm for every contender.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <physfs.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
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
  std::string stored;  // the same tree, files kept as they are
  std::string zip;
  std::vector<std::string> small;  // relative, '/' form
  std::vector<std::string> large;
  int64_t smallBytes = 0;
  int64_t largeBytes = 0;
};

std::string SmallName(int i) {
  return "folder" + std::to_string(i % kFolders) + "/file" + std::to_string(i) + ".dat";
}

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

// Packs a folder into a new archive through the manager on one thread:
// every file read whole and written through the zlib filter, or stored as
// it is (file filter kind 2).
bool PackTree(const std::string& folder, const std::string& archive, bool stored = false) {
  gavio::IFileSysMgr* mgr = Manager();
  int32_t from = mgr->OpenRoot(folder.c_str(), gavio::kRootReadOnly);
  int32_t to = mgr->OpenRoot(archive.c_str(), gavio::kRootCreate);
  bool ok = from != -1 && to != -1;
  if (ok && stored) ok = mgr->GetFileSystem("vfs")->SetRootInfo(to, 0, 2, 1, 1) == 1;
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
      std::string relative = SmallName(i);
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
    d->stored = (d->base / "stored.vfs").string();
    d->zip = (d->base / "data.zip").string();
    if (!PackTree(d->tree.string(), d->archive) || !PackTree(d->tree.string(), d->stored, true)) abort();
    std::string zip = "cd '" + d->tree.string() + "' && zip -q -r -6 '" + d->zip + "' .";
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
    if (mgr->Mount(d.stored.c_str(), "raw") == -1) abort();
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
void BM_SmallFiles_StoredArchive(benchmark::State& state) {
  RunReads(state, Data().small, Data().smallBytes, [](const auto& f) { return ReadMounted(f, "raw\\"); });
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
void BM_LargeFiles_StoredArchive(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, [](const auto& f) { return ReadMounted(f, "raw\\"); });
}
void BM_LargeFiles_PhysfsZip(benchmark::State& state) {
  RunReads(state, Data().large, Data().largeBytes, ReadPhysfs);
}

void BM_MountArchive(benchmark::State& state) {
  const DataSet& d = Data();
  gavio::IFileSys* archives = Manager()->GetFileSystem("vfs");
  int mount = 0;
  size_t heapBefore = mallinfo2().uordblks;
  for (auto _ : state) {
    // A new mount path each time: the same one would return the old mount.
    std::string path = "m" + std::to_string(mount++);
    if (archives->Mount(d.archive.c_str(), path.c_str()) == -1) state.SkipWithError("mount failed");
  }
  double heap = static_cast<double>(mallinfo2().uordblks - heapBefore);
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
  // Entries are the files and the 101 folders; the mapper's path of each
  // file is counted in.
  state.counters["heap_bytes_per_entry"] =
      heap / static_cast<double>(state.iterations()) / (kSmallFiles + kLargeFiles + kFolders + 1);
}

// Runs a shell command; its wall time is what the pack benchmarks measure.
void RunPack(benchmark::State& state, const std::string& command, const std::string& output) {
  const DataSet& d = Data();
  for (auto _ : state) {
    fs::remove(output);
    if (system(command.c_str()) != 0) state.SkipWithError("pack failed");
  }
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
  state.SetBytesProcessed(state.iterations() * (d.smallBytes + d.largeBytes));
  state.counters["output_MB"] = static_cast<double>(fs::file_size(output)) / 1e6;
}

// The gavio tool beside this program.
std::string GavioTool() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "gavio").string();
}

void BM_Pack_Archive_OneThreadInProcess(benchmark::State& state) {
  const DataSet& d = Data();
  std::string archive = (d.base / "packed-in-process.vfs").string();
  for (auto _ : state) {
    fs::remove(archive);
    if (!PackTree(d.tree.string(), archive)) state.SkipWithError("pack failed");
  }
  state.SetItemsProcessed(state.iterations() * (kSmallFiles + kLargeFiles));
  state.SetBytesProcessed(state.iterations() * (d.smallBytes + d.largeBytes));
  state.counters["output_MB"] = static_cast<double>(fs::file_size(archive)) / 1e6;
}

void BM_Pack_GavioCommand(benchmark::State& state) {
  const DataSet& d = Data();
  std::string archive = (d.base / "packed.vfs").string();
  RunPack(state, "'" + GavioTool() + "' vfs pack -q --level 6 '" + d.tree.string() + "' '" + archive + "' >/dev/null",
          archive);
}

void BM_Pack_ZipCommand(benchmark::State& state) {
  const DataSet& d = Data();
  std::string zip = (d.base / "packed.zip").string();
  RunPack(state, "cd '" + d.tree.string() + "' && zip -q -r -6 '" + zip + "' .", zip);
}

// --- peak resident memory: a fresh process reads every small file once.

constexpr char kProbeFlag[] = "--rss-probe";

// A field of /proc/self/status in KiB: "VmHWM:" the peak resident set of
// this process (its own, since exec), "VmRSS:" the current one.
long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return strtol(line.c_str() + strlen(field), nullptr, 10);
  }
  return -1;
}

// In the probe process: mounts what kind names below base and reads the
// small files once. Prints the resident set before the mount (the process
// and its libraries, initialised), right after it, and the peak; returns
// the exit status.
int RunProbe(const std::string& kind, const fs::path& base) {
  std::vector<std::string> files;
  for (int i = 0; i < kSmallFiles; ++i) files.push_back(SmallName(i));
  int64_t bytes = 0;
  long beforeKb = -1;
  long mountedKb = -1;
  if (kind == "physfs") {
    if (PHYSFS_init("vfs_bench") == 0) return 1;
    beforeKb = StatusKb("VmRSS:");
    if (PHYSFS_mount((base / "data.zip").c_str(), "zip", 1) == 0) return 1;
    mountedKb = StatusKb("VmRSS:");
    bytes = ReadPhysfs(files);
    PHYSFS_deinit();
  } else {
    std::string archive = (base / (kind == "stored" ? "stored.vfs" : "data.vfs")).string();
    gavio::IFileSysMgr* mgr = Manager();
    beforeKb = StatusKb("VmRSS:");
    if (mgr->Mount(archive.c_str(), "vfs") == -1) return 1;
    mountedKb = StatusKb("VmRSS:");
    bytes = ReadMounted(files, "vfs\\");
  }
  printf("%ld %ld %ld\n", beforeKb, mountedKb, StatusKb("VmHWM:"));
  return bytes > 0 ? 0 : 1;
}

// Where code lands in memory moves with each process (address-space
// randomisation), and code pages come in by 64 KiB windows, so one
// process's resident set varies by a few tenths of a MB: each contender
// runs in several fresh processes and the medians are reported.
constexpr int kProbeRuns = 7;

void ProbePeakRss(benchmark::State& state, const char* kind) {
  const DataSet& d = Data();
  std::string command = "'" + fs::read_symlink("/proc/self/exe").string() + "' " + kProbeFlag + " " + kind +
                        " '" + d.base.string() + "'";
  std::vector<long> before;
  std::vector<long> mount;
  std::vector<long> peak;
  for (auto _ : state) {
    for (int run = 0; run < kProbeRuns; ++run) {
      long beforeKb = -1;
      long mountedKb = -1;
      long peakKb = -1;
      FILE* probe = popen(command.c_str(), "r");
      if (probe == nullptr || fscanf(probe, "%ld %ld %ld", &beforeKb, &mountedKb, &peakKb) != 3) peakKb = -1;
      if (probe != nullptr && pclose(probe) != 0) peakKb = -1;
      if (peakKb < 0) {
        state.SkipWithError("probe failed");
        return;
      }
      before.push_back(beforeKb);
      mount.push_back(mountedKb - beforeKb);
      peak.push_back(peakKb);
    }
  }
  auto median_mb = [](std::vector<long> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return static_cast<double>(values[values.size() / 2]) / 1024.0;
  };
  state.counters["before_mount_MB"] = median_mb(before);
  state.counters["mount_MB"] = median_mb(mount);
  state.counters["peak_rss_MB"] = median_mb(peak);
  state.counters["peak_min_MB"] = static_cast<double>(*std::min_element(peak.begin(), peak.end())) / 1024.0;
  state.counters["peak_max_MB"] = static_cast<double>(*std::max_element(peak.begin(), peak.end())) / 1024.0;
}

void BM_PeakRss_SmallFiles_MountedArchive(benchmark::State& state) { ProbePeakRss(state, "archive"); }
void BM_PeakRss_SmallFiles_StoredArchive(benchmark::State& state) { ProbePeakRss(state, "stored"); }
void BM_PeakRss_SmallFiles_PhysfsZip(benchmark::State& state) { ProbePeakRss(state, "physfs"); }

BENCHMARK(BM_SmallFiles_PlainFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_MountedFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_MountedArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_StoredArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFiles_PhysfsZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_PlainFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_MountedFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_MountedArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_StoredArchive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFiles_PhysfsZip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MountArchive)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Pack_Archive_OneThreadInProcess)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Pack_GavioCommand)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Pack_ZipCommand)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_PeakRss_SmallFiles_MountedArchive)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PeakRss_SmallFiles_StoredArchive)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PeakRss_SmallFiles_PhysfsZip)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], kProbeFlag) == 0) return RunProbe(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PHYSFS_deinit();
  std::error_code error;
  fs::remove_all(Data().base, error);
  return 0;
}
