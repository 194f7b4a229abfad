// ZlibFilter: the default content filter of archives, zlib single-call
// compression at the default level.
#pragma once

#include <stdint.h>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

class ZlibFilter final : public RWFilter {
 public:
  explicit ZlibFilter(ErrorReporter* reporter) : reporter_(reporter) {}

  void Destroy() override { delete this; }
  // n + n/4096 + n/16384 + 11 for n input bytes.
  int32_t Bound(IBuffer* input) override;
  // Returns the compressed length. The output grows first when it is
  // smaller than what zlib needs for incompressible input (the bound above
  // falls a little short of that for inputs over 32 MiB).
  int32_t PreSave(IBuffer* input, IBuffer* output) override;
  // Decompresses into at most the output's capacity. Returns the decoded
  // length, or 1 when it is 0 (an empty file is a success, not a failure).
  int32_t PostLoad(IBuffer* input, IBuffer* output) override;
  int32_t SetKey(int32_t selector) override { return 0; }

 private:
  ~ZlibFilter() = default;

  ErrorReporter* reporter_;
};

// A new filter, or null.
RWFilter* CreateZlibFilter(ErrorReporter* reporter);

}  // namespace gavio
