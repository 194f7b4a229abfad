// Host file-system helpers for the file systems: absolute paths, path types,
// folder creation, listing and removal. Host paths here are in '/' form.
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
// The entries of a folder other than "." and "..", sorted by name. False when
// the folder cannot be read.
bool ListHostDirectory(const std::string& path, std::vector<HostDirEntry>* entries);
// The device and inode of a folder (for cycle checks). False when missing.
bool GetHostDirectoryId(const std::string& path, uint64_t* device, uint64_t* inode);
// Removes every file below path, then every folder, then path itself.
bool RemoveHostTree(const std::string& path);
// Win32-style attributes: 0x10 folder, 0x20 file, plus 0x01 when the owner
// cannot write it; -1 when missing.
int32_t GetHostAttributes(const std::string& path);
// Gives the owner write permission (attributes 0x20 on Windows).
void MakeHostFileWritable(const std::string& path);
// The folder part of a '/' path ("" when there is none).
std::string HostParentFolder(const std::string& path);

}  // namespace gavio
