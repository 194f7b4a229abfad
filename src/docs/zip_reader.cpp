// Zip reader component (67): unpacks and lists zip archives on the
// caller's thread. The work is in zip_archive.cpp, shared with the
// background extractor; the reader keeps one archive open between name
// lookups so that listing every name reads the archive once.
#include <string.h>

#include <new>
#include <string>

#include "docs/zip_archive.h"
#include "gavio/docs.h"
#include "gavio/ids.h"
#include "host/factories.h"
#include "platform/errors.h"
#include "frame/component_base.h"
#include "frame/log_sink.h"

namespace gavio {
namespace {

class CZipReader final : public Component<kZipReaderId, IZipReader> {
 public:
  CZipReader() : log_(nullptr, kZipReaderId) {}

  int32_t ExtractAll(const char* zipPath, const char* targetFolder, int32_t flatten) override {
    GAVIO_HOLD_OR_RETURN(0);
    return zip::ExtractAll(zipPath, targetFolder, flatten != 0, nullptr, &log_);
  }

  int32_t GetItemCount(const char* zipPath) override {
    GAVIO_HOLD_OR_RETURN(0);
    return cursor_.ItemCount(zipPath);
  }

  int32_t GetItemName(const char* zipPath, int32_t index, char* buffer, int32_t capacity,
                      int32_t flatten) override {
    GAVIO_HOLD_OR_RETURN(0);
    if (buffer == nullptr || capacity <= 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string stored;
    if (!cursor_.StoredName(zipPath, index, &stored)) return 0;
    std::string name = zip::MapItemName(stored, flatten != 0);
    size_t length = name.size() < static_cast<size_t>(capacity) ? name.size()
                                                                 : static_cast<size_t>(capacity) - 1;
    memcpy(buffer, name.data(), length);
    buffer[length] = '\0';
    return 1;
  }

  void ComponentFinalize() override { cursor_.Close(); }

 private:
  LogSink log_;
  zip::Cursor cursor_;
};

}  // namespace

IComponent* NewZipReader() { return new (std::nothrow) CZipReader(); }

}  // namespace gavio
