// The transfers between stages. A copy into stage 1 is staged by a writer
// and named once its batch is on disk; a move down is a rename.
#include "engine/Transfer.h"

#include "engine/Walk.h"
#include "platform/Platform.h"

namespace {

const std::string kDelim(1, platform::PathDelim);

// Moves the file `name` of the directory `r` from stage `from` (1 or
// later) into the next stage; true when it took place.
bool MoveOn(Stages& stages, Notes& notes, size_t from, const std::string& r,
            const std::string& name) {
  const size_t n = stages.dirs.size();
  if (from == 0 || from + 2 > n) return false;
  platform::PumpMessages();
  if (!ReadyTarget(stages, notes, from + 1, r)) return false;
  stages.registry.NoteMovedIn(from + 1, r, name);
  stages.changed = true;
  const std::string source = stages.Path(from, r, name);
  // The last stage's copy gives way to the one moving in, but only once
  // that one has arrived: a move that fails leaves the oldest generation.
  const bool done = stages.fs.MoveFile(source, stages.Path(from + 1, r, name), from + 2 == n);
  if (!done) notes.Failed(source);
  return done;
}

// The copies of that name in stages n - 2 down to `lowest` each move one
// stage on, oldest first, so that every move finds its target emptied.
void MoveDown(Stages& stages, Notes& notes, const std::string& r, const std::string& name,
              size_t lowest) {
  for (size_t k = stages.dirs.size() - 2; k >= lowest; --k) {
    if (stages.registry.MayHold(k, r, name) && stages.fs.FileExists(stages.Path(k, r, name))) {
      MoveOn(stages, notes, k, r, name);
    }
  }
}

// True when a directory of that name in a later stage keeps stage 1's copy
// from ever moving down: every stage before it holds a file, which cannot
// move on into the directory, and no later run would get further. The new
// copy then takes stage 1's place after all, or no newer version of the
// file could ever be kept.
bool BlockedForGood(Stages& stages, const std::string& r, const std::string& name) {
  for (size_t k = 2; k < stages.dirs.size(); ++k) {
    const platform::PathKind kind = stages.fs.KindOf(stages.Path(k, r, name));
    if (kind == platform::PathKind::Directory) return true;
    if (kind != platform::PathKind::File) return false;
  }
  return false;
}

// Stage 1's copy and the generations after it move down a stage each,
// oldest first (the last stage's copy giving way). False when stage 1's
// copy stays: it could not move down, and something could (BlockedForGood).
bool MakeRoom(Stages& stages, Notes& notes, const std::string& r, const std::string& name) {
  MoveDown(stages, notes, r, name, 2);
  return MoveOn(stages, notes, 1, r, name) || BlockedForGood(stages, r, name);
}

// Names a staged copy once its batch is flushed: after MakeRoom when
// `rotate`, replacing stage 1's file when `replace`.
void PlaceCopy(Stages& stages, Notes& notes, platform::StagedFile& file, const std::string& r,
               const std::string& name, bool replace, bool rotate) {
  // A copy whose flush failed may have lost its bytes: it is not named, and
  // no generation moves for it.
  if (!file.flushed) {
    notes.Failed(file.From(), file.flushFailure);
    return;
  }
  // A copy withheld because stage 1's copy could not move down is told by
  // that move.
  if (rotate && !MakeRoom(stages, notes, r, name)) return;
  if (!stages.fs.PlaceStaged(file, replace)) notes.Failed(file.From());
}

// Deletes a file; one that is gone already is as good as deleted.
void Delete(Stages& stages, Notes& notes, const std::string& path) {
  stages.changed = true;
  if (!stages.fs.DeleteFile(path)) FailedUnlessGone(stages.fs, notes, path);
}

}  // namespace

void Rotate(Run& run, const std::string& r, const std::string& name, uint32_t stage1,
            const std::string& linkTo) {
  // A directory of that name keeps the copy from its place for good; the
  // copy is still tried, without replacing, so that its failure is told.
  const bool replace = IsFile(stage1);
  const bool rotate = replace && run.stages.dirs.size() > 2;
  if (linkTo.empty()) {
    CopyIn(run, r, name, replace, rotate);
  } else {
    LinkIn(run, r, name, linkTo, replace, rotate);
  }
}

namespace {

// On the walk's thread, before a copy or a link into the directory `r` of
// stage 1: makes it where it is missing; false when it cannot be made.
bool ReadyForStageOne(Run& run, const std::string& r) {
  platform::PumpMessages();
  Notes notes;
  const bool ready = ReadyTarget(run.stages, notes, 1, r);
  run.journal.Add(std::move(notes.lines));
  if (ready) run.stages.changed = true;
  return ready;
}

}  // namespace

