// The report hand-off of a backup run.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

// Saves a run's report lines beside the executable, or in the user's state
// directory when that takes no files, and has them shown: clears this
// executable's report files of 10 or more minutes, saves the lines under the
// lowest free number and asks the shell to open the file (an empty list
// only clears).
void ShowReportOn(platform::FileSystem& fs, const std::vector<std::string>& lines);
