// CRegistry (991): the host's key/value store, kept in the user's
// application-data folder as "gavio/registry.ini": one INI section per key,
// one INI key per value.
//
// Values are written in quotes so that the INI reader, which trims blanks
// and strips one pair of matching quotes, hands back exactly what was
// stored. Names that the INI format could not hold back unchanged (brackets
// in key names, '=' in value names, line breaks, blanks at either end) are
// refused, as is text with control characters, so a stored value always
// reads back as it was given.
//
// Thread safety: an instance (its open key words) belongs to one thread;
// the store file is shared by every instance of the process under one lock.
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <map>
#include <new>
#include <vector>

#include "host_component.h"
#include "hostlib.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/paths.h"
#include "platform/sync.h"

namespace gavio::hostlib {
namespace {

constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxTextLength = 16383;
constexpr uint32_t kTypeText = 1;
// The default that tells a missing value from an empty one: SetValue
// refuses control characters, so no stored value reads back as this.
constexpr char kMissingValue[] = "\x01";
// The section list is read into a buffer that grows to this limit.
constexpr size_t kSectionListStart = 4096;
constexpr size_t kSectionListLimit = 1 << 20;

CRITICAL_SECTION* StoreLock() {
  static CRITICAL_SECTION* lock = [] {
    auto* cs = new CRITICAL_SECTION;
    InitializeCriticalSection(cs);
    return cs;
  }();
  return lock;
}

class StoreGuard {
 public:
  StoreGuard() { EnterCriticalSection(StoreLock()); }
  ~StoreGuard() { LeaveCriticalSection(StoreLock()); }
  StoreGuard(const StoreGuard&) = delete;
  StoreGuard& operator=(const StoreGuard&) = delete;
};

bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7F;
}

bool HasEdgeBlank(const char* text, size_t length) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return blank(text[0]) || blank(text[length - 1]);
}

bool IsValidName(const char* name, const char* refused) {
  if (name == nullptr) return false;
  size_t length = strlen(name);
  if (length == 0 || length > kMaxNameLength || HasEdgeBlank(name, length)) return false;
  for (size_t i = 0; i < length; ++i) {
    if (IsControl(name[i]) || strchr(refused, name[i]) != nullptr) return false;
  }
  return true;
}

bool IsValidKeyName(const char* name) { return IsValidName(name, "[]"); }

// A leading ';' or '#' would read back as a comment and '[' as a section.
bool IsValidValueName(const char* name) {
  return IsValidName(name, "=") && name[0] != ';' && name[0] != '#' && name[0] != '[';
}

bool IsValidText(const char* text) {
  if (text == nullptr || strlen(text) > kMaxTextLength) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (IsControl(*c)) return false;
  }
  return true;
}

bool MakeFolders(const std::string& folder) { return GavioCreateFolders(folder.c_str(), 0) != FALSE; }

// Whether the store has a section (key) of that name, empty or not.
bool SectionExists(const std::string& file, const char* name) {
  std::vector<char> names(kSectionListStart);
  for (;;) {
    DWORD length = GetPrivateProfileStringA(nullptr, nullptr, "", names.data(),
                                            static_cast<DWORD>(names.size()), file.c_str());
    // A list that filled the buffer may have been cut: read it again, larger.
    if (length + 2 < names.size() || names.size() >= kSectionListLimit) break;
    names.resize(names.size() * 2);
  }
  for (const char* entry = names.data(); *entry != '\0'; entry += strlen(entry) + 1) {
    if (strcasecmp(entry, name) == 0) return true;
  }
  return false;
}

std::string StorePath() {
  char folder[MAX_PATH * 4];
  if (!GavioGetAppDataFolder(folder, sizeof folder)) return std::string();
  return PathIn(folder, "gavio/registry.ini");
}

class CRegistry final : public HostComponent<kRegistryId, IRegistry> {
 public:
  // The folder is looked up per instance, so a changed XDG_DATA_HOME applies
  // to the next instance.
  CRegistry() : storePath_(StorePath()) {}

