// The command line: reads the words into the option set, shows the help
// document for every "/?" and starts the backup run.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Options.h"
#include "platform/Platform.h"

// Sorts every word into a directory or an option, in order. `showUsage` is
// called at once for each help option met.
void ReadArguments(const std::vector<std::string>& words, OptionSet& options,
                   const std::function<void()>& showUsage);

// Appends the ";"-separated masks of an option value to `list`.
void AppendMasks(std::string_view value, std::vector<std::string>& list);

// Runs the whole program on the words of the command line; the exit status:
// 0 a clean run, 1 an error that stopped the program, 2 a run that could not
// do all it decided.
int KovrelMain(const std::vector<std::string>& words);
