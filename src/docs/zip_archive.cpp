// Where zip items may go, and how they get there.
//
// An archive is hostile input: its names decide where files land. A name
// is mapped as the interface says and then checked part by part; absolute
// names, drive prefixes and ".." parts are refused. Folders below the
// target are entered with openat(O_NOFOLLOW), so a link planted inside the
// target (or in an earlier item) cannot lead a later item out of it. Each
// file is written to a fresh temporary name in its folder and renamed over
// the final name only when minizip confirmed the checksum; every failure
// path removes the temporary file.
#include "docs/zip_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>

#include <stdio.h>
#include <string.h>

#include <climits>
#include <vector>

#include "platform/errors.h"
#include "platform/host_path_text.h"
#include "frame/log_sink.h"

namespace gavio::zip {
namespace {

constexpr size_t kCopyBlock = 64 * 1024;
constexpr DWORD kErrorCancelled = 1223;  // ERROR_CANCELLED
constexpr uint16_t kEncryptedFlag = 0x1;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

bool FailErrno() {
  SetLastErrorFromErrno();
  return false;
}

// The name of the archive's current item, as stored.
bool CurrentStoredName(unzFile archive, std::string* name, unz_file_info64* info) {
  if (unzGetCurrentFileInfo64(archive, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
    return false;
  }
  std::vector<char> buffer(info->size_filename + 1, '\0');
  if (unzGetCurrentFileInfo64(archive, info, buffer.data(), buffer.size(), nullptr, 0, nullptr,
                              0) != UNZ_OK) {
    return false;
  }
  name->assign(buffer.data(), strnlen(buffer.data(), info->size_filename));
  return true;
}

// Splits a relative path into its parts; false when a part would leave the
// folder it is relative to (a leading separator, a drive prefix, "..").
bool SplitSafely(const std::string& relative, std::vector<std::string>* parts) {
  if (relative.empty() || IsSeparator(relative[0])) return false;
  if (relative.size() >= 2 && relative[1] == ':') return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    std::string part = relative.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    start = end + 1;
  }
  return true;
}

std::string LastPart(const std::string& path) {
  size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? path : path.substr(at + 1);
}

// Creates every folder of an absolute or relative host path. The caller
// names this folder, so links in it are followed.
bool MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return FailErrno();
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return FailErrno();
  return S_ISDIR(info.st_mode) ? true : Fail(ERROR_DIRECTORY);
}

// Opens (creating) the folder part inside parent without following a link.
int EnterFolder(int parent, const std::string& part) {
  if (mkdirat(parent, part.c_str(), 0777) != 0 && errno != EEXIST) {
    FailErrno();
    return -1;
  }
  int folder = openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) FailErrno();
  return folder;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t wrote = write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return true;
}

std::string TemporaryName() {
  static std::atomic<unsigned> counter{0};
  char name[64];
  snprintf(name, sizeof name, ".gavio-part-%d-%u", static_cast<int>(getpid()),
           counter.fetch_add(1));
  return name;
}

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// Copies the current item's data to fd; checks the checksum at the end.
bool CopyCurrentItem(unzFile archive, int fd, const std::atomic<bool>* cancel) {
  if (unzOpenCurrentFile(archive) != UNZ_OK) return Fail(ERROR_INVALID_DATA);
  std::vector<char> block(kCopyBlock);
  bool ok = true;
  for (;;) {
    if (Cancelled(cancel)) {
      ok = Fail(kErrorCancelled);
      break;
    }
    int got = unzReadCurrentFile(archive, block.data(), static_cast<unsigned>(block.size()));
    if (got == 0) break;
    if (got < 0) {
      ok = Fail(ERROR_INVALID_DATA);
      break;
    }
    if (!WriteAll(fd, block.data(), static_cast<size_t>(got))) {
      ok = FailErrno();
      break;
    }
  }
  int closed = unzCloseCurrentFile(archive);
  if (ok && closed != UNZ_OK) ok = Fail(ERROR_INVALID_DATA);  // checksum mismatch
  return ok;
}

