#include "vfs_test_util.h"

#include <string.h>
#include <zlib.h>

#include <fstream>
#include <sstream>

#include "vfs/buffer.h"

namespace vfs_test {
namespace {

constexpr const char* kAlphabets[2] = {"WZBRFYLPVUHDKXEJ", "MVRXBZUYLWFKPJDH"};

void AppendU32(std::string* out, uint32_t value) {
  char bytes[4];
  memcpy(bytes, &value, 4);
  out->append(bytes, 4);
}

}  // namespace

Reports::Reports() {
  reporter_.SetWriter(
      [](void* context, const char* line) {
        static_cast<std::vector<std::string>*>(context)->push_back(line);
      },
      &lines_);
}

bool Reports::Has(std::string_view text) const {
  for (const std::string& line : lines_) {
    // "<source>(<line>) : error <text>\n"
    size_t at = line.find(" : error ");
    if (at != std::string::npos && line.substr(at + 9) == std::string(text) + "\n") return true;
  }
  return false;
}

std::string Reports::All() const {
  std::string all;
  for (const std::string& line : lines_) all += line;
  return all;
}

gavio::IBuffer* MakeBuffer(std::string_view bytes) {
  gavio::IBuffer* buffer = gavio::CreateBuffer(static_cast<int32_t>(bytes.size()), nullptr);
  if (!bytes.empty()) memcpy(buffer->Data(), bytes.data(), bytes.size());
  return buffer;
}

std::string BufferText(gavio::IBuffer* buffer) {
  return std::string(reinterpret_cast<const char*>(buffer->Data()), static_cast<size_t>(buffer->Size()));
}

std::string TakeText(gavio::IBuffer* buffer) {
  if (buffer == nullptr) return "<null>";
  std::string text = BufferText(buffer);
  buffer->Release();
  return text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint32_t U32At(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= bytes.size()) memcpy(&value, bytes.data() + offset, 4);
  return value;
}

void PutU32(std::string* bytes, size_t offset, uint32_t value) {
  if (bytes->size() < offset + 4) bytes->resize(offset + 4, '\0');
  memcpy(bytes->data() + offset, &value, 4);
}

std::string Code(std::string_view plain, int selector) {
  std::string coded;
  for (unsigned char c : plain) {
    coded += kAlphabets[selector][c >> 4];
    coded += kAlphabets[selector][c & 15];
  }
  return coded;
}

bool Decode(std::string_view coded, int selector, std::string* plain) {
  if (coded.size() % 2 != 0) return false;
  plain->clear();
  std::string_view alphabet = kAlphabets[selector];
  for (size_t i = 0; i < coded.size(); i += 2) {
    size_t high = alphabet.find(coded[i]);
    size_t low = alphabet.find(coded[i + 1]);
    if (high == std::string_view::npos || low == std::string_view::npos) return false;
    *plain += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string PlainRecord(const RawRecord& r) {
  std::string plain;
  AppendU32(&plain, gavio::kBlockTag);
  AppendU32(&plain, static_cast<uint32_t>(r.name.size()));
  plain += r.name;
  for (uint32_t v : {r.unfiltered, r.stored, r.kind, r.firstExtent, r.parent, r.next, r.prev, r.child}) {
    AppendU32(&plain, v);
  }
  plain += r.reserved;
  AppendU32(&plain, gavio::kTailTag);
  return plain;
}

std::vector<uint32_t> RecordOffsets(uint32_t dataEnd, const std::vector<RawRecord>& records) {
  std::vector<uint32_t> offsets;
  uint32_t offset = dataEnd + 4;
  for (const RawRecord& r : records) {
    offsets.push_back(offset);
    offset += 60 + static_cast<uint32_t>(r.name.size());
  }
  return offsets;
}

std::string CodedFdt(const std::vector<RawRecord>& records, int selector) {
  std::string fdt;
  AppendU32(&fdt, static_cast<uint32_t>(records.size()));
  for (const RawRecord& r : records) {
    std::string plain = PlainRecord(r);
    std::string coded = Code(plain, selector);
    AppendU32(&fdt, static_cast<uint32_t>(coded.size()));
    AppendU32(&fdt, static_cast<uint32_t>(plain.size()));
    fdt += coded;
  }
  return fdt;
}

std::string Head(uint32_t dataEnd, uint8_t filterKind, uint32_t freeList, int32_t freeUnits) {
  std::string head(gavio::kVfsHeadSize, '\0');
  memcpy(head.data(), "vfs ", 4);
  PutU32(&head, 8, gavio::kDefaultBlockSize);
  PutU32(&head, 16, static_cast<uint32_t>(freeUnits));
  PutU32(&head, 20, freeList);
  PutU32(&head, 24, dataEnd);
  head[66] = static_cast<char>(filterKind);
  head[67] = 1;
  head[68] = 1;
  return head;
}

std::string FileBlock(uint32_t units, uint32_t next, uint32_t used) {
  std::string block;
  for (uint32_t v : {gavio::kBlockTag, units, next, used}) AppendU32(&block, v);
  return block;
}

std::string FreeBlock(uint32_t units, uint32_t next) {
  std::string block;
  for (uint32_t v : {gavio::kFreeTag, units, next}) AppendU32(&block, v);
  return block;
}

bool Inflate(const std::string& stored, uint32_t size, std::string* out) {
  out->assign(size, '\0');
  uLongf length = size;
  std::string scratch(1, '\0');
  Bytef* target = size > 0 ? reinterpret_cast<Bytef*>(out->data()) : reinterpret_cast<Bytef*>(scratch.data());
  if (size == 0) length = 1;
  int rc = uncompress(target, &length, reinterpret_cast<const Bytef*>(stored.data()), stored.size());
  return rc == Z_OK && length == size;
}

Audit AuditArchive(const std::string& path) {
  Audit audit;
  std::string bytes = ReadAll(path);
  if (bytes.size() < gavio::kVfsHeadSize) {
    audit.error = "short head";
    return audit;
  }
  memcpy(&audit.head, bytes.data(), gavio::kVfsHeadSize);
  const uint32_t block = audit.head.blockSize;
  const uint32_t data_end = audit.head.dataEnd;
  if (data_end == 0) {
    audit.ok = true;
    return audit;
  }
  // owner[i] names what holds block-sized unit i of the data area.
  size_t unit_count = (data_end - gavio::kVfsHeadSize) / block;
  if ((data_end - gavio::kVfsHeadSize) % block != 0) {
    audit.error = "data area not whole blocks";
    return audit;
  }
  std::vector<std::string> owner(unit_count);
  auto claim = [&](uint32_t offset, uint32_t units, const std::string& who) {
    if (offset < gavio::kVfsHeadSize || (offset - gavio::kVfsHeadSize) % block != 0) return false;
    size_t first = (offset - gavio::kVfsHeadSize) / block;
    if (units == 0 || first + units > unit_count) return false;
    for (size_t i = first; i < first + units; ++i) {
      if (!owner[i].empty()) return false;
      owner[i] = who;
    }
    return true;
  };

  uint32_t count = U32At(bytes, data_end);
  size_t pos = data_end + 4;
  std::vector<RawRecord> records;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t coded_length = U32At(bytes, pos);
    uint32_t plain_length = U32At(bytes, pos + 4);
    std::string plain;
    if (pos + 8 + coded_length > bytes.size() ||
        !Decode(std::string_view(bytes).substr(pos + 8, coded_length), audit.head.keySelector, &plain) ||
        plain.size() != plain_length || U32At(plain, 0) != gavio::kBlockTag) {
      audit.error = "bad record " + std::to_string(i);
      return audit;
    }
    pos += 8 + coded_length;
    RawRecord r;
    uint32_t name_length = U32At(plain, 4);
    r.name = plain.substr(8, name_length);
    size_t f = 8 + name_length;
    r.unfiltered = U32At(plain, f);
    r.stored = U32At(plain, f + 4);
    r.kind = U32At(plain, f + 8);
    r.firstExtent = U32At(plain, f + 12);
    r.parent = U32At(plain, f + 16);
    r.next = U32At(plain, f + 20);
    r.prev = U32At(plain, f + 24);
    r.child = U32At(plain, f + 28);
    r.reserved = plain.substr(f + 32, 16);
    if (U32At(plain, f + 48) != gavio::kTailTag) {
      audit.error = "bad tail tag";
      return audit;
    }
    records.push_back(r);
  }
  std::vector<uint32_t> offsets = RecordOffsets(data_end, records);
  std::map<uint32_t, size_t> by_offset;
  for (size_t i = 0; i < records.size(); ++i) by_offset[offsets[i]] = i;
  auto path_of = [&](size_t i) {
    std::string full = records[i].name;
    for (uint32_t p = records[i].parent; p != 0;) {
      size_t parent = by_offset.at(p);
      full = records[parent].name + "\\" + full;
      p = records[parent].parent;
    }
    return full;
  };
  for (size_t i = 0; i < records.size(); ++i) {
    const RawRecord& r = records[i];
    std::string full = path_of(i);
    if (r.reserved != std::string(16, '\0')) audit.reserved[full] = r.reserved;
    if (r.kind == gavio::kFdtDirectory) {
      audit.directories.push_back(full + "\\");
      continue;
    }
    std::string content;
    uint32_t units = 0;
    for (uint32_t offset = r.firstExtent; offset != 0;) {
      if (offset + 16 > bytes.size() || U32At(bytes, offset) != gavio::kBlockTag) {
        audit.error = "bad extent of " + full;
        return audit;
      }
      uint32_t extent_units = U32At(bytes, offset + 4);
      uint32_t used = U32At(bytes, offset + 12);
      if (!claim(offset, extent_units, full) || used + 16 > extent_units * block) {
        audit.error = "extent overlap or range in " + full;
        return audit;
      }
      content.append(bytes, offset + 16, used);
      units += extent_units;
      offset = U32At(bytes, offset + 8);
    }
    if (content.size() != r.stored) {
      audit.error = "stored size mismatch in " + full;
      return audit;
    }
    audit.stored[full] = content;
    audit.unfiltered[full] = r.unfiltered;
    audit.units[full] = units;
  }
  for (uint32_t offset = audit.head.freeList; offset != 0;) {
    if (offset + 12 > bytes.size() || U32At(bytes, offset) != gavio::kFreeTag) {
      audit.error = "bad free extent";
      return audit;
    }
    uint32_t units = U32At(bytes, offset + 4);
    if (!claim(offset, units, "<free>")) {
      audit.error = "free extent overlap or range";
      return audit;
    }
    audit.freeListUnits += units;
    offset = U32At(bytes, offset + 8);
  }
  for (size_t i = 0; i < unit_count; ++i) {
    if (owner[i].empty()) {
      audit.error = "unit " + std::to_string(i) + " belongs to nothing";
      return audit;
    }
  }
  audit.ok = true;
  return audit;
}

}  // namespace vfs_test
