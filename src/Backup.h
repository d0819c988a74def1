// The backup engine. Its state exists only while RunBackup runs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"

// One run: copies the lists, walks the tree, removes emptied stage-1
// directories (unless keepExtra) and shows the report (when reportOn). True
// when everything the run decided was done; false when something could not
// be done, or a source directory or file could not be listed or looked up.
bool RunBackup(const std::vector<std::string>& dirList,
               const std::vector<std::string>& includeMasks,
               const std::vector<std::string>& excludeMasks, platform::DateValue firstDay,
               platform::DateValue lastDay, bool reportOn, bool keepExtra, bool dryRun);

// What a run does with its report lines at the end, in place of ShowReport.
using ReportHandOff = std::function<void(const std::vector<std::string>& lines)>;

// The same run over a given file system (tests pass a recording one). With a
// hand-off the report lines go there instead of to ShowReport. `workers`
// threads write the copies side by side (none: each when it is decided);
// the decisions, the disk's order of names and the report stay the same.
// Raises
// Exception, before anything is touched, when the source directory does not
// exist or a stage is the source directory itself.
bool RunBackupOn(platform::FileSystem& fs, const std::vector<std::string>& dirList,
                 const std::vector<std::string>& includeMasks,
                 const std::vector<std::string>& excludeMasks, platform::DateValue firstDay,
                 platform::DateValue lastDay, bool reportOn, bool keepExtra, bool dryRun,
                 const ReportHandOff& handOff = nullptr, size_t workers = 0);

// Visits the relative path `r` of every directory of the list.
void BackupDir(const std::string& r);
// Copies the source into stage 1 (k = 0) or moves stage k into stage k + 1.
void TransferStage(int k, const std::string& r, const std::string& name);
// Removes every empty directory below and including `d`, deepest first.
void RemoveEmptyDirs(const std::string& d);
// The report lines of the run under way (none outside a run).
const std::vector<std::string>& RunReportLines();
