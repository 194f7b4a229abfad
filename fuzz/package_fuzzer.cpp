// libFuzzer target: arbitrary bytes handed to unpack as a received package.
// Whatever decodes must encode again, and that encoding must be a fixed
// point: decoding and encoding it once more gives the same bytes. (The head
// checksum is left out when HeadLen reaches past the head: it then covers
// host bytes of the body that the wire does not carry, such as what
// followed a string's NUL.) Built
// with clang by fuzz/run.sh (the GAVIO_FUZZ build) from the serialisation's
// own sources, as libgavio.so has them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "gavio/gavio.h"
#include "verify/kora_protocol.h"

namespace {

using gavio::kora::KoraPkg;

// Room for the largest package a 16-bit body length allows.
constexpr uint32_t kWireCapacity = 16 + 65535;

const tagLMXMeta* Meta() {
  static const tagLMXMeta* meta = [] {
    const tagLMXMeta* m = nullptr;
    if (initPrototol(&m) != 0) abort();
    return m;
  }();
  return meta;
}

// Decodes into a zeroed record and encodes it again; the encoding's length,
// or -1 when the bytes do not decode.
int32_t Canonical(const uint8_t* bytes, size_t size, KoraPkg* pkg, char* wire) {
  memset(pkg, 0, sizeof(KoraPkg));
  if (unpack(Meta(), reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(size), pkg) != 0) {
    return -1;
  }
  uint32_t length = kWireCapacity;
  int32_t rc = pack(Meta(), pkg, wire, &length, gavio::kora::kVersion3);
  if (rc <= 0) abort();  // a record that decoded must encode
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static KoraPkg* pkg = static_cast<KoraPkg*>(malloc(sizeof(KoraPkg)));
  static char* first = static_cast<char*>(malloc(kWireCapacity));
  static char* second = static_cast<char*>(malloc(kWireCapacity));
  // An exact-size copy, so a read past the input is caught.
  uint8_t* input = static_cast<uint8_t*>(malloc(size != 0 ? size : 1));
  memcpy(input, data, size);
  int32_t length = Canonical(input, size, pkg, first);
  free(input);
  if (length < 0) return 0;
  int32_t again = Canonical(reinterpret_cast<const uint8_t*>(first), static_cast<size_t>(length),
                            pkg, second);
  if (again != length) abort();
  const bool headOnly = static_cast<uint8_t>(first[3]) <= sizeof(gavio::kora::PkgHead);
  if (headOnly && memcmp(first, second, static_cast<size_t>(length)) != 0) abort();
  if (memcmp(first, second, 12) != 0 || memcmp(first + 14, second + 14, length - 14) != 0) abort();
  return 0;
}
