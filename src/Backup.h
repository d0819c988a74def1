// The backup engine's entry: one run over the option set.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/Platform.h"

// The days of a date range without a bound: without the date option no
// file is left out for its date, whatever year it carries.
constexpr platform::DateValue kNoFirstDay = -std::numeric_limits<platform::DateValue>::infinity();
constexpr platform::DateValue kNoLastDay = std::numeric_limits<platform::DateValue>::infinity();

// What the command line gives a run.
struct OptionSet {
  std::vector<std::string> dirList;  // the source, then the stages, each ending with the separator
  std::vector<std::string> includeMasks;
  std::vector<std::string> excludeMasks;
  platform::DateValue firstDay = kNoFirstDay;
  platform::DateValue lastDay = kNoLastDay;
  bool reportOn = false;
  bool keepExtra = false;
  bool dryRun = false;
};

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
