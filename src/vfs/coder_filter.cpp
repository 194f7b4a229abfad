#include "vfs/coder_filter.h"

#include <string.h>

#include <new>

#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\CoderFilter";

}  // namespace

int32_t CoderFilter::Bound(IBuffer* input) {
  if (input == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  int64_t bound = 2 * static_cast<int64_t>(input->Size()) + 10;
  return bound > INT32_MAX ? 0 : static_cast<int32_t>(bound);
}

int32_t CoderFilter::PreSave(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr || alphabet_ == nullptr) return 0;
  const uint8_t* in = input->Data();
  uint8_t* out = output->Data();
  int64_t n = input->Size();
  if (in == nullptr || out == nullptr || output->Capacity() <= 2 * n) return 0;
  for (int64_t i = 0; i < n; ++i) {
    out[2 * i] = static_cast<uint8_t>(alphabet_[in[i] >> 4]);
    out[2 * i + 1] = static_cast<uint8_t>(alphabet_[in[i] & 15]);
  }
  output->SetSize(static_cast<int32_t>(2 * n));
  return 1;
}

int32_t CoderFilter::PostLoad(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr || alphabet_ == nullptr) return 0;
  const uint8_t* in = input->Data();
  if (in == nullptr || output->Data() == nullptr) return 0;
  size_t coded = strnlen(reinterpret_cast<const char*>(in), static_cast<size_t>(input->Capacity()));
  int32_t plain = static_cast<int32_t>(coded / 2);
  if (output->Capacity() < plain && output->Reserve(plain) == 0) return 0;
  uint8_t* out = output->Data();
  for (int32_t i = 0; i < plain; ++i) {
    int high = positions_[in[2 * i]];
    int low = positions_[in[2 * i + 1]];
    out[i] = (high < 0 || low < 0) ? 0 : static_cast<uint8_t>(((high & 15) << 4) | low);
  }
  output->SetSize(plain);
  return 1;
}

int32_t CoderFilter::SetKey(int32_t selector) {
  if (selector != 0 && selector != 1) return 0;
  alphabet_ = kAlphabets[selector];
  memset(positions_, -1, sizeof positions_);
  for (int i = 15; i >= 0; --i) positions_[static_cast<uint8_t>(alphabet_[i])] = static_cast<int8_t>(i);
  return 1;
}

RWFilter* CreateCoderFilter(ErrorReporter* reporter) {
  return new (std::nothrow) CoderFilter(reporter);
}

}  // namespace gavio
