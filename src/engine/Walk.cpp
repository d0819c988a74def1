// The generational walk. Each directory is listed once, its subdirectories
// walked first, then its files compared with stage 1 and its stale files
// retired; the listings of the next directories are read ahead meanwhile.
#include "engine/Walk.h"

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

#include "Masks.h"
#include "engine/Transfer.h"

namespace {

using platform::DirEntry;

const std::string kDelim(1, platform::PathDelim);

// What one visit keeps. It lives on the heap, so that a deep tree costs
// little stack per level.
struct Visit {
  std::string r;          // the relative path
  std::string sourceDir;  // SRC + R
  std::string stage1Dir;  // BK1 + R
  Listing source;
  Listing stage1;    // not listed with KeepExtra
  std::string name;  // the file at hand
  DirEntry found;    // a lookup's answer
  // For the removal of emptied directories (not kept with KeepExtra): what
  // became of each source subdirectory, by its place in the source listing,
  // and of stage 1's files.
  std::vector<uint32_t> walked;       // a Walked value per source entry
  std::vector<StageDir> walkedBelow;  // the StageDirs of those walked to one
  size_t stageFiles = 0;              // files in stage 1's listing
  size_t stageFilesTouched = 0;       // of them, moved, replaced or deleted (at most)
  bool copiesTried = false;           // into this stage-1 directory
  int stage1Missing = -1;             // not asked yet, else whether it was
};

// What the walk made of a source subdirectory: not walked, walked and left
// lasting, walked to a StageDir that stage 1's listing has taken, or walked
// to walkedBelow[value - kWalkedToStageDir].
enum Walked : uint32_t { kNotWalked, kWalkedLasting, kWalkedTaken, kWalkedToStageDir };

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

bool InDateRange(const Run& run, platform::FileTime t) {
  const auto day = static_cast<platform::DateValue>(platform::FileTimeDay(t));
  return day >= run.options.firstDay && day <= run.options.lastDay;
}

// The include masks (the first fit ends the search), then the exclude masks.
bool NamePasses(const Run& run, const std::string& fileName) {
  const std::vector<std::string>& include = run.options.includeMasks;
  const std::vector<std::string>& exclude = run.options.excludeMasks;
  if (include.empty() && exclude.empty()) return true;
  // A name is matched as the ANSI code page spells it, as the masks are.
  const std::string name = platform::AnsiSpelling(fileName);
  const auto fits = [&](const std::string& mask) { return NameFitsMask(name, mask); };
  if (!include.empty() && std::none_of(include.begin(), include.end(), fits)) return false;
  return std::none_of(exclude.begin(), exclude.end(), fits);
}

// Whether the source directory (listed as `source`, spelled `dir`) has an
// entry of this name of the wanted kind. The listing answers when it names
// one; otherwise the disk is asked, which also finds a name that differs only
// in case where the file system ignores case. A name that cannot be looked up
// counts as there, and is told: only what the file system says is gone is
// taken for gone.
bool SourceHas(Run& run, Listing& source, std::string& dir, std::string_view name, bool wantDir) {
  const Listing::Item* item = source.Find(name);
  // One that the listing names but could not look up is told by BackupFiles.
  if (item && (item->attr & platform::faUnreadable)) return true;
  if (item && ((item->attr & platform::faDirectory) != 0) == wantDir) return true;
  const size_t base = dir.size();
  dir += name;
  const platform::PathKind kind = run.stages.fs.KindOf(dir);
  if (kind == platform::PathKind::Unknown) {
    run.journal.Failed(dir);
    run.Report();
  }
  dir.resize(base);
  return kind == platform::PathKind::Unknown ||
         kind == (wantDir ? platform::PathKind::Directory : platform::PathKind::File);
}

// A directory that holds a valid cache directory tag (a CACHEDIR.TAG file
// beginning with the Cache Directory Tagging signature) is passed over, as
// tar and the common backup tools do. Only a listing that names the file
// costs a look.
bool IsTaggedCache(Run& run, const std::string& dir, Listing& listing) {
  static constexpr std::string_view kSignature = "Signature: 8a477f597d28d172789f06886806bc55";
  const Listing::Item* tag = listing.Find("CACHEDIR.TAG");
  if (!tag || !IsFile(tag->attr) || (tag->attr & platform::faSpecial)) return false;
  std::string start;
  return run.stages.fs.ReadStart(dir + "CACHEDIR.TAG", kSignature.size(), start) &&
         start == kSignature;
}

// Stage 1's entry of that name, of any kind. Its listing answers for a file;
// otherwise the disk is asked, also for a directory, whose time a listing
// may leave out.
bool StageOneEntry(Run& run, Visit& v, const std::string& name, DirEntry& out, LookupAhead* ahead) {
  const bool keepExtra = run.options.keepExtra;
  const Listing::Item* have = keepExtra ? nullptr : v.stage1.Find(name);
  if (have && (have->attr & platform::faDirectory) == 0) {
    out.attr = have->attr;
    out.size = have->size;
    out.time = have->time;
    return true;
  }
  // A stage-1 directory that is missing holds nothing, and once made by this
  // walk, nothing but its subdirectories and the copies of other names: it
  // is asked once, not for every file.
  if (!have && !keepExtra && v.stage1.Items().empty()) {
    if (v.stage1Missing < 0)
      v.stage1Missing = run.stages.fs.KindOf(v.stage1Dir) == platform::PathKind::Missing;
    if (v.stage1Missing) return false;
  }
  // A directory's time changes with the stale files that the batch retires
  // from it: it is looked up as today's run would, once they are gone.
  if (have) run.pipeline.Commit();
  if (ahead) return ahead->Take(out);
  const size_t base = v.stage1Dir.size();
  v.stage1Dir += name;
  const bool found = run.stages.fs.Find(v.stage1Dir, platform::faAnyFile, out);
  v.stage1Dir.resize(base);
  return found;
}

// Whether the decision on this source entry asks the disk for stage 1's
// entry of its name with a lookup that may be made ahead: a file that
// passes the filters, which stage 1's listing (there and not empty) lacks,
// or every one with KeepExtra, which lists no stage 1.
bool LooksUpStageOne(const Run& run, Visit& v, const Listing::Item& item) {
  if ((item.attr & platform::faUnreadable) || !IsFile(item.attr) || !InDateRange(run, item.time)) {
    return false;
  }
  const std::string_view name = v.source.Name(item);
  if (!run.options.keepExtra && (v.stage1.Items().empty() || v.stage1.Find(name))) return false;
  return NamePasses(run, std::string(name));
}

// A source entry that the listing names but that cannot be looked up (a
// directory without the right to search it): its backup stays as it is, and
// that is told. One that has gone meanwhile is no concern.
void TellUnreadable(Run& run, Visit& v, std::string_view name) {
  const std::string path = v.sourceDir + std::string(name);
  if (run.stages.fs.KindOf(path) != platform::PathKind::Unknown) return;
  run.journal.Failed(path);
  run.Report();
}

// Whether the source file differs from what stage 1 holds under its name. A
// copy of another size holds other content, whichever is newer: a file put
// back with an older time (restored from stage 2, unpacked, moved in) is
// backed up too, and the newer copy it replaces becomes a generation. A
// newer copy of the same size is taken for the same file, since telling it
// apart would mean reading both. A directory in the way has no size to
// compare: only a newer source file, or one of the same time, is taken. A
// fifo or device that became a file, or the other way, is a change too.
bool Changed(const Listing::Item& source, const DirEntry& stage1) {
  if (source.time > stage1.time) return true;
  if ((source.attr ^ stage1.attr) & platform::faSpecial) return true;
  if (!IsFile(stage1.attr)) return source.time == stage1.time && source.size != stage1.size;
  return source.size != stage1.size;
}

// Whether the walk passes over this source entry in BackupFiles: one that
// cannot be made in stage 1, or that the filters leave out.
bool PassedOver(const Run& run, const Listing::Item& item) {
  if (!IsFile(item.attr) || !InDateRange(run, item.time)) return true;
  // A device that this process may not make is left out without a word.
  return (item.attr & (platform::faCharDevice | platform::faBlockDevice)) && !run.makesDevices;
}

// Notes the names of files with more than one name that stage 1 holds up to
// date, so that a new name of one of them becomes another name of that
// copy, wherever the listing puts it.
void NoteLinkedNames(Run& run, Visit& v) {
  if (run.options.keepExtra) return;
  for (const Listing::Item& item : v.source.Items()) {
    if (item.links < 2 || PassedOver(run, item)) continue;
    const std::string_view name = v.source.Name(item);
    const Listing::Item* have = v.stage1.Find(name);
    if (!have || (have->attr & platform::faDirectory)) continue;
    DirEntry stage1;
    stage1.attr = have->attr;
    stage1.size = have->size;
    stage1.time = have->time;
    if (Changed(item, stage1) || !NamePasses(run, std::string(name))) continue;
    run.links.Note(item.id, v.stage1Dir + std::string(name));
  }
}

// Every source file that passes the filters and that stage 1 lacks, or
// holds in an older version, is copied (after a rotation); another name of
// a file that stage 1 has (or is to have) becomes another name there.
void BackupFiles(Run& run, Visit& v) {
  std::string& name = v.name;
  DirEntry& stage1 = v.found;
  const std::vector<Listing::Item>& items = v.source.Items();
  NoteLinkedNames(run, v);
  // The lookups of the next names that stage 1's listing lacks are made
  // ahead, a few at a time: on a share each is a round trip.
  AheadWindow<std::shared_ptr<LookupAhead>> lookups(run.readers.Size());
  for (size_t i = 0; i < items.size(); ++i) {
    const Listing::Item& item = items[i];
    if (item.attr & platform::faUnreadable) {
      TellUnreadable(run, v, v.source.Name(item));
      continue;
    }
    if (PassedOver(run, item)) continue;
    name.assign(v.source.Name(item));
    if (!NamePasses(run, name)) continue;
    ++run.progress.counts.checked;
    run.progress.Tick();

    lookups.Fill(
        i, items.size(), [&](size_t j) { return LooksUpStageOne(run, v, items[j]); },
        [&](size_t j) -> std::optional<std::shared_ptr<LookupAhead>> {
          auto ahead = run.readers.StartLookup(v.stage1Dir + std::string(v.source.Name(items[j])));
          if (!ahead) return std::nullopt;
          return ahead;
        });
    const std::shared_ptr<LookupAhead> ahead = lookups.Take(i);
    const bool present = StageOneEntry(run, v, name, stage1, ahead.get());
    const bool linked = item.links > 1;
    if (present && !Changed(item, stage1)) {
      if (linked) run.links.Note(item.id, v.stage1Dir + name);
      continue;
    }
    const std::string linkTo = linked ? run.links.Find(item.id) : std::string();
    if (linked && linkTo.empty()) run.links.Note(item.id, v.stage1Dir + name);

    if (!run.options.dryRun) {
      // A directory whose listing was read is there: its copies need not ask.
      if (!v.copiesTried && !v.stage1.Items().empty()) run.stages.registry.KnownReady(1, v.r);
      v.copiesTried = true;
      if (present) {
        ++v.stageFilesTouched;
        Rotate(run, v.r, name, stage1.attr, linkTo);
      } else if (linkTo.empty()) {
        // Nothing was found in stage 1; should the lookup have failed on a
        // copy that is there, the new one does not replace it.
        CopyIn(run, v.r, name, false, false);
      } else {
        LinkIn(run, v.r, name, linkTo, false, false);
      }
    }
    run.progress.Copied(item.size);
    run.Report("copied  " + platform::ShownPath(v.sourceDir + name));
  }
}

// Stage-1 files that the source lacks, collected first and handled once the
// listing is complete.
void RetireStaleFiles(Run& run, Visit& v) {
  std::vector<const Listing::Item*> staleNames;
  for (const Listing::Item& item : v.stage1.Items()) {
    if (IsFile(item.attr) && !SourceHas(run, v.source, v.sourceDir, v.stage1.Name(item), false)) {
      staleNames.push_back(&item);
    }
  }
  std::string& name = v.name;
  Stages& stages = run.stages;
  for (const Listing::Item* item : staleNames) {
    name.assign(v.stage1.Name(*item));
    if (!run.options.dryRun) {
      ++v.stageFilesTouched;
      run.pipeline.Work(v.r, name, [&stages, r = v.r, name = name](Notes& notes) {
        RetireStale(stages, notes, r, name);
      });
    }
    run.Report("deleted " + platform::ShownPath(v.stage1Dir + name));
  }
}

// Lists the source directory, read ahead or here. False when the visit
// ends there: a directory that could not be read, or a tagged cache,
// leaves its backup as it is.
bool ListSource(Run& run, Visit& v, const Ahead& ahead) {
  if (ahead.source) {
    ahead.source->TakeInto(v.source);
  } else {
    v.source.Read(run.stages.fs, v.sourceDir, false, platform::faAnyFile | platform::faUnreadable);
  }
  // A listing of a directory that exists has "." and ".." at least. One that
  // yields nothing stands for a deleted directory only when the file system
  // says it is gone; one that could not be read is told.
  if (v.source.Items().empty()) {
    // Why the listing failed.
    const platform::PathKind kind = KindKeepingError(run.stages.fs, v.sourceDir);
    if (kind == platform::PathKind::Directory || kind == platform::PathKind::Unknown) {
      run.journal.Failed(v.sourceDir);
      run.Report();
      return false;
    }
  }
  return !IsTaggedCache(run, v.sourceDir, v.source);
}

// Stage 1 is listed before the walk goes deeper: where attributes come with
// a listing, as on a share, its subdirectories then need no lookup of their
// own. The walk below makes subdirectories here at most, of names the
// source has, which WalkStageOnlySubdirs passes over.
void ListStageOne(Run& run, Visit& v, const Ahead& ahead) {
  if (run.options.keepExtra) return;
  if (ahead.stage1) {
    ahead.stage1->TakeInto(v.stage1);
  } else {
    v.stage1.Read(run.stages.fs, v.stage1Dir);
  }
}

// Source subdirectories, depth first. The listings of the next few are read
// ahead while the walk is below the one before them. Nothing the walk does
// before it gets to a directory changes that directory: files are copied
// into their own directory only, and only after its subdirectories.
void WalkSourceSubdirs(Run& run, Visit& v) {
  const bool keepExtra = run.options.keepExtra;
  const std::vector<std::string>& dirs = run.stages.dirs;
  const std::vector<Listing::Item>& items = v.source.Items();
  if (!keepExtra) v.walked.assign(items.size(), kNotWalked);
  const auto subdir = [&](size_t j) { return IsSubdir(items[j].attr, v.source.Name(items[j])); };
  AheadWindow<Ahead> window(run.readers.Size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!subdir(i)) continue;
    window.Fill(i, items.size(), subdir, [&](size_t j) -> std::optional<Ahead> {
      const std::string next = v.r + std::string(v.source.Name(items[j])) + kDelim;
      Ahead read;
      read.source = run.readers.Start(dirs[0] + next, platform::faAnyFile | platform::faUnreadable);
      if (read.source && !keepExtra)
        read.stage1 = run.readers.Start(dirs[1] + next, platform::faAnyFile);
      return read;
    });
    const Ahead read = window.Take(i);
    const std::string sub = v.r + std::string(v.source.Name(items[i])) + kDelim;
    if (run.stages.registry.UnmadeStageIn(dirs[0] + sub)) run.pipeline.Commit();
    if (IsRoot(run, dirs[0] + sub)) continue;
    std::optional<StageDir> below = WalkDir(run, sub, read);
    if (keepExtra) continue;
    if (!below) {
      v.walked[i] = kWalkedLasting;
      continue;
    }
    v.walked[i] = kWalkedToStageDir + static_cast<uint32_t>(v.walkedBelow.size());
    v.walkedBelow.push_back(std::move(*below));
  }
}

