// The two walkers of the meta-described serialisation. One loop serves
// both directions: the table walk, version cut-off, element counts, union
// member choice and size info are the same, only the copying differs.
#include <string.h>

#include "verify/lmx.h"

namespace gavio::lmx {
namespace {

enum class Direction { kEncode, kDecode };

// One open record: the root, an element of a struct array, or the chosen
// member of a union.
struct Frame {
  const tagLMXMeta* meta;
  uint32_t next;          // next entry index
  uint64_t hostBase;      // host offset of the record
  uint64_t netStart;      // network position where the record began
  uint32_t element;       // element of the field being walked
  uint32_t count;         // elements of that field
  uint32_t hostUnit;      // host bytes per element
  const LMXEntry* field;  // the field that opened the frame (null for root)
  uint64_t contentStart;  // network position of the field's content
  uint64_t sizePosition;  // where the field's size info lies
};

struct Walk {
  Direction direction = Direction::kEncode;
  uint8_t* host = nullptr;
  uint64_t hostLength = 0;
  uint8_t* net = nullptr;
  uint64_t netLength = 0;
  uint64_t netPosition = 0;
  uint64_t hostPosition = 0;  // last field reached, for error reports
  int32_t cutoff = 0;
  Frame stack[kMaxOpenCompounds + 1] = {};
  int depth = 0;
};

Walk StartWalk(Direction direction, const LMXData* host, const LMXData* network) {
  Walk w;
  w.direction = direction;
  w.host = static_cast<uint8_t*>(host->data);
  w.hostLength = static_cast<uint64_t>(host->length);
  w.net = static_cast<uint8_t*>(network->data);
  w.netLength = static_cast<uint64_t>(network->length);
  return w;
}

uint64_t ReadBigEndian(const uint8_t* p, uint32_t width) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < width; ++i) value = (value << 8) | p[i];
  return value;
}

