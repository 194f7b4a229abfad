#include "vfs/zlib_filter.h"

#include <zlib.h>

#include <new>

#include "vfs/error_reporter.h"

namespace gavio {
namespace {

constexpr char kReportSource[] = "Components\\Vfs\\ZlibFilter";

int32_t AsResult(uLongf length) { return length == 0 ? 1 : static_cast<int32_t>(length); }

}  // namespace

int32_t ZlibFilter::Bound(IBuffer* input) {
  if (input == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  int64_t n = input->Size();
  int64_t bound = n + (n >> 12) + (n >> 14) + 11;
  return bound > INT32_MAX ? 0 : static_cast<int32_t>(bound);
}

int32_t ZlibFilter::PreSave(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  uLong needed = compressBound(static_cast<uLong>(input->Size()));
  if (needed > static_cast<uLong>(INT32_MAX) || output->Reserve(static_cast<int32_t>(needed)) == 0) {
    VFS_REPORT(reporter_, "RWFilter PreSave error!");
    return 0;
  }
  uLongf length = static_cast<uLongf>(output->Capacity());
  int rc = compress2(output->Data(), &length, input->Data(), static_cast<uLong>(input->Size()),
                     Z_DEFAULT_COMPRESSION);
  if (rc != Z_OK) {
    VFS_REPORT(reporter_, "RWFilter PreSave error!");
    return 0;
  }
  output->SetSize(static_cast<int32_t>(length));
  return AsResult(length);
}

int32_t ZlibFilter::PostLoad(IBuffer* input, IBuffer* output) {
  if (input == nullptr || output == nullptr) {
    VFS_REPORT(reporter_, "param error!");
    return 0;
  }
  uLongf length = static_cast<uLongf>(output->Capacity());
  int rc = uncompress(output->Data(), &length, input->Data(), static_cast<uLong>(input->Size()));
  if (rc != Z_OK) {
    VFS_REPORT(reporter_, "RWFilter PostLoad error!");
    return 0;
  }
  output->SetSize(static_cast<int32_t>(length));
  return AsResult(length);
}

RWFilter* CreateZlibFilter(ErrorReporter* reporter) {
  return new (std::nothrow) ZlibFilter(reporter);
}

}  // namespace gavio
