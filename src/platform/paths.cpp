// Host paths, the application-data folder and the executable's folder.
#include "platform/paths.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/errors.h"

namespace {
BOOL CopyOut(const char* text, size_t length, char* buffer, DWORD size) {
  if (buffer == nullptr || length + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return TRUE;
}
}  // namespace

void GavioToHostPath(char* path) {
  if (path == nullptr) return;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') *p = '/';
  }
}

// '\\' is a separator too, so "\\x" is "/x" once in host form. A colon
// means nothing here: "logs/12:30.ini" is relative.
BOOL GavioIsAbsolutePath(const char* path) {
  if (path == nullptr) return FALSE;
  return path[0] == '/' || path[0] == '\\' ? TRUE : FALSE;
}

BOOL GavioGetAppDataFolder(char* buffer, DWORD size) {
  const char* data_home = getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') {
    return CopyOut(data_home, strlen(data_home), buffer, size);
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  static const char kSuffix[] = "/.local/share";
  size_t home_length = strlen(home);
  if (home_length + sizeof kSuffix > size || buffer == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, home, home_length);
  memcpy(buffer + home_length, kSuffix, sizeof kSuffix);
  return TRUE;
}

BOOL GavioGetExecutableFolder(char* buffer, DWORD size) {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  path[length] = '\0';
  char* slash = strrchr(path, '/');
  size_t folder_length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
  if (folder_length == 0 && slash != nullptr) folder_length = 1;  // the root itself
  return CopyOut(path, folder_length, buffer, size);
}
