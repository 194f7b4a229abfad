// The '/' form of a host path as a string, for the platform's own files.
#pragma once

#include <string>

#include "platform/paths.h"

namespace gavio::platform {

inline std::string HostPathOf(const char* path) {
  std::string host(path);
  GavioToHostPath(host.data());
  return host;
}

}  // namespace gavio::platform
