// The configuration INI files of both shared libraries: reading a value
// without trusting the file, and the chain of "[Redirect] Path=" that leads
// from the INI a caller names to the one holding the settings.
//
// The component library and the factory library link this code (a small
// static library), so they always agree on which INI is meant and on when a
// chain of redirects has looped. Paths come back in host form ('/').
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace gavio::config {

// Configuration files larger than this are not read: they are a few lines.
inline constexpr int64_t kMaxConfigFileSize = 1 << 20;
// Absolute redirects that chain further than this have looped.
inline constexpr int kMaxRedirects = 16;

// GetPrivateProfileStringA on a file that is first checked: the value (or
// fallback) cut to size-1 characters. A path that names no regular file (a
// FIFO, a device) or a file larger than kMaxConfigFileSize reads as a
// missing file, and opening it never blocks.
std::string ReadIniValue(const std::string& ini, const char* section, const char* key,
                         const char* fallback, size_t size);

// The INI a registry path stands for: null or empty is "Gavio.ini" in
// exeFolder, a relative path is taken in exeFolder, an absolute one is kept.
std::string StartingIni(const char* registryPath, const std::string& exeFolder);

// Follows "[Redirect] Path=" from ini: a blank value ends the chain, a
// relative one names the final INI beside the current one (it is not read
// for further redirects), an absolute one is followed. False, with *looped
// at the INI where the chain came back or ran past kMaxRedirects, when the
// chain loops.
bool FollowRedirects(const std::string& ini, std::string* finalIni, std::string* looped);

}  // namespace gavio::config