// What WalkSourceSubdirs made of the stage-1 subdirectory `name`, which the
// source has too: nothing when the walk left something lasting in it; a
// StageDir not seen when the walk did not visit it under that name.
std::optional<StageDir> WalkedFromSource(Run& run, Visit& v, std::string_view name) {
  const Listing::Item* item = v.source.Find(name);
  const uint32_t walked = item ? v.walked[item - v.source.Items().data()] : kNotWalked;
  if (walked == kWalkedLasting) return std::nullopt;
  if (walked >= kWalkedToStageDir) {
    v.walked[item - v.source.Items().data()] = kWalkedTaken;
    return std::move(v.walkedBelow[walked - kWalkedToStageDir]);
  }
  return Unseen(run);
}

// Subdirectories that only stage 1 has. Its listing also serves the
// lookups of BackupFiles and the stale files of RetireStaleFiles: the walk
// changes no file in this directory before them, and BackupFiles touches
// only names that the source has. What becomes of each stage-1
// subdirectory is noted in `here`, in the listing's order, for the removal
// of emptied directories. True when one of them stays.
bool WalkStageOnlySubdirs(Run& run, Visit& v, StageDir& here) {
  bool lasting = false;
  for (const Listing::Item& item : v.stage1.Items()) {
    const std::string_view name = v.stage1.Name(item);
    if (IsFile(item.attr)) ++v.stageFiles;
    if (!IsSubdir(item.attr, name)) continue;
    std::optional<StageDir> below;
    if (SourceHas(run, v.source, v.sourceDir, name, true)) {
      below = WalkedFromSource(run, v, name);
    } else {
      const std::string sub = v.r + std::string(name) + kDelim;
      const std::string stage1Sub = run.stages.dirs[1] + sub;
      if (run.stages.registry.UnmadeStageIn(stage1Sub)) run.pipeline.Commit();
      if (IsRoot(run, stage1Sub)) {
        lasting = true;  // never removed
        continue;
      }
      below = WalkDir(run, sub);
    }
    if (!below) {
      lasting = true;
      continue;
    }
    if (below->seen && below->holds) lasting = true;
    if (run.stageDirCount > kMaxStageDirs) {
      here.seen = false;  // one it cannot note is judged from the listings
      continue;
    }
    below->name.assign(name);
    here.subdirs.push_back(std::move(*below));
  }
  return lasting;
}

