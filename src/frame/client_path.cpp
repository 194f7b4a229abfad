// Paths relative to the client root folder, shared by every component that
// names files for the client.
#include "frame/client_path.h"

#include <stdio.h>

#include "frame/log_sink.h"
#include "platform/errors.h"
#include "platform/paths.h"

namespace gavio {

bool ResolveClientPath(const char* path, char* out) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int length = GavioIsAbsolutePath(path)
                   ? snprintf(out, kClientPathSize, "%s", path)
                   : snprintf(out, kClientPathSize, "%s/%s", RootPath(), path);
  if (length < 0 || static_cast<size_t>(length) >= kClientPathSize) {
    out[0] = '\0';
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  GavioToHostPath(out);
  return true;
}

}  // namespace gavio
