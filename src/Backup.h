// The backup engine's entry: one run over the option set.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "engine/Options.h"
#include "platform/Platform.h"

// One run: walks the tree, removes emptied stage-1 directories (unless
// keepExtra) and shows the report (when reportOn). True when everything the
// run decided was done; false when something could not be done, or a source
// directory or file could not be listed or looked up.
bool RunBackup(const OptionSet& options);

// What a run does with its report lines at the end, in place of showing them.
using ReportHandOff = std::function<void(const std::vector<std::string>& lines)>;

// The same run over a given file system (tests pass a recording one). With
// a hand-off the report lines go there instead of being shown. `workers`
// threads write the copies side by side (none: each when it is decided);
// the decisions, the disk's order of names and the report stay the same.
// Raises Exception, before anything is touched, when the source directory
// does not exist, a stage is the source directory itself, or one directory
// is named as two stages.
bool RunBackupOn(platform::FileSystem& fs, const OptionSet& options,
                 const ReportHandOff& handOff = nullptr, size_t workers = 0);
