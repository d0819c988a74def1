// The removal of emptied stage-1 directories: deepest first, after the
// walk, listing again only the directories that may be empty.
#include "Listing.h"
#include "engine/Failures.h"
#include "engine/Transfer.h"
#include "engine/Visit.h"
#include "engine/Walker.h"

Walked Walker::NoteSeen(SeenDir dir) {
  Walked walked{Walked::Kind::Seen, std::move(dir)};
  if (++seenDirCount_ > kMaxSeenDirs || !walked.dir.seen) {
    walked.kind = Walked::Kind::Unseen;
    walked.dir.seen = false;
    std::vector<SeenDir>().swap(walked.dir.subdirs);
  }
  return walked;
}

Walked Walker::UnseenDir() {
  SeenDir unseen;
  unseen.seen = false;
  return NoteSeen(std::move(unseen));
}

namespace {

// The SeenDir of the subdirectory `name` of `seen`, or null. The search
// begins at `next`, since the listings of a directory come in one order.
const SeenDir* SeenSubdir(const SeenDir* seen, std::string_view name, size_t& next) {
  if (!seen) return nullptr;
  const std::vector<SeenDir>& subdirs = seen->subdirs;
  for (size_t i = 0; i < subdirs.size(); ++i) {
    const size_t at = (next + i) % subdirs.size();
    if (subdirs[at].name == name) {
      next = at + 1;
      return &subdirs[at];
    }
  }
  return nullptr;
}

// Whether the source has the counterpart of the stage-1 directory `d`, or
// cannot tell: only a directory whose source is gone, or is no directory
// now, is removed.
bool InSource(Stages& stages, const std::string& d) {
  const std::vector<std::string>& dirs = stages.dirs;
  if (d.compare(0, dirs[1].size(), dirs[1]) != 0) return false;
  const platform::PathKind kind = stages.fs.KindOf(dirs[0] + d.substr(dirs[1].size()));
  return kind == platform::PathKind::Directory || kind == platform::PathKind::Unknown;
}

}  // namespace

bool Walker::RemoveIfEmpty(const std::string& d, const SeenDir* seen) {
  const std::string delim(1, platform::PathDelim);
  if (seen && !seen->seen) seen = nullptr;
  if (seen && !seen->listAgain) {
    for (const SeenDir& below : seen->subdirs) {
      const std::string sub = d + below.name + delim;
      if (!stages_.IsRoot(sub)) RemoveIfEmpty(sub, &below);
    }
    MatchToSource(d);
    return false;
  }
  // Stage 1's own top directory holds the run's lock file, which does not
  // count; should the directory go, the file goes first.
  const bool top = d == stages_.dirs[1];
  const auto lockFile = [top](std::string_view name, uint32_t attr) {
    return top && platform::IsFile(attr) && platform::IsRunLockName(name);
  };
  Listing listing;
  listing.Read(stages_.fs, d, true);
  listing.Drop(lockFile);
  bool hasFile = false;
  bool hasSubdir = false;
  // A dot directory or a directory link: never judged, but it keeps the
  // directory there.
  bool hasDotDir = false;
  bool childGone = false;
  bool childStays = false;
  size_t next = 0;
  for (const Listing::Item& item : listing.Items()) {
    const std::string_view name = listing.Name(item);
    if (platform::IsFile(item.attr)) {
      hasFile = true;
    } else if ((item.attr & platform::faSymLink) ||
               (name != "." && name != ".." && !platform::IsWalkedDirName(name))) {
      hasDotDir = true;
    }
    if (platform::IsSubdir(item.attr, name)) {
      hasSubdir = true;
      const std::string sub = d + std::string(name) + delim;
      if (!stages_.IsRoot(sub) && RemoveIfEmpty(sub, SeenSubdir(seen, name, next))) {
        childGone = true;
      } else {
        childStays = true;
      }
    }
  }
  // Only the removal of a subdirectory can have changed the judgement. A dry
  // run removes nothing and moves no file: where the walk noted what leaves,
  // it judges by that, as the run would find it. A directory that the source
  // still has stays, however empty: the walk noted it so, or else the source
  // is asked.
  const bool dryRun = options_.dryRun;
  const bool lasting = seen && seen->holds;
  bool empty = !lasting && !hasFile && !hasSubdir;
  if (dryRun && seen && !lasting) empty = !childStays;
  if (!lasting && !hasFile && childGone && !dryRun) {
    empty = true;
    stages_.fs.ListKinds(d + "*.*", platform::faAnyFile, [&](const platform::DirEntry& e) {
      if ((platform::IsFile(e.attr) && !lockFile(e.name, e.attr)) ||
          platform::IsSubdir(e.attr, e.name))
        empty = false;
    });
  }
  if (empty && !seen && InSource(stages_, d)) empty = false;
  if (!empty) {
    MatchToSource(d);
    return false;
  }
  if (!dryRun) stages_.changed = true;
  // Windows keeps a deleted file that is open until it is closed, and the
  // directory with it: there stage 1 stays, emptied, and that is no failure.
  const bool lockGone = !dryRun && top && stages_.fs.DeleteFile(d + platform::RunLockName);
  if (!dryRun && !stages_.fs.RemoveDir(d) && !hasDotDir && !lockGone) {
    Notes notes;
    FailedUnlessGone(stages_.fs, notes, d);
    journal_.Add(std::move(notes.lines));
  }
  Report("deleted " + platform::ShownPath(d));
  return true;
}
