// CoderFilter: letter-codes the records of an archive's file descriptor
// table. Each byte becomes two letters of the selected 16-letter alphabet
// (high nibble first), so the coded text is twice as long as the plain
// bytes and never holds a zero byte.
#pragma once

#include <stdint.h>

#include "gavio/vfs.h"

namespace gavio {

class ErrorReporter;

class CoderFilter final : public RWFilter {
 public:
  static constexpr const char* kAlphabets[2] = {"WZBRFYLPVUHDKXEJ", "MVRXBZUYLWFKPJDH"};

  explicit CoderFilter(ErrorReporter* reporter) : reporter_(reporter) {}

  void Destroy() override { delete this; }
  // 2n + 10 for n input bytes.
  int32_t Bound(IBuffer* input) override;
  // Needs an alphabet and an output capacity above 2n. Returns 1.
  int32_t PreSave(IBuffer* input, IBuffer* output) override;
  // Decodes the input text up to its first zero byte (or its capacity); an
  // odd last letter is ignored, a letter outside the alphabet gives a 0 byte.
  // Returns 1, or 0 without an alphabet or when the output cannot grow.
  int32_t PostLoad(IBuffer* input, IBuffer* output) override;
  // 0 or 1 selects that alphabet (1); anything else changes nothing (0).
  int32_t SetKey(int32_t selector) override;

 private:
  ~CoderFilter() = default;

  ErrorReporter* reporter_;
  const char* alphabet_ = nullptr;
  int8_t positions_[256];  // letter -> its first position, -1 when absent
};

// A new coder without an alphabet, or null.
RWFilter* CreateCoderFilter(ErrorReporter* reporter);

}  // namespace gavio