// Subdirectories that WalkSourceSubdirs may have made: the listing does not
// tell their place, so this directory is listed again for the removal. One
// that the walk cannot have made is not there. True when there are any.
bool NoteMadeBelow(Run& run, Visit& v, StageDir& here) {
  const std::vector<Listing::Item>& items = v.source.Items();
  bool madeBelow = false;
  for (size_t i = 0; i < items.size(); ++i) {
    if (v.walked[i] < kWalkedToStageDir) continue;
    StageDir& below = v.walkedBelow[v.walked[i] - kWalkedToStageDir];
    if (!below.mayBeMade) continue;
    madeBelow = true;
    if (run.stageDirCount > kMaxStageDirs) {
      here.seen = false;
      break;
    }
    below.name.assign(v.source.Name(items[i]));
    here.subdirs.push_back(std::move(below));
  }
  return madeBelow;
}

// Every source directory that the walk enters has its stage-1 counterpart,
// empty or not: an empty directory can matter as much as a file (a git
// repository's refs, a Maildir's cur and new, a system's /tmp). One whose
// listing was read is there; one a copy went into was made for it. A file
// in its place is stale, and leaves with the parent's stale files: the
// next run makes the directory. True when it may have been made here.
bool MakeMissingStageOneDir(Run& run, Visit& v, bool inSource) {
  if (!inSource || run.options.dryRun || v.copiesTried || !v.stage1.Items().empty()) return false;
  if (v.stage1Missing < 0) {
    v.stage1Missing = run.stages.fs.KindOf(v.stage1Dir) == platform::PathKind::Missing;
  }
  if (!v.stage1Missing) return false;
  MakeStageOneDir(run, v.r);
  return true;
}

}  // namespace

