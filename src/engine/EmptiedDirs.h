// The removal of emptied stage-1 directories after the walk, and what the
// walk keeps for it so that it lists again only what may be empty.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// What the walk saw of a stage-1 directory.
struct SeenDir {
  std::string name;  // as its parent's listing names it
  // False for a directory that is judged from its listings alone, as is
  // everything below it: the walk did not visit it, or could not note all
  // of its subdirectories.
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

// Past this many SeenDirs (1 MiB, 5 MiB with the longest names) the walk
// notes no more, and the directories above those it dropped are judged from
// their listings, so memory stays bounded however many may be empty.
constexpr size_t kMaxSeenDirs = 1 << 14;

// What the walk made of a stage-1 directory, for the removal of emptied
// directories.
struct Walked {
  enum class Kind {
    Lasting,  // it holds a file or a lasting subdirectory, and nothing below may be empty
    Unseen,   // `dir` is judged from its listings (dir.seen is false)
    Seen,     // `dir` is what the walk saw
  };
  Kind kind = Kind::Lasting;
  SeenDir dir;

  // What the removal is given for it: null where the listings judge.
  const SeenDir* Judged() const { return kind == Kind::Seen ? &dir : nullptr; }
};
