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
