// The files of one visited directory: the comparison with stage 1, the
// copies and links into it, and the stale files that leave it.
#include "engine/Files.h"
#include "engine/Visit.h"

#include "engine/Walker.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "Masks.h"
#include "engine/Transfer.h"

namespace {

using platform::DirEntry;

bool InDateRange(const OptionSet& options, platform::FileTime t) {
  // Without the date option no file's day is asked for.
  if (options.firstDay == kNoFirstDay && options.lastDay == kNoLastDay) return true;
  const auto day = static_cast<platform::DateValue>(platform::LocalDay(t));
  return day >= options.firstDay && day <= options.lastDay;
}

// The include masks (the first fit ends the search), then the exclude masks.
bool NamePasses(const OptionSet& options, const std::string& fileName) {
  const std::vector<std::string>& include = options.includeMasks;
  const std::vector<std::string>& exclude = options.excludeMasks;
  if (include.empty() && exclude.empty()) return true;
  // A name is matched as the ANSI code page spells it, as the masks are.
  const std::string name = platform::AnsiSpelling(fileName);
  const auto fits = [&](const std::string& mask) { return NameFitsMask(name, mask); };
  if (!include.empty() && std::none_of(include.begin(), include.end(), fits)) return false;
  return std::none_of(exclude.begin(), exclude.end(), fits);
}

// What a listed stage-1 file tells of itself, as a lookup gives it.
void AsEntry(const Listing::Item& item, DirEntry& out) {
  out.attr = item.attr;
  out.size = item.size;
  out.time = item.time;
  out.links = item.links;
  out.id = item.id;
}

}  // namespace

// Stage 1's entry of that name, of any kind. Its listing answers for a file;
// otherwise the disk is asked, also for a directory, whose time a listing
// may leave out.
bool Walker::StageOneEntry(Visit& v, const std::string& name, DirEntry& out, LookupAhead* ahead) {
  const bool keepExtra = options_.keepExtra;
  const Listing::Item* have = keepExtra ? nullptr : v.stage1.Find(name);
  if (have && (have->attr & platform::faDirectory) == 0) {
    AsEntry(*have, out);
    return true;
  }
  // A stage-1 directory that is missing holds nothing, and once made by this
  // walk, nothing but its subdirectories and the copies of other names: it
  // is asked once, not for every file.
  if (!have && !keepExtra && v.stage1.Items().empty()) {
    if (v.stage1Missing < 0)
      v.stage1Missing = stages_.fs.KindOf(v.stage1Dir) == platform::PathKind::Missing;
    if (v.stage1Missing) return false;
  }
  // A directory's time changes with the stale files that the batch retires
  // from it: it is looked up as today's run would, once they are gone.
  if (have) pipeline_.Commit();
  if (ahead) return ahead->Take(out);
  const size_t base = v.stage1Dir.size();
  v.stage1Dir += name;
  const bool found = stages_.fs.Find(v.stage1Dir, platform::faAnyFile, out);
  v.stage1Dir.resize(base);
  return found;
}

// Whether the decision on this source entry asks the disk for stage 1's
// entry of its name with a lookup that may be made ahead: a file that
// passes the filters, which stage 1's listing (there and not empty) lacks,
// or every one with KeepExtra, which lists no stage 1.
bool Walker::LooksUpStageOne(Visit& v, const Listing::Item& item) const {
  if ((item.attr & platform::faUnreadable) || !platform::IsFile(item.attr) ||
      !InDateRange(options_, item.time)) {
    return false;
  }
  const std::string_view name = v.source.Name(item);
  if (!options_.keepExtra && (v.stage1.Items().empty() || v.stage1.Find(name))) return false;
  return NamePasses(options_, std::string(name));
}

// A source entry that the listing names but that cannot be looked up (a
// directory without the right to search it): its backup stays as it is, and
// that is told. One that has gone meanwhile is no concern.
void Walker::TellUnreadable(Visit& v, std::string_view name) {
  const std::string path = v.sourceDir + std::string(name);
  if (stages_.fs.KindOf(path) != platform::PathKind::Unknown) return;
  journal_.Failed(path);
  Report();
}