void WriteBigEndian(uint8_t* p, uint64_t value, uint32_t width) {
  for (uint32_t i = width; i > 0; --i) {
    p[i - 1] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

bool Fits(uint64_t position, uint64_t size, uint64_t length) {
  return position <= length && size <= length - position;
}

// Reads a refer or select field of the current record: widths 1 and 2 are
// unsigned, 4 and 8 signed.
int32_t ReadHostField(const Walk& w, uint64_t offset, uint8_t width, int64_t* value) {
  if (width != 1 && width != 2 && width != 4 && width != 8) return kErrArgument;
  if (!Fits(offset, width, w.hostLength)) return kErrHostSpace;
  const uint8_t* p = w.host + offset;
  switch (width) {
    case 1: *value = p[0]; break;
    case 2: { uint16_t v; memcpy(&v, p, 2); *value = v; break; }
    case 4: { int32_t v; memcpy(&v, p, 4); *value = v; break; }
    default: { int64_t v; memcpy(&v, p, 8); *value = v; break; }
  }
  return 0;
}

int32_t ElementCount(const Walk& w, const LMXEntry& e, uint64_t hostBase, uint32_t* count) {
  if (e.refer.width == 0) {
    *count = e.count;
    return 0;
  }
  int64_t value = 0;
  int32_t rc = ReadHostField(w, hostBase + e.refer.hostOffset, e.refer.width, &value);
  if (rc < 0) return rc;
  if (value < 0 || (e.count > 0 && value > static_cast<int64_t>(e.count))) return kErrRefer;
  *count = static_cast<uint32_t>(value);
  return 0;
}

bool InRange(const LMXEntry& member, int64_t selector) {
  return member.minId <= selector && selector <= member.maxId;
}

// The member a selector picks: the direct slot when ids are dense, else
// the first member whose range holds it, else member 0 when it has no
// range (the default), else none.
const LMXEntry* ChooseMember(const tagLMXMeta* unionMeta, int64_t selector) {
  const LMXEntry* members = unionMeta->entries;
  const uint32_t n = unionMeta->entryCount;
  if (n == 0) return nullptr;
  const int64_t slot = selector - members[0].minId;
  if (slot >= 0 && slot < n && members[slot].minId == selector && selector <= members[slot].maxId)
    return &members[slot];
  for (uint32_t i = 0; i < n; ++i)
    if (InRange(members[i], selector)) return &members[i];
  return members[0].minId > members[0].maxId ? &members[0] : nullptr;
}

// Opens a compound field: notes where its size info goes (reserving the
// prefix when it has one) and pushes its first element.
int32_t OpenCompound(Walk& w, const LMXEntry& field, const tagLMXMeta* meta, uint64_t hostBase,
                     uint32_t count, uint32_t hostUnit) {
  if (w.depth > kMaxOpenCompounds) return kErrNesting;
  const Frame& parent = w.stack[w.depth - 1];
  Frame f{};
  f.meta = meta;
  f.hostBase = hostBase;
  f.count = count;
  f.hostUnit = hostUnit;
  f.field = &field;
  const SizeInfo& size = field.sizeInfo;
  if (size.width != 0) {
    if (size.prefix) {
      f.sizePosition = w.netPosition;
      if (!Fits(w.netPosition, size.width, w.netLength)) return kErrNetworkSpace;
      w.netPosition += size.width;
    } else {
      f.sizePosition = parent.netStart + size.netOffset;
      if (!Fits(f.sizePosition, size.width, w.netLength)) return kErrNetworkSpace;
    }
  }
  f.contentStart = w.netPosition;
  f.netStart = w.netPosition;
  w.stack[w.depth++] = f;
  return 0;
}

// Closes a field with size info: the encoder writes the content length,
// the decoder moves past the stated length (skipping what a newer peer
// appended). A stated length shorter than what was already read is a
// corrupt package.
int32_t CloseSizeInfo(Walk& w, const Frame& f) {
  const SizeInfo& size = f.field->sizeInfo;
  if (w.direction == Direction::kEncode) {
    // A length that does not fit its field would go out truncated and
    // misframe the stream, so it is refused like a full buffer.
    const uint64_t length = w.netPosition - f.contentStart;
    if (size.width < 8 && length >> (8 * size.width) != 0) return kErrNetworkSpace;
    WriteBigEndian(w.net + f.sizePosition, length, size.width);
    return 0;
  }
  const uint64_t stated = ReadBigEndian(w.net + f.sizePosition, size.width);
  const uint64_t end = f.contentStart + stated;
  if (end > w.netLength || end < w.netPosition) return kErrNetworkSpace;
  w.netPosition = end;
  return 0;
}

int32_t CopyNumbers(Walk& w, const LMXEntry& e, uint64_t hostAt, uint32_t n) {
  const uint64_t unit = e.hostUnit;
  if (unit != 1 && unit != 2 && unit != 4 && unit != 8) return kErrArgument;
  if (!Fits(hostAt, unit * n, w.hostLength)) return kErrHostSpace;
  if (!Fits(w.netPosition, unit * n, w.netLength)) return kErrNetworkSpace;
  uint8_t* host = w.host + hostAt;
  uint8_t* net = w.net + w.netPosition;
  const bool encode = w.direction == Direction::kEncode;
  if (unit == 1) {
    memcpy(encode ? net : host, encode ? host : net, n);
  } else {
    uint8_t* to = encode ? net : host;
    const uint8_t* from = encode ? host : net;
    for (uint64_t i = 0; i < n; ++i, to += unit, from += unit)
      for (uint64_t k = 0; k < unit; ++k) to[k] = from[unit - 1 - k];
  }
  w.netPosition += unit * n;
  return 0;
}

int32_t EncodeString(Walk& w, uint64_t hostAt, uint64_t capacity) {
  if (!Fits(hostAt, capacity, w.hostLength)) return kErrHostSpace;
  const char* text = reinterpret_cast<const char*>(w.host + hostAt);
  const uint64_t length = strnlen(text, capacity);
  if (length >= capacity) return kErrString;
  const uint64_t sent = length + 1;
  if (!Fits(w.netPosition, kStringPrefixWidth + sent, w.netLength)) return kErrNetworkSpace;
  WriteBigEndian(w.net + w.netPosition, sent, kStringPrefixWidth);
  memcpy(w.net + w.netPosition + kStringPrefixWidth, text, sent);
  w.netPosition += kStringPrefixWidth + sent;
  return 0;
}

int32_t DecodeString(Walk& w, uint64_t hostAt, uint64_t capacity) {
  if (!Fits(w.netPosition, kStringPrefixWidth + 1, w.netLength)) return kErrNetworkSpace;
  const uint64_t length = ReadBigEndian(w.net + w.netPosition, kStringPrefixWidth);
  const uint64_t contentAt = w.netPosition + kStringPrefixWidth;
  if (length == 0 || !Fits(contentAt, length, w.netLength)) return kErrNetworkSpace;
  if (length > capacity || w.net[contentAt + length - 1] != 0) return kErrString;
  if (!Fits(hostAt, capacity, w.hostLength)) return kErrHostSpace;
  memcpy(w.host + hostAt, w.net + contentAt, length);
  w.netPosition = contentAt + length;
  return 0;
}

int32_t WalkStrings(Walk& w, const LMXEntry& e, uint64_t hostAt, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t capacity =
        e.stringSize != 0 ? e.stringSize : (hostAt <= w.hostLength ? w.hostLength - hostAt : 0);
    int32_t rc = w.direction == Direction::kEncode ? EncodeString(w, hostAt, capacity)
                                                   : DecodeString(w, hostAt, capacity);
    if (rc < 0) return rc;
    hostAt += capacity;
  }
  return 0;
}

int32_t WalkUnion(Walk& w, const LMXEntry& e, uint64_t hostAt, uint64_t recordBase) {
  int64_t selector = 0;
  int32_t rc = ReadHostField(w, recordBase + e.select.hostOffset, e.select.width, &selector);
  if (rc < 0) return rc;
  const LMXEntry* member = ChooseMember(e.sub, selector);
  if (member == nullptr || member->version > w.cutoff) return 0;
  if (member->type != kTypeStruct || member->sub == nullptr) return kErrArgument;
  return OpenCompound(w, e, member->sub, hostAt + member->hostOffset, 1, member->hostUnit);
}

int32_t WalkEntry(Walk& w, const LMXEntry& e, const Frame& f) {
  const uint64_t hostAt = f.hostBase + e.hostOffset;
  w.hostPosition = hostAt;
  uint32_t n = 0;
  int32_t rc = ElementCount(w, e, f.hostBase, &n);
  if (rc < 0 || n == 0) return rc;
  switch (e.type) {
    case kTypeStruct:
      if (e.sub == nullptr) return kErrArgument;
      return OpenCompound(w, e, e.sub, hostAt, n, e.hostUnit);
    case kTypeUnion:
      if (e.sub == nullptr) return kErrArgument;
      return WalkUnion(w, e, hostAt, f.hostBase);
    case kTypeString:
      return WalkStrings(w, e, hostAt, n);
    case kTypeWString:
      return kErrArgument;  // no record of this library carries wide strings
    default:
      return CopyNumbers(w, e, hostAt, n);
  }
}

// Steps past a finished record: the next element of its array, or the
// close of the field that opened it.
int32_t FinishRecord(Walk& w) {
  Frame& f = w.stack[w.depth - 1];
  if (++f.element < f.count) {
    f.next = 0;
    f.hostBase += f.hostUnit;
    f.netStart = w.netPosition;
    return 0;
  }
  int32_t rc = 0;
  if (f.field != nullptr && f.field->sizeInfo.width != 0) rc = CloseSizeInfo(w, f);
  --w.depth;
  return rc;
}

int32_t RunWalk(Walk& w, const tagLMXMeta* meta) {
  w.stack[0] = Frame{meta, 0, 0, 0, 0, 1, meta->hostSize, nullptr, 0, 0};
  w.depth = 1;
  while (w.depth > 0) {
    Frame& f = w.stack[w.depth - 1];
    if (f.next >= f.meta->entryCount) {
      int32_t rc = FinishRecord(w);
      if (rc < 0) return rc;
      continue;
    }
    const LMXEntry& e = f.meta->entries[f.next++];
    if ((e.flags & kFlagSkip) != 0 || e.version > w.cutoff) continue;
    if ((e.flags & kFlagPointer) != 0) return kErrArgument;  // not used by this library
    int32_t rc = WalkEntry(w, e, f);
    if (rc < 0) return rc;
  }
  return 0;
}

bool ValidArguments(const tagLMXMeta* meta, const LMXData* a, const LMXData* b) {
  return meta != nullptr && meta->kind == MetaKind::kStruct && a != nullptr && b != nullptr &&
         a->data != nullptr && b->data != nullptr && a->length >= 1 && b->length >= 1;
}

int32_t CutoffVersion(const tagLMXMeta* meta, int32_t version) {
  return (version == 0 || version > meta->currentVersion) ? meta->currentVersion : version;
}

int32_t Finish(Walk& w, int32_t rc, LMXData* network, LMXData* host) {
  network->length = static_cast<int64_t>(w.netPosition);
  host->length = static_cast<int64_t>(rc < 0 ? w.hostPosition : w.hostLength);
  return rc;
}

}  // namespace
}  // namespace gavio::lmx

