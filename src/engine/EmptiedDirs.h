// The removal of emptied stage-1 directories after the walk, and what the
// walk keeps for it so that it lists again only what may be empty.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// What the walk saw of a stage-1 directory. A directory that the walk left
// holding a file or a lasting subdirectory, with nothing below it that may
// be empty, is noted as no SeenDir at all.
struct SeenDir {
  std::string name;  // as its parent's listing names it
  // False for a directory the walk did not visit: it is judged from its
  // listings alone, as is everything below it.
  bool seen = true;
  // The walk left a file or a lasting subdirectory in it.
  bool holds = false;
  // It was not there when the walk listed it, and the walk may have made it
  // since, for a copy into it or below it.
  bool mayBeMade = false;
  // It is listed again for the removal: it may be empty, or the walk made
  // subdirectories in it whose place in its listing is not known.
  bool listAgain = true;
  // Its subdirectories that need a look, in the order of its listing.
  std::vector<SeenDir> subdirs;
};

// Past this many StageRegistry (1 MiB, 5 MiB with the longest names) the walk
// notes no more, and the directories above those it dropped are judged from
// their listings, so memory stays bounded however many may be empty.
constexpr size_t kMaxSeenDirs = 1 << 14;
