#include "vfs/vfs_path.h"

#include <string.h>

namespace gavio {

bool CleanVfsPath(const char* path, std::string* out) {
  if (path == nullptr) return false;
  // Bounded even for a huge input: more kept characters than this fail
  // anyway. The string is sized once (every open cleans its path), to the
  // input's length up to one past the bound, which is never less than the
  // characters kept before the bound is passed.
  constexpr size_t kMaxKept = kMaxVfsPath + 4096;
  std::string clean(strnlen(path, kMaxKept + 1), '\0');
  size_t kept = 0;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\t' || *p == '\n' || *p == '\r') continue;
    if (kept == kMaxKept) return false;
    clean[kept++] = (*p == '/') ? '\\' : *p;
  }
  while (kept > 0 && clean[kept - 1] == ' ') --kept;
  if (kept > kMaxVfsPath) return false;
  clean.resize(kept);
  *out = std::move(clean);
  return true;
}

bool CleanVfsDirPath(const char* path, std::string* out) {
  std::string clean;
  if (!CleanVfsPath(path, &clean)) return false;
  if (!clean.empty() && clean.back() != '\\') {
    if (clean.size() == kMaxVfsPath) return false;
    clean += '\\';
  }
  *out = std::move(clean);
  return true;
}

bool PrepareVfsPath(const char* path, bool directoryForm, bool caseSensitive, std::string* out) {
  bool ok = directoryForm ? CleanVfsDirPath(path, out) : CleanVfsPath(path, out);
  if (ok && !caseSensitive) LowerAscii(out);
  return ok;
}

bool PrepareFindStart(const char* startDir, bool caseSensitive, std::string* out) {
  if (!PrepareVfsPath(startDir == nullptr ? "" : startDir, true, caseSensitive, out)) return false;
  if (!out->empty() && out->front() == '\\') out->erase(0, 1);
  return true;
}

void LowerAscii(std::string* text) {
  for (char& c : *text) c = LowerAsciiChar(c);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  }
  return true;
}

std::string_view FileExtension(std::string_view path) {
  size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos) return std::string_view();
  std::string_view after = path.substr(dot + 1);
  if (after.find_first_of("\\/") != std::string_view::npos) return std::string_view();
  return after;
}

std::string_view LastComponent(std::string_view path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace gavio