using namespace gavio::lmx;

int32_t lmx_hton(const tagLMXMeta* meta, LMXData* network, LMXData* host, int32_t version) {
  if (!ValidArguments(meta, network, host)) return kErrArgument;
  Walk w = StartWalk(Direction::kEncode, host, network);
  w.cutoff = CutoffVersion(meta, version);
  if (w.cutoff < meta->baseVersion) {
    network->length = host->length = 0;
    return kErrVersion;
  }
  const VersionIndicator& vi = meta->versionIndicator;
  if (vi.width != 0) {
    if (!Fits(vi.hostOffset, vi.width, w.hostLength)) return Finish(w, kErrHostSpace, network, host);
    uint64_t value = static_cast<uint64_t>(w.cutoff);
    memcpy(w.host + vi.hostOffset, &value, vi.width);  // host order, little-endian
  }
  return Finish(w, RunWalk(w, meta), network, host);
}

int32_t lmx_ntoh(const tagLMXMeta* meta, LMXData* host, LMXData* network, int32_t version) {
  if (!ValidArguments(meta, network, host)) return kErrArgument;
  Walk w = StartWalk(Direction::kDecode, host, network);
  int64_t effective = CutoffVersion(meta, version);
  const VersionIndicator& vi = meta->versionIndicator;
  if (vi.width != 0) {
    if (!Fits(vi.netOffset, vi.width, w.netLength)) return Finish(w, kErrNetworkSpace, network, host);
    const uint64_t sent = ReadBigEndian(w.net + vi.netOffset, vi.width);
    effective = sent == 0 ? effective : static_cast<int64_t>(sent);
  }
  if (effective < meta->baseVersion || effective > meta->currentVersion) {
    network->length = host->length = 0;
    return kErrVersion;
  }
  w.cutoff = static_cast<int32_t>(effective);
  return Finish(w, RunWalk(w, meta), network, host);
}
