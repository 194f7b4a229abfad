// INI files in the profile format: "[section]" lines, "key=value" lines,
// ';' and '#' comments. Reading parses the file on every call (INI files
// here are small and read at start-up); writing rewrites the whole file
// through a temporary and a rename.
//
// Only regular files of a bounded size are read, opened without blocking,
// so a name that points at a FIFO or a device cannot hang or flood the
// caller. Writers hold an exclusive lock on the file's folder for the whole
// read-modify-write, so two processes writing one file both keep their
// values; a file that exists but cannot be read is never rewritten.
#include "platform/ini.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/host_path_text.h"

namespace {

using gavio::platform::HostPathOf;

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

constexpr off_t kMaxIniBytes = 4 << 20;

enum class ReadResult { kRead, kMissing, kFailed };

// Reads the file's lines; kFailed (last error set) for anything but a
// readable regular file of at most kMaxIniBytes.
ReadResult ReadLines(const std::string& path, std::vector<std::string>* lines) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxIniBytes) {
    close(fd);
    SetLastError(ERROR_INVALID_DATA);
    return ReadResult::kFailed;
  }
  std::string text;
  char chunk[16384];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || text.size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxIniBytes)) {
      bool failed = got != 0;
      if (failed) SetLastError(got < 0 ? Win32ErrorFromErrno(errno) : ERROR_INVALID_DATA);
      close(fd);
      if (failed) return ReadResult::kFailed;
      break;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    begin = end + 1;
  }
  return ReadResult::kRead;
}

// "[name]" -> name; anything else -> false.
bool SectionName(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyValue(const std::string& line, std::string* key, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  if (value->size() >= 2 && ((value->front() == '"' && value->back() == '"') ||
                             (value->front() == '\'' && value->back() == '\''))) {
    *value = value->substr(1, value->size() - 2);
  }
  return true;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Copies text (which may hold NULs, for name lists) cut to size-1
// characters; returns the number copied.
DWORD CopyOut(const std::string& text, char* buffer, DWORD size) {
  if (buffer == nullptr || size == 0) return 0;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Names as a list: each NUL-terminated, the list ending with an extra NUL.
DWORD CopyNameList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  if (buffer == nullptr || size < 2) return 0;
  std::string joined;
  for (const std::string& n : names) {
    joined += n;
    joined.push_back('\0');
  }
  if (joined.size() + 1 > size) {
    memcpy(buffer, joined.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
  }
  memcpy(buffer, joined.data(), joined.size());
  buffer[joined.size()] = '\0';
  return static_cast<DWORD>(joined.size());
}

// An exclusive advisory lock on the folder of path, held for its life.
class FolderLock {
 public:
  explicit FolderLock(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      SetLastErrorFromErrno();
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Writes text to a new file beside path (created exclusively, never through
// a link) and renames it over path. An existing file keeps its mode.
bool ReplaceFile(const std::string& path, const std::string& text, const struct stat* existing) {
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = path + ".gavio-part-" + std::to_string(getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  bool ok = WriteAll(fd, text);
  if (ok && existing != nullptr) ok = fchmod(fd, existing->st_mode & 07777) == 0;
  if (ok) ok = fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    errno = err;
    SetLastErrorFromErrno();
  }
  return ok;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                               char* buffer, DWORD size, const char* fileName) {
  std::string fallback = Trim(defaultValue != nullptr ? defaultValue : "");
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CopyOut(fallback, buffer, size);
  }
  std::vector<std::string> lines;
  if (ReadLines(HostPathOf(fileName), &lines) != ReadResult::kRead) {
    if (section == nullptr || key == nullptr) return CopyNameList({}, buffer, size);
    return CopyOut(fallback, buffer, size);
  }
  std::vector<std::string> names;
  std::string current;
  bool in_section = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionName(line, &name)) {
      current = name;
      in_section = section != nullptr && SameName(name, section);
      if (section == nullptr) names.push_back(name);
      continue;
    }
    if (!in_section || !KeyValue(line, &k, &v)) continue;
    if (key == nullptr) {
      names.push_back(k);
    } else if (SameName(k, key)) {
      SetLastError(ERROR_SUCCESS);
      return CopyOut(v, buffer, size);
    }
  }
  if (section == nullptr || key == nullptr) return CopyNameList(names, buffer, size);
  SetLastError(ERROR_NOT_FOUND);
  return CopyOut(fallback, buffer, size);
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int32_t defaultValue,
                           const char* fileName) {
  char text[64];
  DWORD n = GetPrivateProfileStringA(section, key, "", text, sizeof text, fileName);
  if (n == 0) return static_cast<UINT>(defaultValue);
  return static_cast<UINT>(strtol(text, nullptr, 0));
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  if (section == nullptr || fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = HostPathOf(fileName);
  FolderLock lock(path);
  if (!lock.held()) return FALSE;
  std::vector<std::string> lines;
  struct stat existing;
  bool exists = stat(path.c_str(), &existing) == 0;
  if (ReadLines(path, &lines) == ReadResult::kFailed) return FALSE;  // keep what is there
  std::vector<std::string> out;
  bool in_section = false, section_seen = false, written = false;
  size_t insert_at = std::string::npos;  // after the last line of the section
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionName(line, &name)) {
      in_section = SameName(name, section);
      if (in_section) {
        section_seen = true;
        if (key == nullptr) continue;  // removing the whole section
      }
      out.push_back(line);
      if (in_section) insert_at = out.size();
      continue;
    }
    if (in_section) {
      if (key == nullptr) continue;
      if (KeyValue(line, &k, &v) && SameName(k, key)) {
        if (value != nullptr && !written) out.push_back(std::string(key) + "=" + value);
        written = true;
        insert_at = out.size();
        continue;
      }
      out.push_back(line);
      if (!Trim(line).empty()) insert_at = out.size();
      continue;
    }
    out.push_back(line);
  }
  if (key != nullptr && value != nullptr && !written) {
    std::string entry = std::string(key) + "=" + value;
    if (section_seen) {
      out.insert(out.begin() + static_cast<long>(insert_at), entry);
    } else {
      if (!out.empty() && !Trim(out.back()).empty()) out.push_back("");
      out.push_back(std::string("[") + section + "]");
      out.push_back(entry);
    }
  }
  std::string text;
  for (const std::string& line : out) text += line + "\n";
  return ReplaceFile(path, text, exists ? &existing : nullptr) ? TRUE : FALSE;
}
