// The generational walk, one directory at a time: each is listed once, its
// subdirectories walked first (the listings of the next ones read ahead
// meanwhile), then its files (Files.cpp) and its stale files.
#include "engine/Walker.h"

#include <algorithm>
#include <deque>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/Failures.h"
#include "engine/Files.h"
#include "engine/FoldedNames.h"
#include "engine/Transfer.h"
#include "engine/Visit.h"

namespace {

const std::string kDelim(1, platform::PathDelim);

// A directory that holds a valid cache directory tag (a CACHEDIR.TAG file
// beginning with the Cache Directory Tagging signature) is passed over, as
// tar and the common backup tools do. Only a listing that names the file
// costs a look.
bool IsTaggedCache(platform::FileSystem& fs, const std::string& dir, Listing& listing) {
  static constexpr std::string_view kSignature = "Signature: 8a477f597d28d172789f06886806bc55";
  const Listing::Item* tag = listing.Find("CACHEDIR.TAG");
  if (!tag || !platform::IsFile(tag->attr) || (tag->attr & platform::faSpecial)) return false;
  std::string start;
  return fs.ReadStart(dir + "CACHEDIR.TAG", kSignature.size(), start) && start == kSignature;
}

}  // namespace

// Lists the source directory, read ahead or here. False when the visit
// ends there: a directory that could not be read, or a tagged cache,
// leaves its backup as it is.
bool Walker::ListSource(Visit& v, const Ahead& ahead) {
  if (ahead.source) {
    ahead.source->TakeInto(v.source);
  } else {
    v.source.Read(stages_.fs, v.sourceDir, false, platform::faAnyFile | platform::faUnreadable);
  }
  // A listing of a directory that exists has "." and ".." at least. One that
  // yields nothing stands for a deleted directory only when the file system
  // says it is gone; one that could not be read is told.
  if (v.source.Items().empty()) {
    // Why the listing failed.
    const platform::PathKind kind = KindKeepingError(stages_.fs, v.sourceDir);
    if (kind == platform::PathKind::Directory || kind == platform::PathKind::Unknown) {
      journal_.Failed(v.sourceDir);
      Report();
      return false;
    }
  }
  return !IsTaggedCache(stages_.fs, v.sourceDir, v.source);
}

// Stage 1 is listed before the walk goes deeper: where attributes come with
// a listing, as on a share, its subdirectories then need no lookup of their
// own. The walk below makes subdirectories here at most, of names the
// source has, which WalkStageOnlySubdirs passes over.
void Walker::ListStageOne(Visit& v, const Ahead& ahead) {
  if (options_.keepExtra) return;
  if (ahead.stage1) {
    ahead.stage1->TakeInto(v.stage1);
  } else {
    v.stage1.Read(stages_.fs, v.stage1Dir);
  }
}

namespace {

// Stage 1's top directory holds the run's lock file, which is no file of
// the backup: the walk never sees it, and an entry of that name at the top
// of the source (a stage 1 backed up in turn) is not backed up over it.
void LeaveOutLockFile(Visit& v) {
  if (!v.r.empty()) return;
  v.source.Drop([](std::string_view name, uint32_t) { return platform::IsRunLockName(name); });
  v.stage1.Drop([](std::string_view name, uint32_t attr) {
    return platform::IsFile(attr) && platform::IsRunLockName(name);
  });
}

}  // namespace

// A stage-1 entry of another kind where the source now has a directory
// leaves before the walk goes in, as a stale file does, so that the
// directory is made in this run.
void Walker::RetireInTheWay(Visit& v, std::string_view name) {
  if (options_.keepExtra) {
    // Stage 1 is not listed: the disk is asked.
    if (stages_.fs.KindOf(v.stage1Dir + std::string(name)) != platform::PathKind::File) return;
  } else {
    const Listing::Item* have = v.stage1.Find(name);
    if (!have || !platform::IsFile(have->attr)) return;
  }
  v.retiredEarly.emplace_back(name);
  Retire(v, v.retiredEarly.back());
  pipeline_.Commit();
}

