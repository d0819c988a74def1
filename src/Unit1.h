// The backup engine, the date reader and the report hand-off. The engine
// state exists only while RunBackup runs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"

// One run: copies the lists, walks the tree, removes emptied stage-1
// directories (unless keepExtra) and shows the report (when reportOn).
void RunBackup(const std::vector<std::string>& dirList,
               const std::vector<std::string>& includeMasks,
               const std::vector<std::string>& excludeMasks, platform::DateValue firstDay,
               platform::DateValue lastDay, bool reportOn, bool keepExtra, bool dryRun);

// What a run does with its report lines at the end, in place of ShowReport.
using ReportHandOff = std::function<void(const std::vector<std::string>& lines)>;

// The same run over a given file system (tests pass a recording one). With a
// hand-off the report lines go there instead of to ShowReport. Raises
// Exception, before anything is touched, when the source directory does not
// exist or a stage is the source directory itself.
void RunBackupOn(platform::FileSystem& fs, const std::vector<std::string>& dirList,
                 const std::vector<std::string>& includeMasks,
                 const std::vector<std::string>& excludeMasks, platform::DateValue firstDay,
                 platform::DateValue lastDay, bool reportOn, bool keepExtra, bool dryRun,
                 const ReportHandOff& handOff = nullptr);

// Visits the relative path `r` of every directory of the list.
void BackupDir(const std::string& r);
// Copies the source into stage 1 (k = 0) or moves stage k into stage k + 1.
void TransferStage(int k, const std::string& r, const std::string& name);
// Removes every empty directory below and including `d`, deepest first.
void RemoveEmptyDirs(const std::string& d);
// Saves the report lines beside the executable and has them shown.
void ShowReport();
// The same for given lines over a given file system: clears this executable's
// report files of 10 or more minutes, saves the lines under the lowest free
// number and asks the shell to open the file (an empty list only clears).
void ShowReportOn(platform::FileSystem& fs, const std::vector<std::string>& lines);

// Reads "year month day" from the start of `text` (any non-digit separates
// the fields). On meeting a third separator `text` becomes the rest from that
// separator on. True, and `date` set, when the fields form a real date.
bool ReadDate(std::string& text, platform::DateValue& date);
// The same under an explicit character rule.
bool ReadDate(std::string& text, platform::DateValue& date, platform::CharRule rule);
