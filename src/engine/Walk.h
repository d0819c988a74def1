// The generational walk: one visit per directory, depth first, deciding
// for every file what is copied into stage 1, rotated or retired.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Listing.h"
#include "engine/EmptiedDirs.h"
#include "engine/Run.h"

// The listings of a directory that readers read ahead of the walk.
struct Ahead {
  std::shared_ptr<ListingAhead> source;
  std::shared_ptr<ListingAhead> stage1;
};

// Visits the relative path `r`. Returns what became of stage 1's directory
// there (nothing with KeepExtra, or when the walk left something lasting in
// it and nothing below that may be empty).
std::optional<SeenDir> WalkDir(Run& run, const std::string& r, const Ahead& ahead = {});

// The attribute bits that tell an entry's kind beyond its data: a
// directory, a link, a fifo or a device.
inline constexpr uint32_t kKindBits =
    platform::faDirectory | platform::faSymLink | platform::faSpecial;
// A file: neither a directory nor a volume label.
inline bool IsFile(uint32_t attr) {
  return (attr & (platform::faDirectory | platform::faVolumeID)) == 0;
}
// A subdirectory to walk: a directory that is not "." or "..", nor on a
// platform that hides directories by a leading dot, one that begins with
// ".". A directory that is a link (a junction) is never walked: it can lead
// anywhere, back into itself too.
inline bool IsSubdir(uint32_t attr, std::string_view name) {
  return (attr & platform::faDirectory) && !(attr & platform::faSymLink) &&
         platform::IsWalkedDirName(name);
}
// True when the directory `path` is the source or one of the stages.
bool IsRoot(Run& run, const std::string& path);
