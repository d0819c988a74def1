// The on-disk spelling of a full path.
#include "uFilename.h"

std::string DiskSpelling(platform::FileSystem&, const std::string& path) { return path; }

void ExecutableDirAndBase(platform::FileSystem&, std::string& dir, std::string& base) {
  dir.clear();
  base.clear();
}