  int32_t SetValue(const char* keyName, const char* valueName, const char* text) override {
    if (!IsValidKeyName(keyName) || !IsValidValueName(valueName) || !IsValidText(text)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (storePath_.empty()) return Fail(ERROR_PATH_NOT_FOUND);
    StoreGuard guard;
    if (!MakeFolders(FolderOf(storePath_))) return 0;
    std::string quoted = std::string("\"") + text + "\"";
    return WritePrivateProfileStringA(keyName, valueName, quoted.c_str(), storePath_.c_str()) ? 1
                                                                                              : 0;
  }

  int32_t DeleteValue(const char* keyName, const char* valueName) override {
    if (!IsValidKeyName(keyName) || !IsValidValueName(valueName)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    StoreGuard guard;
    std::string value;
    if (!ReadValue(keyName, valueName, &value)) return 0;
    return WritePrivateProfileStringA(keyName, valueName, nullptr, storePath_.c_str()) ? 1 : 0;
  }

  int32_t CloseKey(uint32_t key) override {
    if (keys_.erase(key) == 0) return Fail(ERROR_INVALID_HANDLE);
    return 1;
  }

  int32_t OpenKey(uint32_t root, const char* keyName, uint32_t options, uint32_t access,
                  uint32_t* key) override {
    if (key == nullptr || !IsValidKeyName(keyName)) return Fail(ERROR_INVALID_PARAMETER);
    {
      StoreGuard guard;
      if (storePath_.empty() || !SectionExists(storePath_, keyName)) {
        return Fail(ERROR_FILE_NOT_FOUND);
      }
    }
    uint32_t word = NextKeyWord();
    keys_[word] = keyName;
    *key = word;
    return 1;
  }

  int32_t Reserved9() override { return Fail(ERROR_NOT_SUPPORTED); }
  int32_t Reserved10() override { return Fail(ERROR_NOT_SUPPORTED); }

  // On a buffer that is missing or too small, *size is set to the size
  // needed and the buffer is left untouched.
  int32_t QueryValue(uint32_t key, const char* valueName, uint32_t* type, char* buffer,
                     uint32_t* size) override {
    if (size == nullptr || !IsValidValueName(valueName)) return Fail(ERROR_INVALID_PARAMETER);
    auto open = keys_.find(key);
    if (open == keys_.end()) return Fail(ERROR_INVALID_HANDLE);
    std::string value;
    {
      StoreGuard guard;
      if (!ReadValue(open->second.c_str(), valueName, &value)) return 0;
    }
    if (type != nullptr) *type = kTypeText;
    uint32_t needed = static_cast<uint32_t>(value.size() + 1);
    if (buffer == nullptr || needed > *size) {
      *size = needed;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return 1;
  }

 private:
  static int32_t Fail(DWORD error) {
    SetLastError(error);
    return 0;
  }
  static bool Refuse(DWORD error) {
    SetLastError(error);
    return false;
  }

  // REQUIRES: the store lock is held.
  bool ReadValue(const char* keyName, const char* valueName, std::string* value) {
    if (storePath_.empty()) return Refuse(ERROR_PATH_NOT_FOUND);
    std::vector<char> text(kMaxTextLength + 2);
    DWORD length = GetPrivateProfileStringA(keyName, valueName, kMissingValue, text.data(),
                                            static_cast<DWORD>(text.size()), storePath_.c_str());
    if (strcmp(text.data(), kMissingValue) == 0) return Refuse(ERROR_FILE_NOT_FOUND);
    // Longer than SetValue allows: edited by hand; never hand out a cut value.
    if (length >= text.size() - 1) return Refuse(ERROR_INVALID_DATA);
    value->assign(text.data(), length);
    return true;
  }

  uint32_t NextKeyWord() {
    do {
      ++lastKey_;
    } while (lastKey_ == 0 || keys_.count(lastKey_) != 0);
    return lastKey_;
  }

  std::string storePath_;
  std::map<uint32_t, std::string> keys_;
  uint32_t lastKey_ = 0;
};

}  // namespace

IComponent* NewRegistry() { return new (std::nothrow) CRegistry; }

}  // namespace gavio::hostlib
