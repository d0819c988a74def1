// How the engine judges an operation on the disk that failed: a path that
// is gone already is as good as done.
#pragma once

#include <string>

#include "engine/Journal.h"
#include "platform/Platform.h"

// What `path` names now, leaving the platform error of the operation that
// has just failed as it was, for a note to tell.
platform::PathKind KindKeepingError(platform::FileSystem& fs, const std::string& path);
// After a delete or a removal that failed: one that is gone already is as
// good as done; anything else is a failure.
void FailedUnlessGone(platform::FileSystem& fs, Notes& notes, const std::string& path);
