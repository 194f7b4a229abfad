// Paths of the file components: relative paths (no ':' and no leading
// separator) are taken in the client root folder.
#pragma once

#include <stddef.h>

namespace gavio {

inline constexpr size_t kClientPathSize = 260;  // 259 characters and a terminator

// Resolves path against the root folder into out (kClientPathSize bytes)
// in '/' form. False, with the thread's last error set, for a null or empty
// path or one that does not fit.
bool ResolveClientPath(const char* path, char* out);

}  // namespace gavio
