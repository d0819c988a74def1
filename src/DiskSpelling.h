// The on-disk spelling of a full path, and the executable's directory and
// base name derived from it.
#pragma once

#include <string>

#include "platform/Platform.h"

// Every component after the first separator spelled as its directory entry
// is; stops early at a component that cannot be found.
std::string DiskSpelling(platform::FileSystem& fs, const std::string& path);

// The directory part of `path` up to and including its last separator (one
// appended when it does not end with one) and the file name less the
// extension after its last dot (the whole file name without `stripExtension`).
void SplitExecutablePath(const std::string& path, std::string& dir, std::string& base,
                         bool stripExtension = true);

// The running executable's directory (ending with the separator) and its file
// name less the extension, from its on-disk spelling; falls back to the path
// as the platform reports it when the spelling stops early.
void ExecutableDirAndBase(platform::FileSystem& fs, std::string& dir, std::string& base);

// Where the report files and the help document go: the executable's
// directory when it takes new files and is no installed program's (below a
// system prefix), otherwise the user's state directory. The base name is the
// executable's in either case.
void OutputDirAndBase(platform::FileSystem& fs, std::string& dir, std::string& base);
