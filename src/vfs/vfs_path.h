// Paths of the virtual file system's own namespace: components separated by
// '\', at most 259 characters.
#pragma once

#include <string>
#include <string_view>

namespace gavio {

inline constexpr size_t kMaxVfsPath = 259;

// Drops tabs, line feeds and carriage returns and trailing spaces, turns
// '/' into '\'. False (out untouched) for null or a result over 259
// characters.
bool CleanVfsPath(const char* path, std::string* out);
// The same, then a '\' is appended to a non-empty path that lacks one.
bool CleanVfsDirPath(const char* path, std::string* out);
// CleanVfsPath, or CleanVfsDirPath for directoryForm; then lower-cased
// (LowerAscii) unless caseSensitive. The form every file system looks a
// path up in.
bool PrepareVfsPath(const char* path, bool directoryForm, bool caseSensitive, std::string* out);
// The start folder of a find: prepared in directory form, without a
// leading '' ("" for the root; a null startDir is the root).
bool PrepareFindStart(const char* startDir, bool caseSensitive, std::string* out);
// A-Z to a-z; other bytes (UTF-8 sequences included) stay.
inline char LowerAsciiChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
void LowerAscii(std::string* text);
// Compares with ASCII letters folded; other bytes must match exactly, which
// keeps multibyte UTF-8 sequences intact.
bool EqualsNoCase(std::string_view a, std::string_view b);
// The text after the last '.', unless a '\' or '/' follows that dot; "" when
// there is none.
std::string_view FileExtension(std::string_view path);
// The text after the last '\' ("" for a path ending in '\').
std::string_view LastComponent(std::string_view path);

}  // namespace gavio