namespace {

// Whether the source file differs from what stage 1 holds under its name. An
// entry of another kind (a directory, a link, a fifo or device where a file
// was, or the other way) is always a change, whatever its time and size. A
// copy of another size holds other content, whichever is newer: a file put
// back with an older time (restored from stage 2, unpacked, moved in) is
// backed up too, and the newer copy it replaces becomes a generation. A
// newer copy of the same size is taken for the same file, since telling it
// apart would mean reading both. Times are compared in UTC, so the hour
// that a clock change repeats is no change; a source newer by no more than
// the run's clock is the copy's own time, which its file system cut.
bool Changed(const Listing::Item& source, const DirEntry& stage1, platform::FileTime clock) {
  if ((source.attr ^ stage1.attr) & platform::kKindBits) return true;
  return platform::LaterBy(source.time, stage1.time, clock) || source.size != stage1.size;
}

}  // namespace

// The kKeeps* kind of a source entry that stage 1 refuses: a fifo or a
// device (that the process could make) where it keeps none; 0 otherwise.
uint32_t Walker::RefusedKind(const Listing::Item& item) const {
  const bool device = item.attr & (platform::faCharDevice | platform::faBlockDevice);
  if ((item.attr & platform::faFifo) && !(settings_.keeps & platform::kKeepsFifos)) {
    return platform::kKeepsFifos;
  }
  if (device && settings_.makesDevices && !(settings_.keeps & platform::kKeepsDevices)) {
    return platform::kKeepsDevices;
  }
  return 0;
}

// A source entry listed as a file that stage 1 cannot get: a device that
// this process may not make, or one that stage 1 refuses. It counts as gone.
bool Walker::NotKept(const Listing::Item& item) const {
  const bool device = item.attr & (platform::faCharDevice | platform::faBlockDevice);
  return (device && !settings_.makesDevices) || RefusedKind(item) != 0;
}

// Whether the walk passes over this source entry in BackupFiles: one that
// cannot be made in stage 1, or that the filters leave out.
bool Walker::PassedOver(const Listing::Item& item) const {
  // A device that this process may not make is left out without a word.
  return !platform::IsFile(item.attr) || !InDateRange(options_, item.time) || NotKept(item);
}

// A name of a file with more than one name, up to date in stage 1 as the
// name `name` of `r` (`stage1` its entry there): the file's other names are
// linked to it, also those that this run has copied already.
void Walker::UpToDateName(const platform::FileId& id, const std::string& r, std::string_view name,
                          const DirEntry& stage1) {
  const std::string stage1Path = stages_.Path(1, r, name);
  LinkGroups::Group* group = links_.Find(id);
  if (group && group->upToDate) {
    // Two up-to-date names that stage 1 holds as separate files (a run
    // stopped between a copy and its relink) become one file again.
    const bool same = stage1.links > 1 && group->firstId && *group->firstId == stage1.id;
    if (same || options_.dryRun || stage1Path == group->first) return;
    if (!group->firstId && stage1.links > 1) {
      // The first name met is such a copy, of one name; the file that has
      // the names (in the later stages too) keeps them, and takes it.
      Relink(group->firstR, group->firstName, stage1Path, nullptr);
      group->first = stage1Path;
      group->firstR = r;
      group->firstName = name;
      group->firstId = stage1.id;
      return;
    }
    Relink(r, std::string(name), group->first, nullptr);
    return;
  }
  if (!group && !(group = links_.Add(id))) return;
  if (stage1.links > 1) group->firstId = stage1.id;
  if (!options_.dryRun) {
    for (const LinkGroups::Group::Name& n : group->copied) {
      Relink(n.r, n.name, stage1Path, n.placed);
    }
  }
  group->copied.clear();
  group->first = stage1Path;
  group->firstR = r;
  group->firstName = name;
  group->upToDate = true;
  group->placed.reset();
}

// A name of a file with more than one name that this run backs up: how it
// reaches stage 1, as a copy (the first name of its file that the run
// meets) or as a link to the copy of another name.
LinkPlan Walker::CopiedName(const platform::FileId& id, const std::string& r,
                            const std::string& name) {
  LinkGroups::Group* group = links_.Find(id);
  LinkPlan plan;
  plan.own = std::make_shared<Placement>();
  if (group) {
    plan.to = group->first;
    plan.target = group->placed;
  } else if (!(group = links_.Add(id))) {
    return plan;
  } else {
    group->first = stages_.dirs[1] + r + name;
    group->placed = plan.own;
  }
  if (!group->upToDate) group->copied.push_back({r, name, plan.own});
  return plan;
}

