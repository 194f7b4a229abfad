// Lookups around the serialisation walkers: a record description by name,
// the dotted path of the field at a host offset, and the error texts
// (GBK-encoded, as callers in the ANSI code page print them).
#include <stdio.h>
#include <string.h>

#include "verify/lmx.h"

namespace gavio::lmx {
namespace {

constexpr size_t kPathCapacity = 1056;
char gPath[kPathCapacity];  // one buffer: the path of the latest failure

const char kNoError[] = "\xc3\xbb\xd3\xd0\xb4\xed\xce\xf3";
const char kUnknownError[] = "\xce\xb4\xd6\xaa\xb4\xed\xce\xf3";

struct ErrorText {
  uint32_t index;  // code - 0x82010400
  const char* text;
};

// The texts of the codes this library produces; the rest of the table
// belongs to metadata loading and database mapping, which it lacks.
constexpr ErrorText kErrorTexts[] = {
    {0x01, "\xd6\xb8\xb6\xa8\xbc\xf4\xb2\xc3\xb0\xe6\xb1\xbe\xce\xde\xd0\xa7\xa3\xac\xc6\xe4\xc8"
           "\xa1\xd6\xb5\xb2\xbb\xc4\xdc\xb1\xc8\xd4\xaa\xca\xfd\xbe\xdd\xbb\xf9\xd7\xbc\xb0\xe6"
           "\xb1\xbe\xd0\xa1"},
    {0x02, "\xcd\xf8\xc2\xe7\xb1\xe0\xc2\xeb\xd0\xc5\xcf\xa2\xbb\xba\xb3\xe5\xc7\xf8\xca\xa3\xd3"
           "\xe0\xbf\xd5\xbc\xe4\xb2\xbb\xb9\xbb"},
    {0x03, "\xb4\xcb\xd4\xaa\xcb\xd8\xb5\xc4" "refer" "\xca\xf4\xd0\xd4\xd6\xb5\xb2\xbb\xd5\xfd"
           "\xc8\xb7\xa3\xac\xc6\xe4\xd6\xb5\xb2\xbb\xc4\xdc\xce\xaa\xb8\xba\xca\xfd\xc7\xd2\xb1"
           "\xd8\xd0\xeb\xb1\xc8" "count" "\xca\xf4\xd0\xd4\xd6\xb5\xd0\xa1"},
    {0x04, "\xd4\xaa\xca\xfd\xbe\xdd\xc3\xe8\xca\xf6\xb8\xb4\xba\xcf\xca\xfd\xbe\xdd\xc0\xe0\xd0"
           "\xcd\xc7\xb6\xcc\xd7\xb2\xe3\xb4\xce\xb3\xac\xb9\xfd" "32" "\xb2\xe3"},
    {0x06, "string" "\xc0\xe0\xd0\xcd\xb5\xc4\xd4\xaa\xcb\xd8\xc6\xe4\xd7\xd6\xb7\xfb\xb4\xae\xb3"
           "\xa4\xb6\xc8\xb3\xac\xb9\xfd\xc1\xcb\xd4\xa4\xb6\xa8\xd7\xee\xb4\xf3\xb3\xa4\xb6\xc8"},
    {0x07, "\xb1\xbe\xb5\xd8\xb4\xe6\xb4\xa2\xbb\xba\xb3\xe5\xc7\xf8\xca\xa3\xd3\xe0\xbf\xd5\xbc"
           "\xe4\xb2\xbb\xb9\xbb"},
    {0x3c, "\xd4\xaa\xcb\xd8\xb5\xc4\xc6\xab\xd2\xc6\xd6\xb5\xb2\xbb\xb6\xd4"},
    {0x3d, "\xbd\xab\xd0\xc5\xcf\xa2\xd0\xb4\xb5\xbd\xbb\xba\xb3\xe5\xc7\xf8\xca\xb1\xbf\xd5\xbc"
           "\xe4\xb2\xbb\xb9\xbb"},
    {0x64, "\xb2\xce\xca\xfd\xce\xde\xd0\xa7\xa3\xac\xc7\xeb\xbc\xec\xb2\xe9\xc3\xbf\xb8\xf6\xb2"
           "\xce\xca\xfd\xca\xc7\xb7\xf1\xc2\xfa\xd7\xe3\xbd\xd3\xbf\xda\xb5\xc4\xc7\xb0\xd6\xc3"
           "\xcc\xf5\xbc\xfe\xd4\xbc\xca\xf8"},
};
constexpr uint32_t kErrorTableSize = 106;

const LMXEntry* EntryAt(const tagLMXMeta* meta, uint64_t offset) {
  for (uint32_t i = 0; i < meta->entryCount; ++i) {
    const LMXEntry& e = meta->entries[i];
    const uint64_t size = static_cast<uint64_t>(e.hostUnit) * e.count;
    if (offset >= e.hostOffset && offset - e.hostOffset < size) return &e;
  }
  return nullptr;
}

bool AppendName(size_t* used, const char* name, bool first) {
  int written = snprintf(gPath + *used, kPathCapacity - *used, first ? "%s" : ".%s", name);
  if (written < 0 || static_cast<size_t>(written) >= kPathCapacity - *used) return false;
  *used += static_cast<size_t>(written);
  return true;
}

}  // namespace
}  // namespace gavio::lmx

using namespace gavio::lmx;

const tagLMXMeta* lmx_get_meta_by_name(const LMXLibrary* library, const char* name) {
  if (library == nullptr || name == nullptr || library->metaCount == 0) return nullptr;
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(library->metaCount) - 1;
  while (low <= high) {
    const int64_t middle = (low + high) / 2;
    const LMXNameIndex& slot = library->index[middle];
    const int order = strcmp(name, slot.name);
    if (order == 0) return &library->metas[slot.position];
    if (order < 0) high = middle - 1;
    else low = middle + 1;
  }
  return nullptr;
}

const char* lmx_entry_off_to_path(const tagLMXMeta* meta, int64_t hostOffset) {
  if (meta == nullptr || hostOffset < 0) return "Unknow";
  uint64_t offset = static_cast<uint64_t>(hostOffset);
  size_t used = 0;
  gPath[0] = '\0';
  for (const tagLMXMeta* m = meta; m != nullptr;) {
    const LMXEntry* e = EntryAt(m, offset);
    if (e == nullptr || !AppendName(&used, e->name, used == 0)) return "UnKnow";
    if (e->type != kTypeStruct || e->sub == nullptr || e->hostUnit == 0) break;
    offset = (offset - e->hostOffset) % e->hostUnit;
    m = e->sub;
  }
  return gPath;
}

const char* lmx_error_string(int32_t code) {
  if (code >= 0) return kNoError;
  const uint32_t index = (static_cast<uint32_t>(code) & 0xFFFF) - 0x400;
  if (index >= kErrorTableSize) return kUnknownError;
  for (const ErrorText& t : kErrorTexts)
    if (t.index == index) return t.text;
  return kUnknownError;
}