void CopyIn(Run& run, const std::string& r, const std::string& name, bool replace, bool rotate) {
  if (!ReadyForStageOne(run, r)) return;
  Stages& stages = run.stages;
  run.pipeline.Add(r, name, stages.Path(0, r, name), stages.Path(1, r, name), rotate,
                   [&stages, r, name, replace, rotate](platform::StagedFile& staged, Notes& notes) {
                     PlaceCopy(stages, notes, staged, r, name, replace, rotate);
                   });
}

void LinkIn(Run& run, const std::string& r, const std::string& name, const std::string& existing,
            bool replace, bool rotate) {
  if (!ReadyForStageOne(run, r)) return;
  Stages& stages = run.stages;
  // After the namings of the batch: `existing` may be a copy it names.
  // Nothing is written in place, so the generations of one name never
  // change the bytes of another.
  run.pipeline.AfterNamings(r, name, [&stages, r, name, existing, replace, rotate](Notes& notes) {
    if (rotate && !MakeRoom(stages, notes, r, name)) return;
    if (!stages.fs.LinkFile(existing, stages.Path(1, r, name), replace)) {
      notes.Failed(stages.Path(0, r, name));
    }
  });
}

void Relink(Run& run, const std::string& r, const std::string& name, const std::string& existing) {
  Stages& stages = run.stages;
  run.pipeline.AfterNamings(r, name, [&stages, r, name, existing](Notes& notes) {
    const std::string to = stages.Path(1, r, name);
    if (!stages.fs.LinkFile(existing, to, true)) notes.Failed(to);
  });
}

void MakeStageOneDir(Run& run, const std::string& r) {
  Notes notes;
  ReadyTarget(run.stages, notes, 1, r);
  run.journal.Add(std::move(notes.lines));
}

void MatchToSource(Run& run, const std::string& stage1Dir) {
  const std::vector<std::string>& dirs = run.stages.dirs;
  if (run.options.dryRun || stage1Dir.compare(0, dirs[1].size(), dirs[1]) != 0) return;
  // After what the batch holds for it: the naming of its copies and the
  // stale files that leave it change its time.
  Stages& stages = run.stages;
  run.pipeline.Finish([&stages, stage1Dir](Notes& notes) {
    const std::string source = stages.dirs[0] + stage1Dir.substr(stages.dirs[1].size());
    if (!stages.fs.MatchDirectory(source, stage1Dir)) notes.Failed(stage1Dir);
  });
}

void RetireStale(Stages& stages, Notes& notes, const std::string& r, const std::string& name) {
  if (stages.dirs.size() <= 2) {
    Delete(stages, notes, stages.Path(1, r, name));
    return;
  }
  MoveDown(stages, notes, r, name, 1);
}

bool ReadyTarget(Stages& stages, Notes& notes, size_t k, const std::string& r) {
  std::string target = stages.dirs[k] + r;
  if (!stages.registry.StartMaking(k, target)) return true;
  std::string failedAt;
  std::vector<std::string> made;
  const bool ready = platform::CreateDirChain(stages.fs, target, &failedAt, &made);
  if (!made.empty()) stages.changed = true;
  if (!ready) notes.Failed(failedAt + kDelim);
  DressMadeDirs(stages, notes, k, made);
  // A stage that did not exist at the start is identified once made,
  // before the walk can meet it inside the source.
  if (stages.registry.Unidentified(k)) {
    platform::FileId id;
    if (stages.fs.Identity(stages.dirs[k], id)) stages.registry.Identify(k, true, id);
  }
  stages.registry.Made(k, std::move(target), made, ready);
  return ready;
}

void DressMadeDirs(Stages& stages, Notes& notes, size_t k, const std::vector<std::string>& made) {
  // The stage's own top directory, the one the user named, takes only the
  // bits and stays the running user's; the directories above it are left
  // as made. A directory of a later stage takes what its stage-1
  // counterpart keeps when the source has none.
  const std::string& stage = stages.dirs[k];
  std::string top = stage;
  while (top.size() > 1 && top.back() == platform::PathDelim) top.pop_back();
  for (const std::string& dir : made) {
    std::string r;
    if (dir.size() > top.size() && dir.compare(0, stage.size(), stage) == 0) {
      r = dir.substr(stage.size()) + kDelim;
    } else if (dir != top) {
      continue;
    }
    std::string from = stages.dirs[0] + r;
    if (k > 1 && !stages.fs.DirectoryExists(from)) from = stages.dirs[1] + r;
    if (!stages.fs.KeepDirAttributes(from, dir, !r.empty())) notes.Failed(dir + kDelim);
  }
}

platform::PathKind KindKeepingError(platform::FileSystem& fs, const std::string& path) {
  const platform::ErrorKeeper keep;
  return fs.KindOf(path);
}

void FailedUnlessGone(platform::FileSystem& fs, Notes& notes, const std::string& path) {
  if (KindKeepingError(fs, path) != platform::PathKind::Missing) notes.Failed(path);
}