// Writes the current item as leaf inside folder: beside it, then renamed.
bool WriteCurrentItem(unzFile archive, int folder, const std::string& leaf,
                      const std::atomic<bool>* cancel) {
  std::string temporary = TemporaryName();
  int fd = openat(folder, temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno();
  bool ok = CopyCurrentItem(archive, fd, cancel);
  if (close(fd) != 0 && ok) ok = FailErrno();
  if (ok && renameat(folder, temporary.c_str(), folder, leaf.c_str()) != 0) ok = FailErrno();
  if (!ok) {
    DWORD error = GetLastError();
    unlinkat(folder, temporary.c_str(), 0);
    SetLastError(error);
  }
  return ok;
}

class ItemUnpacker {
 public:
  ItemUnpacker(unzFile archive, const char* folder, int root, bool flatten,
               const std::atomic<bool>* cancel, LogSink* log)
      : archive_(archive), folder_(folder), root_(root), flatten_(flatten), cancel_(cancel),
        log_(log) {}

  // Unpacks the archive's current item. False (last error set) when it was
  // refused or could not be written.
  bool UnpackCurrent() {
    unz_file_info64 info;
    std::string stored;
    if (!CurrentStoredName(archive_, &stored, &info)) return Fail(ERROR_INVALID_DATA);
    if (stored.empty()) return Refuse(stored, ERROR_INVALID_NAME);
    std::string mapped = MapItemName(stored, flatten_);
    if (mapped.empty()) return true;  // a folder entry that flattening removed
    size_t prefix = 0;
    std::string target = TargetPath(folder_, mapped, &prefix);
    if (target.size() <= prefix) return Refuse(stored, ERROR_FILENAME_EXCED_RANGE);
    std::string relative = target.substr(prefix);
    std::vector<std::string> parts;
    if (!SplitSafely(relative, &parts)) return Refuse(stored, ERROR_INVALID_NAME);
    bool folderEntry = IsSeparator(relative.back());
    if (!folderEntry && (info.flag & kEncryptedFlag) != 0) {
      return Refuse(stored, ERROR_NOT_SUPPORTED);
    }
    if (!folderEntry && (parts.empty() || LastPart(relative) == ".")) {
      return Refuse(stored, ERROR_INVALID_NAME);
    }
    return Place(stored, parts, folderEntry);
  }

 private:
  bool Refuse(const std::string& stored, DWORD error) {
    if (log_ != nullptr) log_->Error("zip item refused: \"%s\"", stored.c_str());
    return Fail(error);
  }

  bool Place(const std::string& stored, const std::vector<std::string>& parts, bool folderEntry) {
    size_t folders = folderEntry ? parts.size() : parts.size() - 1;
    int folder = root_;
    bool ok = true;
    for (size_t i = 0; i < folders && ok; ++i) {
      int inner = EnterFolder(folder, parts[i]);
      if (folder != root_) close(folder);
      folder = inner;
      ok = inner >= 0;
    }
    if (ok && !folderEntry) ok = WriteCurrentItem(archive_, folder, parts.back(), cancel_);
    DWORD error = GetLastError();
    if (folder >= 0 && folder != root_) close(folder);
    if (!ok && log_ != nullptr) {
      log_->Error("zip item \"%s\" not unpacked, error %u", stored.c_str(), error);
    }
    SetLastError(error);
    return ok;
  }

  unzFile archive_;
  const char* folder_;
  int root_;
  bool flatten_;
  const std::atomic<bool>* cancel_;
  LogSink* log_;
};

}  // namespace