// Source subdirectories, depth first. The listings of the next few are read
// ahead while the walk is below the one before them. Nothing the walk does
// before it gets to a directory changes that directory: files are copied
// into their own directory only, and only after its subdirectories.
void Walker::WalkSourceSubdirs(Visit& v) {
  const bool keepExtra = options_.keepExtra;
  const std::vector<std::string>& dirs = stages_.dirs;
  const std::vector<Listing::Item>& items = v.source.Items();
  if (!keepExtra) v.walked.assign(items.size(), SourceSubdir());
  const auto subdir = [&](size_t j) {
    return platform::IsSubdir(items[j].attr, v.source.Name(items[j]));
  };
  AheadWindow<Ahead> window(readers_.Size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!subdir(i)) continue;
    window.Fill(i, items.size(), subdir, [&](size_t j) -> std::optional<Ahead> {
      const std::string next = v.r + std::string(v.source.Name(items[j])) + kDelim;
      Ahead read;
      read.source = readers_.Start(dirs[0] + next, platform::faAnyFile | platform::faUnreadable);
      if (read.source && !keepExtra)
        read.stage1 = readers_.Start(dirs[1] + next, platform::faAnyFile);
      return read;
    });
    const Ahead read = window.Take(i);
    const std::string sub = v.r + std::string(v.source.Name(items[i])) + kDelim;
    if (stages_.registry.UnmadeStageIn(dirs[0] + sub)) pipeline_.Commit();
    if (stages_.IsRoot(dirs[0] + sub)) {
      Report("skipped " + platform::ShownPath(dirs[0] + sub));  // a stage inside the source
      continue;
    }
    RetireInTheWay(v, v.source.Name(items[i]));
    Walked below = WalkDir(sub, read);
    if (keepExtra) continue;
    if (below.kind == Walked::Kind::Lasting) {
      v.walked[i].state = SourceSubdir::State::Lasting;
      continue;
    }
    v.walked[i] = {SourceSubdir::State::Noted, static_cast<uint32_t>(v.walkedBelow.size())};
    v.walkedBelow.push_back(std::move(below));
  }
}

// What WalkSourceSubdirs made of the stage-1 subdirectory `name`, which the
// source has too; Unseen when the walk did not visit it under that name.
Walked Walker::WalkedFromSource(Visit& v, std::string_view name) {
  const Listing::Item* item = v.source.Find(name);
  if (!item) return UnseenDir();
  SourceSubdir& walked = v.walked[item - v.source.Items().data()];
  switch (walked.state) {
    case SourceSubdir::State::Lasting:
      return Walked();
    case SourceSubdir::State::Noted:
      walked.state = SourceSubdir::State::Taken;
      return std::move(v.walkedBelow[walked.below]);
    case SourceSubdir::State::NotWalked:
    case SourceSubdir::State::Taken:
      break;
  }
  return UnseenDir();
}

// Subdirectories that only stage 1 has. Its listing also serves the
// lookups of BackupFiles and the stale files of RetireStaleFiles: the walk
// changes no file in this directory before them, and BackupFiles touches
// only names that the source has. What becomes of each stage-1
// subdirectory is noted in `here`, in the listing's order, for the removal
// of emptied directories. True when one of them stays.
bool Walker::WalkStageOnlySubdirs(Visit& v, SeenDir& here) {
  bool lasting = false;
  for (const Listing::Item& item : v.stage1.Items()) {
    const std::string_view name = v.stage1.Name(item);
    if (platform::IsFile(item.attr) && !Leftover(v, item)) ++v.stageFiles;
    if (!platform::IsSubdir(item.attr, name)) continue;
    Walked below;
    if (SourceHas(v.source, v.sourceDir, name, true)) {
      below = WalkedFromSource(v, name);
    } else {
      const std::string sub = v.r + std::string(name) + kDelim;
      const std::string stage1Sub = stages_.dirs[1] + sub;
      if (stages_.registry.UnmadeStageIn(stage1Sub)) pipeline_.Commit();
      if (stages_.IsRoot(stage1Sub)) {
        lasting = true;  // never removed
        continue;
      }
      below = WalkDir(sub, Ahead());
      // Where the source now has an entry of another kind, the emptied
      // directory goes at once, so that the entry takes its place in this
      // run.
      const Listing::Item* now = v.source.Find(name);
      if (now && !(now->attr & platform::faDirectory)) {
        pipeline_.Commit();
        if (!RemoveIfEmpty(stage1Sub, below.Judged())) lasting = true;
        continue;
      }
    }
    if (below.kind == Walked::Kind::Lasting) {
      lasting = true;
      continue;
    }
    if (below.kind == Walked::Kind::Seen && below.dir.holds) lasting = true;
    if (seenDirCount_ > kMaxSeenDirs) {
      here.seen = false;  // one it cannot note is judged from the listings
      continue;
    }
    below.dir.name.assign(name);
    here.subdirs.push_back(std::move(below.dir));
  }
  return lasting;
}

