// What the command line gives a run: the directories, the filters and the
// switches. Every part of the engine reads it; it depends on nothing of them.
#pragma once

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
