// The text of the update-info file: one block of lines per package, each
// line ended by CR LF and at most 1023 characters.
#pragma once

#include <string>

#include "gavio/update.h"

namespace gavio {

std::string UpdateInfoText(const UpdateInfoRecord* record);

// In one left-to-right pass drops each slash that a slash follows (so three
// slashes leave two), then one leading and one trailing slash.
void NormaliseUrlPath(char* path);

}  // namespace gavio