std::string MapItemName(const std::string& stored, bool flatten) {
  std::string name = stored;
  if (flatten) {
    size_t cut = name.rfind('\\');
    if (cut == std::string::npos) cut = name.rfind('/');
    if (cut != std::string::npos) name.erase(0, cut + 1);
  }
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

std::string TargetPath(const std::string& folder, const std::string& mappedName,
                       size_t* prefixLength) {
  // A trailing '/' is a separator on this host just as '\' is.
  bool endsInSeparator = !folder.empty() && IsSeparator(folder.back());
  std::string target = endsInSeparator ? folder : folder + "\\";
  *prefixLength = target.size();
  target += mappedName;
  if (target.size() > kMaxPath - 1) target.resize(kMaxPath - 1);
  return target;
}

Cursor::~Cursor() { Close(); }

void Cursor::Close() {
  if (archive_ != nullptr) unzClose(static_cast<unzFile>(archive_));
  archive_ = nullptr;
  path_.clear();
  count_ = 0;
  index_ = -1;
}

bool Cursor::Open(const char* zipPath) {
  if (zipPath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::string host = platform::HostPathOf(zipPath);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    Close();
    return FailErrno();
  }
  uint64_t identity[4] = {info.st_dev, info.st_ino, static_cast<uint64_t>(info.st_size),
                          static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                              static_cast<uint64_t>(info.st_mtim.tv_nsec)};
  if (archive_ != nullptr && path_ == zipPath && memcmp(identity, identity_, sizeof identity) == 0) {
    return true;
  }
  Close();
  unzFile archive = unzOpen64(host.c_str());
  if (archive == nullptr) return Fail(ERROR_INVALID_DATA);
  unz_global_info64 global;
  if (unzGetGlobalInfo64(archive, &global) != UNZ_OK) {
    unzClose(archive);
    return Fail(ERROR_INVALID_DATA);
  }
  archive_ = archive;
  path_ = zipPath;
  memcpy(identity_, identity, sizeof identity);
  count_ = global.number_entry > INT32_MAX ? INT32_MAX : static_cast<int32_t>(global.number_entry);
  index_ = -1;
  return true;
}

int32_t Cursor::ItemCount(const char* zipPath) { return Open(zipPath) ? count_ : 0; }

bool Cursor::StoredName(const char* zipPath, int32_t index, std::string* name) {
  if (!Open(zipPath) || index < 0 || index >= count_) return false;
  unzFile archive = static_cast<unzFile>(archive_);
  if (index_ < 0 || index < index_) {
    if (unzGoToFirstFile(archive) != UNZ_OK) {
      Close();
      return Fail(ERROR_INVALID_DATA);
    }
    index_ = 0;
  }
  while (index_ < index) {
    if (unzGoToNextFile(archive) != UNZ_OK) {
      Close();
      return Fail(ERROR_INVALID_DATA);
    }
    ++index_;
  }
  unz_file_info64 info;
  if (!CurrentStoredName(archive, name, &info)) {
    Close();
    return Fail(ERROR_INVALID_DATA);
  }
  return true;
}

int32_t ExtractAll(const char* zipPath, const char* folder, bool flatten,
                   const std::atomic<bool>* cancel, LogSink* log) {
  if (zipPath == nullptr || folder == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  unzFile archive = unzOpen64(platform::HostPathOf(zipPath).c_str());
  if (archive == nullptr) {
    if (log != nullptr) log->Error("cannot open zip archive \"%s\"", zipPath);
    return Fail(ERROR_INVALID_DATA);
  }
  unz_global_info64 global;
  bool ok = unzGetGlobalInfo64(archive, &global) == UNZ_OK ? true : Fail(ERROR_INVALID_DATA);
  if (ok && global.number_entry == 0) ok = Fail(ERROR_NO_MORE_FILES);
  std::string hostFolder = platform::HostPathOf(folder);
  int root = -1;
  if (ok && MakeFolders(hostFolder)) {
    root = open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) ok = FailErrno();
  } else {
    ok = false;
  }
  if (ok && unzGoToFirstFile(archive) != UNZ_OK) ok = Fail(ERROR_INVALID_DATA);
  DWORD firstError = ok ? 0 : GetLastError();
  if (ok) {
    ItemUnpacker unpacker(archive, folder, root, flatten, cancel, log);
    for (uint64_t i = 0; i < global.number_entry; ++i) {
      if (Cancelled(cancel)) {
        if (firstError == 0) firstError = kErrorCancelled;
        break;
      }
      if (!unpacker.UnpackCurrent() && firstError == 0) firstError = GetLastError();
      if (i + 1 == global.number_entry) break;
      if (unzGoToNextFile(archive) != UNZ_OK) {  // the directory ends early
        if (firstError == 0) firstError = ERROR_INVALID_DATA;
        break;
      }
    }
  }
  if (root >= 0) close(root);
  unzClose(archive);
  if (firstError != 0) return Fail(firstError);
  return 1;
}

}  // namespace gavio::zip