// Subdirectories that WalkSourceSubdirs may have made: the listing does not
// tell their place, so this directory is listed again for the removal. One
// that the walk cannot have made is not there. True when there are any.
bool Walker::NoteMadeBelow(Visit& v, SeenDir& here) {
  const std::vector<Listing::Item>& items = v.source.Items();
  bool madeBelow = false;
  for (size_t i = 0; i < items.size(); ++i) {
    if (v.walked[i].state != SourceSubdir::State::Noted) continue;
    SeenDir& below = v.walkedBelow[v.walked[i].below].dir;
    if (!below.mayBeMade) continue;
    madeBelow = true;
    if (seenDirCount_ > kMaxSeenDirs) {
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
bool Walker::MakeMissingStageOneDir(Visit& v, bool inSource) {
  if (!inSource || options_.dryRun || v.copiesTried || !v.stage1.Items().empty()) return false;
  if (v.stage1Missing < 0) {
    v.stage1Missing = stages_.fs.KindOf(v.stage1Dir) == platform::PathKind::Missing;
  }
  if (!v.stage1Missing) return false;
  MakeStageOneDir(v.r);
  return true;
}

namespace {

// The names of a listing, in its order.
std::vector<std::string_view> Names(const Listing& listing) {
  std::vector<std::string_view> names;
  names.reserve(listing.Items().size());
  for (const Listing::Item& item : listing.Items()) names.push_back(listing.Name(item));
  return names;
}

}  // namespace

void Walker::FoldNames(Visit& v) {
  if (!settings_.foldsCase) return;
  const auto fold = [](std::string_view name) { return platform::FoldedName(name); };
  FoldPlan plan =
      PlanFoldedNames(Names(v.source), Names(v.stage1), settings_.stage1FoldsCase, fold);
  if (plan.passed.empty() && plan.respelled.empty()) return;
  if (options_.keepExtra && !plan.passed.empty()) {
    // Stage 1 is not listed with KeepExtra: which spelling it holds decides.
    Listing stage1;
    stage1.Read(stages_.fs, v.stage1Dir, true);
    plan = PlanFoldedNames(Names(v.source), Names(stage1), false, fold);
  }
  for (const auto& [at, name] : plan.respelled) v.stage1.Respell(v.stage1.Items()[at], name);
  if (plan.passed.empty()) return;
  std::unordered_set<std::string> passed;
  for (const FoldPlan::Passed& p : plan.passed) {
    journal_.Failed(v.sourceDir + p.name,
                    "stage 1 holds a name that differs only in case: " + p.kept);
    Report();
    passed.insert(p.name);
  }
  v.source.Drop([&](std::string_view name, uint32_t) { return passed.count(std::string(name)); });
}

Walked Walker::WalkDir(const std::string& r, const Ahead& ahead) {
  ++progress_.counts.dirs;
  progress_.Tick();
  const auto v = std::make_unique<Visit>();
  v->r = r;
  v->sourceDir = stages_.dirs[0] + r;
  v->stage1Dir = stages_.dirs[1] + r;
  const bool keepExtra = options_.keepExtra;
  // Each directory is listed once; the subdirectories are walked after the
  // listing is complete, so no directory stays open while the walk goes deeper.
  if (!ListSource(*v, ahead)) {
    if (keepExtra) return Walked();
    return UnseenDir();
  }
  ListStageOne(*v, ahead);
  LeaveOutLockFile(*v);
  FoldNames(*v);
  if (!keepExtra) ClearLeftovers(*v);  // with KeepExtra, before the first copy
  WalkSourceSubdirs(*v);
  if (keepExtra) {
    BackupFiles(*v);
    MakeMissingStageOneDir(*v, !v->source.Items().empty());
    MatchToSource(v->stage1Dir);  // no removal of emptied directories follows
    return Walked();
  }
  SeenDir here;
  const bool lasting = WalkStageOnlySubdirs(*v, here);
  const bool madeBelow = NoteMadeBelow(*v, here);
  BackupFiles(*v);
  RetireStaleFiles(*v);
  // A listing of a directory that exists has "." and ".." at least. A
  // directory that the source has is part of the tree, and stays.
  const bool inSource = !v->source.Items().empty();
  const bool madeHere = MakeMissingStageOneDir(*v, inSource);
  here.holds = inSource || lasting || v->stageFiles > v->stageFilesTouched;
  here.mayBeMade = v->stage1.Items().empty() && (v->copiesTried || madeBelow || madeHere);
  here.listAgain = madeBelow || !here.holds;
  if (here.seen && !here.listAgain && here.subdirs.empty()) {
    // The removal of emptied directories passes it by: it is done with now.
    MatchToSource(v->stage1Dir);
    return Walked();
  }
  return NoteSeen(std::move(here));
}