// Notes the names of files with more than one name that stage 1 holds up to
// date, so that a new name of one of them becomes another name of that
// copy, wherever the listing puts it.
void Walker::NoteLinkedNames(Visit& v) {
  if (options_.keepExtra) return;
  for (const Listing::Item& item : v.source.Items()) {
    if (item.links < 2 || PassedOver(item)) continue;
    const std::string_view name = v.source.Name(item);
    const Listing::Item* have = v.stage1.Find(name);
    if (!have || (have->attr & platform::faDirectory)) continue;
    DirEntry stage1;
    AsEntry(*have, stage1);
    if (Changed(item, stage1, settings_.clock) || !NamePasses(options_, std::string(name)))
      continue;
    UpToDateName(item.id, v.r, name, stage1);
  }
}

// Whether the source directory (listed as `source`, spelled `dir`) has an
// entry of this name of the wanted kind. The listing answers when it names
// one; otherwise the disk is asked, which also finds a name that differs only
// in case where the file system ignores case. A name that cannot be looked up
// counts as there, and is told: only what the file system says is gone is
// taken for gone.
bool Walker::SourceHas(Listing& source, std::string& dir, std::string_view name, bool wantDir) {
  const Listing::Item* item = source.Find(name);
  // One that the listing names but could not look up is told by BackupFiles.
  if (item && (item->attr & platform::faUnreadable)) return true;
  if (item && ((item->attr & platform::faDirectory) != 0) == wantDir) {
    return wantDir || !NotKept(*item);
  }
  const size_t base = dir.size();
  dir += name;
  platform::PathKind kind = stages_.fs.KindOf(dir);
  if (kind == platform::PathKind::Unknown) {
    journal_.Failed(dir);
    Report();
  }
  // A socket is a file to KindOf, but nothing that a listing names.
  if (kind == platform::PathKind::File && !wantDir && !stages_.fs.FileExists(dir)) {
    kind = platform::PathKind::Missing;
  }
  dir.resize(base);
  return kind == platform::PathKind::Unknown ||
         kind == (wantDir ? platform::PathKind::Directory : platform::PathKind::File);
}

// Every source file that passes the filters and that stage 1 lacks, or
// holds in an older version, is copied (after a rotation); another name of
// a file that stage 1 has (or is to have) becomes another name there.
void Walker::BackupFiles(Visit& v) {
  std::string& name = v.name;
  DirEntry& stage1 = v.found;
  const std::vector<Listing::Item>& items = v.source.Items();
  NoteLinkedNames(v);
  // The lookups of the next names that stage 1's listing lacks are made
  // ahead, a few at a time: on a share each is a round trip.
  AheadWindow<std::shared_ptr<LookupAhead>> lookups(readers_.Size());
  for (size_t i = 0; i < items.size(); ++i) {
    const Listing::Item& item = items[i];
    if (item.attr & platform::faUnreadable) {
      TellUnreadable(v, v.source.Name(item));
      continue;
    }
    if (PassedOver(item)) {
      // What stage 1 refuses is told once, where the filters would take it.
      const uint32_t refused = platform::IsFile(item.attr) ? RefusedKind(item) : 0;
      if (refused && InDateRange(options_, item.time) &&
          NamePasses(options_, std::string(v.source.Name(item)))) {
        TellUnkept(1, refused);
      }
      continue;
    }
    name.assign(v.source.Name(item));
    if (!NamePasses(options_, name)) continue;
    ++progress_.counts.checked;
    progress_.Tick();

    lookups.Fill(
        i, items.size(), [&](size_t j) { return LooksUpStageOne(v, items[j]); },
        [&](size_t j) -> std::optional<std::shared_ptr<LookupAhead>> {
          auto ahead = readers_.StartLookup(v.stage1Dir + std::string(v.source.Name(items[j])));
          if (!ahead) return std::nullopt;
          return ahead;
        });
    const std::shared_ptr<LookupAhead> ahead = lookups.Take(i);
    const bool present = StageOneEntry(v, name, stage1, ahead.get());
    const bool linked = item.links > 1;
    if (present && !Changed(item, stage1, settings_.clock)) {
      if (linked) UpToDateName(item.id, v.r, name, stage1);
      continue;
    }
    // A stage-1 directory of that name was retired with its files before
    // (WalkStageOnlySubdirs); one that stayed is told with what kept it.
    if (present && !platform::IsFile(stage1.attr) && !options_.keepExtra && !options_.dryRun) {
      journal_.Failed(v.sourceDir + name, "stage 1 holds a directory of this name");
      Report();
      continue;
    }
    const LinkPlan plan = linked ? CopiedName(item.id, v.r, name) : LinkPlan();

    if (linked && !(settings_.keeps & platform::kKeepsLinks)) TellUnkept(1, platform::kKeepsLinks);
    if (!options_.dryRun) {
      // A directory whose listing was read is there: its copies need not ask.
      if (!v.copiesTried && !v.stage1.Items().empty()) stages_.registry.KnownReady(1, v.r);
      if (!v.copiesTried && options_.keepExtra) ClearLeftovers(v);
      v.copiesTried = true;
      if (present) {
        ++v.stageFilesTouched;
        Rotate(v.r, name, stage1.attr, plan);
      } else if (plan.to.empty()) {
        // Nothing was found in stage 1; should the lookup have failed on a
        // copy that is there, the new one does not replace it.
        CopyIn(v.r, name, false, false, plan.own);
      } else {
        LinkIn(v.r, name, plan, false, false);
      }
    }
    progress_.Copied(item.size);
    Report("copied  " + platform::ShownPath(v.sourceDir + name));
  }
}

