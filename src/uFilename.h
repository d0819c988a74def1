// The on-disk spelling of a full path.
#pragma once

#include <string>

#include "platform/Platform.h"

// Every component after the first separator spelled as its directory entry
// is; stops early at a component that cannot be found.
std::string DiskSpelling(platform::FileSystem& fs, const std::string& path);
