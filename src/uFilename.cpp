// The on-disk spelling of a full path.
#include "uFilename.h"

std::string DiskSpelling(platform::FileSystem&, const std::string& path) { return path; }