bool Leftover(Visit& v, const Listing::Item& item) {
  const std::string_view name = v.stage1.Name(item);
  return platform::IsFile(item.attr) && platform::IsStagingName(name) && !v.source.Find(name);
}

// The leftover `name` of the visit's stage-1 directory goes.
void Walker::DropLeftover(Visit& v, const std::string& name) {
  Stages& stages = stages_;
  pipeline_.QueueFileWork(v.r, name, [&stages, path = v.stage1Dir + name] {
    Notes notes;
    DeleteFromStage(stages, notes, path);
    return notes;
  });
}

void Walker::ClearLeftovers(Visit& v) {
  if (options_.dryRun) return;
  bool found = false;
  if (options_.keepExtra) {
    // Stage 1 is not listed: its directory is, for their names alone, where
    // this run is about to copy.
    std::vector<std::string> names;
    stages_.fs.ListKinds(v.stage1Dir + "*.*", platform::faAnyFile, [&](const DirEntry& e) {
      if (platform::IsFile(e.attr) && platform::IsStagingName(e.name) && !v.source.Find(e.name)) {
        names.push_back(e.name);
      }
    });
    for (const std::string& name : names) DropLeftover(v, name);
    found = !names.empty();
  } else {
    for (const Listing::Item& item : v.stage1.Items()) {
      if (!Leftover(v, item)) continue;
      DropLeftover(v, std::string(v.stage1.Name(item)));
      found = true;
    }
  }
  // The space they held is free before this directory's copies are written.
  if (found) pipeline_.Commit();
}

void Walker::Retire(Visit& v, const std::string& name) {
  ++v.stageFilesTouched;  // a dry run too, which judges emptied directories by it
  if (!options_.dryRun) {
    Stages& stages = stages_;
    pipeline_.QueueFileWork(v.r, name, [&stages, r = v.r, name] {
      Notes notes;
      RetireStale(stages, notes, r, name);
      return notes;
    });
  }
  // With KeepExtra nothing leaves stage 1 but what a change moves down, which
  // the copies tell.
  if (!options_.keepExtra) Report("deleted " + platform::ShownPath(v.stage1Dir + name));
}

// Stage-1 files that the source lacks, collected first and handled once the
// listing is complete.
void Walker::RetireStaleFiles(Visit& v) {
  std::vector<const Listing::Item*> staleNames;
  for (const Listing::Item& item : v.stage1.Items()) {
    if (!platform::IsFile(item.attr) || Leftover(v, item)) continue;
    const std::string_view name = v.stage1.Name(item);
    if (SourceHas(v.source, v.sourceDir, name, false)) continue;
    const auto& early = v.retiredEarly;
    if (std::find(early.begin(), early.end(), name) == early.end()) staleNames.push_back(&item);
  }
  for (const Listing::Item* item : staleNames) Retire(v, std::string(v.stage1.Name(*item)));
}