bool IsRoot(Run& run, const std::string& path) {
  platform::FileId id;
  return run.stages.fs.Identity(path, id) && run.stages.registry.IsRoot(id);
}

std::optional<StageDir> WalkDir(Run& run, const std::string& r, const Ahead& ahead) {
  ++run.progress.counts.dirs;
  run.progress.Tick();
  const auto v = std::make_unique<Visit>();
  v->r = r;
  v->sourceDir = run.stages.dirs[0] + r;
  v->stage1Dir = run.stages.dirs[1] + r;
  const bool keepExtra = run.options.keepExtra;
  // Each directory is listed once; the subdirectories are walked after the
  // listing is complete, so no directory stays open while the walk goes deeper.
  if (!ListSource(run, *v, ahead)) {
    if (keepExtra) return std::nullopt;
    return Unseen(run);
  }
  ListStageOne(run, *v, ahead);
  WalkSourceSubdirs(run, *v);
  if (keepExtra) {
    BackupFiles(run, *v);
    MakeMissingStageOneDir(run, *v, !v->source.Items().empty());
    MatchToSource(run, v->stage1Dir);  // no removal of emptied directories follows
    return std::nullopt;
  }
  StageDir here;
  const bool lasting = WalkStageOnlySubdirs(run, *v, here);
  const bool madeBelow = NoteMadeBelow(run, *v, here);
  BackupFiles(run, *v);
  RetireStaleFiles(run, *v);
  // A listing of a directory that exists has "." and ".." at least. A
  // directory that the source has is part of the tree, and stays.
  const bool inSource = !v->source.Items().empty();
  const bool madeHere = MakeMissingStageOneDir(run, *v, inSource);
  here.holds = inSource || lasting || v->stageFiles > v->stageFilesTouched;
  here.mayBeMade = v->stage1.Items().empty() && (v->copiesTried || madeBelow || madeHere);
  here.listAgain = madeBelow || !here.holds;
  if (here.seen && !here.listAgain && here.subdirs.empty()) {
    // The removal of emptied directories passes it by: it is done with now.
    MatchToSource(run, v->stage1Dir);
    return std::nullopt;
  }
  return Noted(run, std::move(here));
}
