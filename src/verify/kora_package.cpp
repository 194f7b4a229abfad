// The exported protocol helpers of libgavio.so: the "KoraPkg" meta, a
// package record to network bytes and back, and the head checksum.
#include <stdio.h>
#include <string.h>

#include "gavio/gavio.h"
#include "verify/kora_protocol.h"

#define GAVIO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace gavio::kora;

constexpr uint32_t kPackageHostSize = sizeof(KoraPkg);

}  // namespace

GAVIO_EXPORT int32_t initPrototol(const tagLMXMeta** meta) {
  const tagLMXMeta* found = lmx_get_meta_by_name(KoraNetLibrary(), "KoraPkg");
  if (found == nullptr) {
    fprintf(stderr, "initPrototol, lmx_get_meta_by_name()\n");
    return -1;
  }
  if (meta != nullptr) *meta = found;
  return 0;
}

GAVIO_EXPORT uint16_t CheckSum(const void* data, int32_t length) {
  if (data == nullptr || length <= 0) return 0xFFFF;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  for (int32_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] | bytes[i + 1] << 8);
  if (length % 2 == 1) sum += bytes[length - 1];
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

// The head checksum covers the head as it lies in memory with the caller's
// version and a zero body length; the wire then carries the encoding
// version and the true body length.
GAVIO_EXPORT int32_t pack(const tagLMXMeta* meta, void* package, char* buffer, uint32_t* length,
                          int32_t version) {
  if (buffer == nullptr || package == nullptr) return gavio::lmx::kErrArgument;
  buffer[0] = 0;
  const uint32_t capacity = length != nullptr ? *length : kMaxPkgLen;
  auto* head = static_cast<PkgHead*>(package);
  head->Version = static_cast<uint8_t>(version);
  head->BodyLen = 0;
  head->HeadChkSum = 0;
  head->HeadChkSum = CheckSum(package, head->HeadLen);
  LMXData network{buffer, capacity};
  LMXData host{package, kPackageHostSize};
  const int32_t rc = lmx_hton(meta, &network, &host, 0);
  if (rc < 0) {
    fprintf(stderr, "ERROR: lmx_hton failed for %s -- '%s'\n", lmx_error_string(rc),
            lmx_entry_off_to_path(meta, host.length));
    return rc;
  }
  if (length != nullptr) *length = static_cast<uint32_t>(network.length);
  return static_cast<int32_t>(network.length);
}

GAVIO_EXPORT int32_t unpack(const tagLMXMeta* meta, const char* buffer, uint32_t length,
                            void* package) {
  if (package == nullptr) return gavio::lmx::kErrArgument;
  memset(package, 0, sizeof(PkgHead));
  LMXData host{package, kPackageHostSize};
  LMXData network{const_cast<char*>(buffer), length};
  const int32_t rc = lmx_ntoh(meta, &host, &network, 0);
  if (rc < 0) fprintf(stderr, "ERROR: lmx_ntoh failed for %s\n", lmx_error_string(rc));
  return rc;
}
