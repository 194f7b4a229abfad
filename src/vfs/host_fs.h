// Host file-system helpers for the file systems, over the platform's host
// files: absolute paths, path types, folder listing and attributes. Host
// paths here are in '/' form.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace gavio {

enum class HostPathType { kMissing, kFile, kDirectory, kOther };

struct HostDirEntry {
  std::string name;
  bool isDirectory = false;  // symbolic links are followed
  bool isFile = false;
  bool isUnreadable = false; // could not be examined (dangling link, no permission)
  bool isLink = false;       // a symbolic link (the fields above describe its target)
  uint64_t device = 0;       // identity of a directory, to stop link cycles
  uint64_t inode = 0;
};

// Trims blanks, tabs, CR and LF at both ends, turns '\' into '/' and puts
// the working folder in front of a relative path. "" stays "".
std::string MakeAbsoluteHostPath(const char* path);
// stat() follows symbolic links.
HostPathType GetHostPathType(const std::string& path);
// Creates every missing folder of path. True when path is a folder after.
bool CreateHostDirectories(const std::string& path);
// Every entry of a folder other than "." and "..", sorted by name; entries
// that could not be examined are listed too, marked unreadable. False when
// the folder cannot be read.
bool ListHostDirectory(const std::string& path, std::vector<HostDirEntry>* entries);
// The device and inode of a folder (for cycle checks). False when missing.
bool GetHostDirectoryId(const std::string& path, uint64_t* device, uint64_t* inode);
// The canonical absolute form (links resolved); "" when it cannot be had.
std::string CanonicalHostPath(const std::string& path);
// Removes a file, a link or a whole folder tree.
bool RemoveHostTree(const std::string& path);
// Win32-style attributes: 0x10 folder, 0x20 file, plus 0x01 when the owner
// cannot write it; -1 when missing.
int32_t GetHostAttributes(const std::string& path);
// The folder part of a '/' path ("" when there is none).
std::string HostParentFolder(const std::string& path);
// Writes a whole file beside its target and renames it over it; the
// target's folders are created. A replaced file keeps its mode, made
// writable for the owner (attributes 0x20, as a replacing copy sets them).
bool WriteHostFileReplacing(const std::string& path, const uint8_t* data, size_t n);

}  // namespace gavio
