// gavio zip: lists and unpacks zip archives through the zip reader (67);
// an extraction that would take a while on a terminal runs on the
// background extractor (355) while this thread pumps messages and draws
// progress.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "gavio/docs.h"
#include "gavio/ids.h"
#include "platform/errors.h"
#include "platform/messages.h"

namespace gavio_tool {
namespace {

constexpr uint32_t kProgressEveryMs = 250;
// Archives at least this large (items or bytes) show progress on a terminal.
constexpr int32_t kLargeItemCount = 200;
constexpr off_t kLargeArchiveBytes = 16 * 1024 * 1024;
constexpr size_t kNameSize = 260;

void PrintZipUsage(FILE* out) {
  fprintf(out,
          "usage: gavio zip ls ZIP [--flatten]\n"
          "       gavio zip extract ZIP DIR [--flatten] [-q]\n"
          "  --flatten   drop the folders of the item names\n"
          "  -q, --quiet no progress line\n");
}

const char* ReasonOf(DWORD error) {
  switch (error) {
    case ERROR_INVALID_DATA: return "not a zip archive, or damaged";
    case ERROR_NO_MORE_FILES: return "the archive holds no items";
    case ERROR_INVALID_NAME: return "an item name leaves the target folder and was refused";
    case ERROR_NOT_SUPPORTED: return "an encrypted item";
    case ERROR_FILENAME_EXCED_RANGE: return "a target path longer than 259 characters";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_DISK_FULL: return "no space left on the device";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such file or folder";
    case ERROR_DIRECTORY: return "the target is not a folder";
    default: return "failed";
  }
}

std::vector<std::string> ItemNames(gavio::IZipReader* reader, const char* archive, int32_t count,
                                   bool flatten) {
  std::vector<std::string> names;
  char name[kNameSize];
  for (int32_t i = 0; i < count; ++i) {
    if (reader->GetItemName(archive, i, name, sizeof name, flatten ? 1 : 0) == 0) break;
    names.push_back(name);
  }
  return names;
}

// Opens the archive once to give the system's reason when it is missing.
bool Readable(const char* archive) {
  FILE* file = fopen(archive, "rb");
  if (file == nullptr) {
    fprintf(stderr, "gavio zip: %s: %s\n", archive, strerror(errno));
    return false;
  }
  fclose(file);
  return true;
}

int List(const char* archive, bool flatten) {
  Owned<gavio::IZipReader> reader(gavio::kZipReaderId);
  if (reader.get() == nullptr || !Readable(archive)) return 1;
  SetLastError(0);
  int32_t count = reader->GetItemCount(archive);
  if (count == 0 && GetLastError() != 0) {
    fprintf(stderr, "gavio zip: %s: %s\n", archive, ReasonOf(GetLastError()));
    return 1;
  }
  std::vector<std::string> names = ItemNames(reader.get(), archive, count, flatten);
  for (const std::string& name : names) {
    if (!name.empty()) printf("%s\n", name.c_str());  // a folder entry flattened away
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "gavio zip: writing the list: %s\n", strerror(errno));
    return 1;
  }
  if (static_cast<int32_t>(names.size()) != count) {
    fprintf(stderr, "gavio zip: %s: %s\n", archive, ReasonOf(GetLastError()));
    return 1;
  }
  return 0;
}

struct Completion : gavio::IExtractListener {
  int calls = 0;
  bool succeeded = false;
  void OnExtractSucceeded() override {
    ++calls;
    succeeded = true;
  }
  void OnExtractFailed() override { ++calls; }
};

// Progress of a background run: the unpacker renames each finished file
// into place in archive order, so the first item whose file is not there
// yet (newer than the start) marks how far it got.
class Progress {
 public:
  Progress(std::vector<std::string> targets, const Completion* completion)
      : targets_(std::move(targets)), completion_(completion), start_(time(nullptr)),
        began_(GetTickCount()), last_(GetTickCount()) {}

  static bool Poll(void* self) { return static_cast<Progress*>(self)->Poll(); }

  void Clear() {
    if (shown_) fprintf(stderr, "\r\033[K");
  }

 private:
  bool Poll() {
    if (completion_->calls > 0) return true;
    if (GetTickCount() - last_ < kProgressEveryMs) return false;
    last_ = GetTickCount();
    struct stat info;
    while (done_ < targets_.size() && stat(targets_[done_].c_str(), &info) == 0 &&
           info.st_mtime >= start_) {
      ++done_;
    }
    double seconds = (GetTickCount() - began_) / 1000.0;
    fprintf(stderr, "\rextracting %zu/%zu items, %.0f items/s", done_, targets_.size(),
            seconds > 0 ? done_ / seconds : 0.0);
    shown_ = true;
    return false;
  }

  std::vector<std::string> targets_;
  const Completion* completion_;
  time_t start_;
  DWORD began_;
  DWORD last_;
  size_t done_ = 0;
  bool shown_ = false;
};

std::vector<std::string> TargetsOf(const std::vector<std::string>& names, const std::string& folder) {
  std::vector<std::string> targets;
  for (std::string name : names) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    targets.push_back(folder + "/" + name);
  }
  return targets;
}

