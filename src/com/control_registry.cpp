// Class ids as text, registered module paths and module file versions.
#include "com/control_registry.h"

#include <ctype.h>
#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/types.h"

namespace gavio::com {
namespace {

constexpr char kSystemRootPrefix[] = "\\SystemRoot\\";
constexpr char kNtPathPrefix[] = "\\??\\";
// Version notes are a few bytes; a note segment larger than this is not
// one a module of ours carries, and is not read.
constexpr uint64_t kMaxNoteSegment = 64 * 1024;
constexpr uint16_t kMaxProgramHeaders = 512;
constexpr char kVersionNoteName[] = "Gavio";
constexpr uint32_t kVersionNoteType = 1;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads count hex digits at text into *value.
bool ParseHex(const char* text, int count, uint64_t* value) {
  uint64_t v = 0;
  for (int i = 0; i < count; ++i) {
    int digit = HexValue(text[i]);
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint64_t>(digit);
  }
  *value = v;
  return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// "%NAME%" becomes the variable's value; an unset variable, like a lone
// '%', stays as written, as the platform's expansion does.
std::string ExpandVariables(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0';) {
    const char* end = *p == '%' ? strchr(p + 1, '%') : nullptr;
    if (end == nullptr || end == p + 1) {
      out += *p++;
      continue;
    }
    std::string name(p + 1, end);
    const char* value = getenv(name.c_str());
    if (value != nullptr) {
      out += value;
    } else {
      out.append(p, end + 1);
    }
    p = end + 1;
  }
  return out;
}

bool ReadExactly(int fd, void* buffer, size_t size, uint64_t offset) {
  ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
  return got >= 0 && static_cast<size_t>(got) == size;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Looks through one note segment for the version note.
bool FindVersionNote(const std::vector<uint8_t>& notes, uint64_t alignment, uint32_t* versionMs,
                     uint32_t* versionLs) {
  uint64_t at = 0;
  while (notes.size() - at >= sizeof(Elf64_Nhdr)) {
    Elf64_Nhdr header;
    memcpy(&header, notes.data() + at, sizeof header);
    uint64_t nameAt = at + sizeof header;
    uint64_t descAt = nameAt + AlignUp(header.n_namesz, alignment);
    uint64_t next = descAt + AlignUp(header.n_descsz, alignment);
    if (descAt > notes.size() || next > notes.size()) return false;
    if (header.n_type == kVersionNoteType && header.n_namesz == sizeof kVersionNoteName &&
        header.n_descsz == 8 &&
        memcmp(notes.data() + nameAt, kVersionNoteName, sizeof kVersionNoteName) == 0) {
      memcpy(versionMs, notes.data() + descAt, 4);
      memcpy(versionLs, notes.data() + descAt + 4, 4);
      return true;
    }
    at = next;
  }
  return false;
}

bool IsOwnElfKind(const Elf64_Ehdr& header) {
  return memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
         header.e_ident[EI_DATA] == ELFDATA2LSB && header.e_phentsize == sizeof(Elf64_Phdr) &&
         header.e_phnum <= kMaxProgramHeaders;
}

bool ReadVersionFrom(int fd, uint64_t fileSize, uint32_t* versionMs, uint32_t* versionLs) {
  Elf64_Ehdr header;
  if (fileSize < sizeof header || !ReadExactly(fd, &header, sizeof header, 0)) return false;
  if (!IsOwnElfKind(header)) return false;
  uint64_t tableSize = uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
  if (header.e_phoff > fileSize || tableSize > fileSize - header.e_phoff) return false;
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  if (!ReadExactly(fd, segments.data(), tableSize, header.e_phoff)) return false;
  for (const Elf64_Phdr& segment : segments) {
    if (segment.p_type != PT_NOTE || segment.p_filesz > kMaxNoteSegment) continue;
    if (segment.p_offset > fileSize || segment.p_filesz > fileSize - segment.p_offset) continue;
    std::vector<uint8_t> notes(segment.p_filesz);
    if (!ReadExactly(fd, notes.data(), notes.size(), segment.p_offset)) continue;
    uint64_t alignment = segment.p_align == 8 ? 8 : 4;
    if (FindVersionNote(notes, alignment, versionMs, versionLs)) return true;
  }
  return false;
}

}  // namespace

void ClassIdToText(const Guid& classId, char* text) {
  snprintf(text, kClassIdTextLength + 1, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
           classId.data1, classId.data2, classId.data3, classId.data4[0], classId.data4[1],
           classId.data4[2], classId.data4[3], classId.data4[4], classId.data4[5],
           classId.data4[6], classId.data4[7]);
}

bool ClassIdFromText(const char* text, Guid* classId) {
  if (text == nullptr || classId == nullptr) return false;
  size_t length = strlen(text);
  if (length == kClassIdTextLength + 2) {
    if (text[0] != '{' || text[length - 1] != '}') return false;
    ++text;
    length -= 2;
  }
  if (length != kClassIdTextLength) return false;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  uint64_t d1, d2, d3, d4a, d4b;
  if (!ParseHex(text, 8, &d1) || !ParseHex(text + 9, 4, &d2) || !ParseHex(text + 14, 4, &d3) ||
      !ParseHex(text + 19, 4, &d4a) || !ParseHex(text + 24, 12, &d4b)) {
    return false;
  }
  Guid parsed;
  parsed.data1 = static_cast<uint32_t>(d1);
  parsed.data2 = static_cast<uint16_t>(d2);
  parsed.data3 = static_cast<uint16_t>(d3);
  parsed.data4[0] = static_cast<uint8_t>(d4a >> 8);
  parsed.data4[1] = static_cast<uint8_t>(d4a);
  for (int i = 0; i < 6; ++i) parsed.data4[2 + i] = static_cast<uint8_t>(d4b >> (40 - 8 * i));
  *classId = parsed;
  return true;
}

void InprocServerKey(const char* classIdText, char* key, size_t size) {
  snprintf(key, size, "CLSID\\{%s}\\InprocServer32", classIdText);
}

bool NormaliseModulePath(const char* registered, char* path, size_t size) {
  std::string expanded = ExpandVariables(registered);
  if (StartsWith(expanded, kSystemRootPrefix)) {
    const char* root = getenv("SystemRoot");
    if (root == nullptr || *root == '\0') return false;
    expanded = std::string(root) + "/" + expanded.substr(strlen(kSystemRootPrefix));
  } else if (StartsWith(expanded, kNtPathPrefix)) {
    expanded.erase(0, strlen(kNtPathPrefix));
  }
  for (char& c : expanded) {
    if (c == '\\') c = '/';
  }
  if (expanded.empty() || expanded.size() >= size || expanded.size() >= MAX_PATH) return false;
  memcpy(path, expanded.c_str(), expanded.size() + 1);
  return true;
}

bool FindControlModule(IRegistry* registry, const char* classIdText, char* path, size_t size) {
  if (registry == nullptr) return false;
  char keyName[96];
  InprocServerKey(classIdText, keyName, sizeof keyName);
  uint32_t key = 0;
  if (registry->OpenKey(kClassesRoot, keyName, 0, 0, &key) == 0) return false;
  // The registered text may still grow when variables are expanded, so it
  // is read into a buffer of its own.
  char registered[MAX_PATH * 4];
  uint32_t length = sizeof registered;
  uint32_t type = 0;
  int32_t found = registry->QueryValue(key, kDefaultValueName, &type, registered, &length);
  registry->CloseKey(key);
  return found != 0 && NormaliseModulePath(registered, path, size);
}

bool ReadModuleFileVersion(const char* path, uint32_t* versionMs, uint32_t* versionLs) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  bool found = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
               ReadVersionFrom(fd, static_cast<uint64_t>(info.st_size), versionMs, versionLs);
  close(fd);
  return found;
}

}  // namespace gavio::com
