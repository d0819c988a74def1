// What the walk keeps: of each directory it visits, of each stage-1
// directory it leaves for the removal of emptied ones, and the reads it
// begins ahead of itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Listing.h"
#include "platform/Platform.h"

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

// The listings of a directory that readers read ahead of the walk.
struct Ahead {
  std::shared_ptr<ListingAhead> source;
  std::shared_ptr<ListingAhead> stage1;
};

// What the walk made of one source subdirectory.
struct SourceSubdir {
  enum class State : uint8_t {
    NotWalked,
    Lasting,  // walked, and left lasting
    Noted,    // walked to walkedBelow[below]
    Taken,    // that one taken since by stage 1's listing
  };
  State state = State::NotWalked;
  uint32_t below = 0;
};

// What one visit keeps. It lives on the heap, so that a deep tree costs
// little stack per level.
struct Visit {
  std::string r;          // the relative path
  std::string sourceDir;  // SRC + R
  std::string stage1Dir;  // BK1 + R
  Listing source;
  Listing stage1;            // not listed with KeepExtra
  std::string name;          // the file at hand
  platform::DirEntry found;  // a lookup's answer
  // For the removal of emptied directories (not kept with KeepExtra): what
  // became of each source subdirectory, by its place in the source listing,
  // and of stage 1's files.
  std::vector<SourceSubdir> walked;
  std::vector<Walked> walkedBelow;  // those walked to one that may be empty
  size_t stageFiles = 0;            // files in stage 1's listing
  size_t stageFilesTouched = 0;     // of them, moved, replaced or deleted (at most)
  // Stage-1 entries of names that the source now has as directories,
  // retired before the walk went into them.
  std::vector<std::string> retiredEarly;
  bool copiesTried = false;  // into this stage-1 directory
  int stage1Missing = -1;    // not asked yet, else whether it was
};

// The reads begun ahead for the next entries of a listing, by their place
// in it, at most `width` at once.
template <typename T>
class AheadWindow {
 public:
  explicit AheadWindow(size_t width) : width_(width) {}

  // Begins reads for the entries from `i` on, in order, while there is
  // room: `wanted(j)` tells whether entry j needs one, `begin(j)` begins it
  // and gives nothing when the readers hold all they may (entry j is then
  // read when its turn comes).
  template <typename Wanted, typename Begin>
  void Fill(size_t i, size_t count, const Wanted& wanted, const Begin& begin) {
    for (next_ = std::max(next_, i); next_ < count && held_.size() < width_; ++next_) {
      if (!wanted(next_)) continue;
      std::optional<T> read = begin(next_);
      if (!read) break;
      held_.emplace_back(next_, std::move(*read));
    }
  }
  // The read of entry `i`, if one was begun.
  T Take(size_t i) {
    if (held_.empty() || held_.front().first != i) return T();
    T read = std::move(held_.front().second);
    held_.pop_front();
    return read;
  }

 private:
  const size_t width_;
  size_t next_ = 0;
  std::deque<std::pair<size_t, T>> held_;
};