bool ExtractInBackground(const char* archive, const char* folder, bool flatten,
                         const std::vector<std::string>& names) {
  Owned<gavio::IArchiveExtractor> extractor(gavio::kArchiveExtractorId);
  if (extractor.get() == nullptr) return false;
  Completion completion;
  gavio::EventSourceOf(extractor.get())->AddListener(&completion, 0);
  if (extractor->Start(archive, folder, flatten ? 1 : 0) == 0) return false;
  Progress progress(TargetsOf(names, folder), &completion);
  PumpUntil(Progress::Poll, &progress, 0xFFFFFFFFu);
  progress.Clear();
  return completion.succeeded;
}

int Extract(const char* archive, const char* folder, bool flatten, bool quiet) {
  Owned<gavio::IZipReader> reader(gavio::kZipReaderId);
  if (reader.get() == nullptr || !Readable(archive)) return 1;
  int32_t count = reader->GetItemCount(archive);
  struct stat info;
  bool large = count >= kLargeItemCount ||
               (stat(archive, &info) == 0 && info.st_size >= kLargeArchiveBytes);
  bool ok;
  DWORD error = 0;
  if (large && !quiet && isatty(2)) {
    ok = ExtractInBackground(archive, folder, flatten,
                             ItemNames(reader.get(), archive, count, flatten));
  } else {
    SetLastError(0);
    ok = reader->ExtractAll(archive, folder, flatten ? 1 : 0) != 0;
    error = GetLastError();
  }
  if (!ok) {
    if (error != 0) {
      fprintf(stderr, "gavio zip: extracting %s into %s: %s\n", archive, folder, ReasonOf(error));
    } else {
      fprintf(stderr, "gavio zip: extracting %s into %s failed\n", archive, folder);
    }
    return 1;
  }
  printf("extracted %d items into %s\n", count, folder);
  return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

}  // namespace

int RunZip(int argc, char** argv) {
  static const option kOptions[] = {{"flatten", no_argument, nullptr, 'f'},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  bool flatten = false;
  bool quiet = false;
  optind = 0;  // 0 resets getopt_long fully between commands
  for (int c; (c = getopt_long(argc, argv, "qh", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'f': flatten = true; break;
      case 'q': quiet = true; break;
      case 'h': PrintZipUsage(stdout); return 0;
      default: PrintZipUsage(stderr); return 2;
    }
  }
  std::vector<const char*> args(argv + optind, argv + argc);
  if (args.size() == 2 && strcmp(args[0], "ls") == 0) return List(args[1], flatten);
  if (args.size() == 3 && strcmp(args[0], "extract") == 0) {
    return Extract(args[1], args[2], flatten, quiet);
  }
  PrintZipUsage(stderr);
  return 2;
}

// Zips a small tree with the zip tool and unpacks it on the background
// extractor while this thread pumps messages.
bool DemoZip() {
  namespace fs = std::filesystem;
  printf("== zip: a background extraction of an archive made by the zip tool\n");
  char pattern[] = "/tmp/gavio-zip-demo-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  fs::path base(pattern);
  std::error_code error;
  fs::create_directories(base / "src/maps/level1", error);
  std::ofstream(base / "src/readme.txt") << "unpacked on a worker thread\n";
  std::ofstream(base / "src/maps/level1/terrain.dat") << std::string(100000, 't');
  std::string command = "cd '" + (base / "src").string() + "' && zip -q -r ../demo.zip .";
  bool ok = system(command.c_str()) == 0;
  if (!ok) printf("   the zip tool did not run (is it installed?)\n");
  Owned<gavio::IArchiveExtractor> extractor(gavio::kArchiveExtractorId);
  Completion completion;
  if (ok && extractor.get() != nullptr) {
    gavio::EventSourceOf(extractor.get())->AddListener(&completion, 0);
    std::string archive = (base / "demo.zip").string();
    std::string target = (base / "out").string();
    DWORD start = GetTickCount();
    ok = extractor->Start(archive.c_str(), target.c_str(), 0) == 1 &&
         PumpUntil([](void* c) { return static_cast<Completion*>(c)->calls > 0; }, &completion,
                   10000);
    std::ifstream check(base / "out/maps/level1/terrain.dat", std::ios::binary);
    std::string terrain((std::istreambuf_iterator<char>(check)), std::istreambuf_iterator<char>());
    ok = ok && completion.succeeded && terrain == std::string(100000, 't');
    printf("   %d items, %s after %u ms; files %s\n", extractor->GetItemCount(archive.c_str()),
           completion.succeeded ? "listener told of success" : "NO success reported",
           GetTickCount() - start, terrain.size() == 100000 ? "match" : "DIFFER");
  }
  fs::remove_all(base, error);
  return ok;
}

}  // namespace gavio_tool
