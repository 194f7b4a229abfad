// libFuzzer target: arbitrary bytes opened as an archive. Every file is
// read through an opened root and through a mount; then a copy is edited
// (a write, a rewrite, a delete), closed, and must reopen and read again.
// Built with clang by fuzz/run.sh (the GAVIO_FUZZ build), linked with the
// file system, the frame and the platform library as libgavio.so has them.
#include <dirent.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "gavio/vfs.h"
#include "platform/errors.h"
#include "vfs/buffer.h"
#include "vfs/vfile_sys.h"

namespace {

using gavio::IBuffer;
using gavio::IFileSys;

std::string ScratchPath(const char* name) {
  const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(folder) + "/gavio-fuzz-" + std::to_string(getpid()) + "-" + name;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

IBuffer* Bytes(const std::string& text) {
  IBuffer* buffer = gavio::CreateBuffer(static_cast<int32_t>(text.size()), nullptr);
  if (buffer != nullptr && !text.empty()) memcpy(buffer->Data(), text.data(), text.size());
  return buffer;
}

// Every path of the root, files and directories (ending in '\').
std::vector<std::string> List(IFileSys* fs, int32_t root) {
  std::vector<std::string> paths;
  int32_t find = fs->FindFirst(root, "", gavio::kFindRecursive | gavio::kFindDirectories);
  for (bool more = find != -1; more; more = fs->FindNext(find) != 0) paths.push_back(fs->GetFindPath(find));
  if (find != -1) fs->FindClose(find);
  return paths;
}

void ReadAll(IFileSys* fs, int32_t root, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    fs->GetPathType(root, path.c_str());
    if (IBuffer* content = fs->ReadFileFromRoot(root, path.c_str())) content->Release();
  }
}

void ReadMounted(IFileSys* fs, const std::string& archive, const std::vector<std::string>& paths) {
  if (fs->Mount(archive.c_str(), "m") == -1) return;
  for (const std::string& path : paths) {
    int32_t file = fs->OpenFile(("m\\" + path).c_str(), 0);
    if (file == -1) continue;
    if (IBuffer* content = fs->GetFileBuffer(file)) (void)content->Size();
    fs->CloseFile(file);
  }
  fs->UnmountAll();
}

void Edit(IFileSys* fs, const std::string& archive, const std::vector<std::string>& paths) {
  int32_t root = fs->OpenRoot(archive.c_str(), gavio::kRootReadWrite);
  if (root == -1) return;
  IBuffer* small = Bytes("fuzz");
  IBuffer* large = Bytes(std::string(3000, 'L'));
  fs->WriteFileToRoot(root, "fuzz\\new.bin", large);
  for (const std::string& path : paths) {
    if (!path.empty() && path.back() == '\\') {
      fs->DeleteDir(root, path.c_str());
      break;
    }
  }
  if (!paths.empty() && !paths.front().empty() && paths.front().back() != '\\') {
    fs->WriteFileToRoot(root, paths.front().c_str(), small);
    fs->CopyFile(root, paths.front().c_str(), root, "fuzz\\copy.bin");
  }
  if (paths.size() > 1) fs->DeleteFile(root, paths.back().c_str());
  small->Release();
  large->Release();
  fs->CloseRoot(root);
  // What this system wrote it must be able to read.
  root = fs->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  if (root == -1) abort();
  ReadAll(fs, root, List(fs, root));
  fs->CloseRoot(root);
}

// Seeds for an empty corpus folder: small archives made by the library.
void WriteSeeds(const std::string& folder) {
  IFileSys* fs = gavio::CreateVFileSys(nullptr, nullptr);
  const char* layouts[][4] = {
      {"a.txt", nullptr, nullptr, nullptr},
      {"dir\\b.txt", "dir\\sub\\c.bin", "top", nullptr},
      {"x\\y\\z\\deep.dat", "x\\w.dat", "q", "x\\y\\v"},
  };
  int index = 0;
  for (const auto& layout : layouts) {
    std::string path = folder + "/seed" + std::to_string(index) + ".vfs";
    int32_t root = fs->OpenRoot(path.c_str(), gavio::kRootCreate);
    if (index == 2) fs->SetRootInfo(root, 0, 2, 1, 1);
    for (const char* file : layout) {
      if (file == nullptr) break;
      IBuffer* content = Bytes(std::string(200 + 300 * index, file[0]));
      fs->WriteFileToRoot(root, file, content);
      content->Release();
    }
    if (index == 1) fs->DeleteFile(root, "top");
    fs->CloseRoot(root);
    ++index;
  }
  fs->Destroy();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] == '-') continue;
    DIR* dir = opendir(arg);
    if (dir == nullptr) continue;
    bool empty = true;
    while (struct dirent* item = readdir(dir)) {
      if (item->d_name[0] != '.') empty = false;
    }
    closedir(dir);
    if (empty) WriteSeeds(arg);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string archive = ScratchPath("input.vfs");
  static const std::string edited = ScratchPath("edited.vfs");
  WriteBytes(archive, data, size);
  IFileSys* fs = gavio::CreateVFileSys(nullptr, nullptr);
  std::vector<std::string> paths;
  int32_t root = fs->OpenRoot(archive.c_str(), gavio::kRootReadOnly);
  if (root != -1) {
    paths = List(fs, root);
    ReadAll(fs, root, paths);
    fs->GetAttributes(paths.empty() ? "x" : paths.front().c_str());
    fs->CloseRoot(root);
  }
  ReadMounted(fs, archive, paths);
  if (root != -1) {
    WriteBytes(edited, data, size);
    Edit(fs, edited, paths);
  }
  fs->Destroy();
  return 0;
}
