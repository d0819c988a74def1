// How the engine judges an operation on the disk that failed.
#include "engine/Failures.h"

platform::PathKind KindKeepingError(platform::FileSystem& fs, const std::string& path) {
  const platform::ErrorKeeper keep;
  return fs.KindOf(path);
}

void FailedUnlessGone(platform::FileSystem& fs, Notes& notes, const std::string& path) {
  if (KindKeepingError(fs, path) != platform::PathKind::Missing) notes.Failed(path);
}
