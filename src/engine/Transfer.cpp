// The transfers between stages. A copy into stage 1 is staged by a writer
// and named once its batch is on disk; a move down is a rename.
#include "engine/Transfer.h"

#include "engine/Failures.h"
#include "platform/Platform.h"

namespace {

const std::string kDelim(1, platform::PathDelim);

bool ShiftOn(Stages& stages, Notes& notes, size_t k, const std::string& r, const std::string& name);

// The entries of the stage directory `dir`, with their attributes.
std::vector<std::pair<std::string, uint32_t>> Entries(Stages& stages, const std::string& dir) {
  std::vector<std::pair<std::string, uint32_t>> entries;
  stages.fs.ListKinds(dir + "*.*", platform::faAnyFile, [&](const platform::DirEntry& e) {
    if (e.name != "." && e.name != "..") entries.emplace_back(e.name, e.attr);
  });
  return entries;
}

// Removes the directory `dir` (ending with the separator) and everything
// below it; a link below it is removed, never followed.
bool RemoveTree(Stages& stages, Notes& notes, const std::string& dir) {
  bool removed = true;
  for (const auto& [name, attr] : Entries(stages, dir)) {
    const std::string path = dir + name;
    if (platform::IsFile(attr)) {
      if (!stages.fs.DeleteFile(path)) {
        FailedUnlessGone(stages.fs, notes, path);
        removed = false;
      }
    } else if (attr & platform::faSymLink) {
      if (!stages.fs.RemoveDir(path)) {
        FailedUnlessGone(stages.fs, notes, path);
        removed = false;
      }
    } else {
      removed = RemoveTree(stages, notes, path + kDelim) && removed;
    }
  }
  if (!removed) return false;  // what stayed was told
  if (stages.fs.RemoveDir(dir)) return true;
  FailedUnlessGone(stages.fs, notes, dir);
  return KindKeepingError(stages.fs, dir) == platform::PathKind::Missing;
}

// Makes room in stage k for an entry of another kind: what it holds under
// `name` of `r` moves on into the next stage, a directory with everything
// below it; only the last stage's is dropped, as a rotation drops it. True
// when the name is free (also when another job freed it meanwhile).
bool MakeWay(Stages& stages, Notes& notes, size_t k, const std::string& r,
             const std::string& name) {
  if (k + 1 < stages.dirs.size()) return ShiftOn(stages, notes, k, r, name);
  const std::string path = stages.Path(k, r, name);
  const platform::PathKind kind = stages.fs.KindOf(path);
  if (kind == platform::PathKind::Missing) return true;
  stages.changed = true;
  if (kind == platform::PathKind::Directory) {
    stages.registry.Forget(k, r + name + kDelim);
    return RemoveTree(stages, notes, path + kDelim);
  }
  if (stages.fs.DeleteFile(path)) return true;
  FailedUnlessGone(stages.fs, notes, path);
  return KindKeepingError(stages.fs, path) == platform::PathKind::Missing;
}

// Moves the directory `name` of `r` from stage k into the directory of that
// name in the next stage, entry by entry, each as a rotation moves it; then
// removes it. True when it is gone.
bool MergeOn(Stages& stages, Notes& notes, size_t k, const std::string& r,
             const std::string& name) {
  const std::string sub = r + name + kDelim;
  stages.registry.Forget(k, sub);
  if (!ReadyTarget(stages, notes, k + 1, sub)) return false;
  bool moved = true;
  const std::string dir = stages.Path(k, sub, "");
  for (const auto& [entry, attr] : Entries(stages, dir)) {
    moved = ShiftOn(stages, notes, k, sub, entry) && moved;
  }
  if (!moved) return false;  // what stayed was told
  if (stages.fs.RemoveDir(dir)) return true;
  FailedUnlessGone(stages.fs, notes, dir);
  return false;
}

// Moves the entry `name` of `r` of stage k (k before the last), of any
// kind, into the next stage, as a rotation moves it: what the next stage
// holds there moves on first (MakeWay), and a directory merges into a
// directory. True when stage k no longer holds it.
bool ShiftOn(Stages& stages, Notes& notes, size_t k, const std::string& r,
             const std::string& name) {
  const std::string source = stages.Path(k, r, name);
  const platform::PathKind kind = stages.fs.KindOf(source);
  if (kind == platform::PathKind::Missing) return true;
  if (!ReadyTarget(stages, notes, k + 1, r)) return false;
  const std::string target = stages.Path(k + 1, r, name);
  const platform::PathKind there = stages.fs.KindOf(target);
  const bool last = k + 2 == stages.dirs.size();
  const bool bothDirs =
      kind == platform::PathKind::Directory && there == platform::PathKind::Directory;
  if (bothDirs) return MergeOn(stages, notes, k, r, name);
  // A file replaces the last stage's file in one step, once it has arrived.
  const bool replace = last && kind == platform::PathKind::File && there == kind;
  if (there != platform::PathKind::Missing && !replace && !MakeWay(stages, notes, k + 1, r, name)) {
    return false;
  }
  stages.registry.NoteMovedIn(k + 1, r, name);
  stages.changed = true;
  if (kind == platform::PathKind::Directory) stages.registry.Forget(k, r + name + kDelim);
  if (stages.fs.MoveFile(source, target, replace)) return true;
  // A directory that cannot be renamed there (another volume) goes entry by
  // entry.
  if (kind == platform::PathKind::Directory) return MergeOn(stages, notes, k, r, name);
  notes.Failed(source);
  return false;
}

// After a move from stage `from` failed: true when the two stages hold
// entries of other kinds under that name, or two directories, which only
// ShiftOn settles.
bool KindsMeet(Stages& stages, size_t from, const std::string& r, const std::string& name) {
  const platform::ErrorKeeper keep;
  const platform::PathKind source = stages.fs.KindOf(stages.Path(from, r, name));
  const platform::PathKind target = stages.fs.KindOf(stages.Path(from + 1, r, name));
  const auto known = [](platform::PathKind kind) {
    return kind == platform::PathKind::File || kind == platform::PathKind::Directory;
  };
  return known(source) && known(target) &&
         (source == platform::PathKind::Directory || target == platform::PathKind::Directory);
}

// Moves the file `name` of the directory `r` from stage `from` (1 or
// later) into the next stage; true when it took place. Where the two stages
// hold entries of other kinds there, the move goes as ShiftOn moves it.
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
  if (stages.fs.MoveFile(source, stages.Path(from + 1, r, name), from + 2 == n)) return true;
  if (KindsMeet(stages, from, r, name)) return ShiftOn(stages, notes, from, r, name);
  notes.Failed(source);
  return false;
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

// Stage 1's entry and the generations after it move down a stage each,
// oldest first (the last stage's giving way). False when stage 1's entry
// stays: it could not move down, which is told.
bool MakeRoom(Stages& stages, Notes& notes, const std::string& r, const std::string& name) {
  MoveDown(stages, notes, r, name, 2);
  return MoveOn(stages, notes, 1, r, name);
}

}  // namespace

bool PlaceCopy(Stages& stages, Notes& notes, platform::StagedFile& file, const std::string& r,
               const std::string& name, bool replace, bool rotate) {
  // A copy whose flush failed may have lost its bytes: it is not named, and
  // no generation moves for it.
  if (!file.flushed) {
    notes.Failed(file.From(), file.flushFailure);
    return false;
  }
  // A copy withheld because stage 1's copy could not move down is told by
  // that move.
  if (rotate && !MakeRoom(stages, notes, r, name)) return false;
  if (stages.fs.PlaceStaged(file, replace)) return true;
  notes.Failed(file.From());
  return false;
}

Notes LinkName(Stages& stages, const LinkStep& step) {
  Notes notes;
  if (step.target && !step.target->placed) {
    notes.Failed(stages.Path(0, step.r, step.name), "another name of this file, " +
                                                        platform::ShownPath(step.target->source) +
                                                        ", was not backed up");
    return notes;
  }
  if (step.own && !step.own->placed) return notes;  // its own failure is told
  if (step.rotate && !MakeRoom(stages, notes, step.r, step.name)) return notes;
  const std::string to = stages.Path(1, step.r, step.name);
  if (!stages.fs.LinkFile(step.existing, to, step.replace)) {
    notes.Failed(step.own ? to : stages.Path(0, step.r, step.name));
    return notes;
  }
  if (step.result) step.result->placed = true;
  return notes;
}

void DeleteFromStage(Stages& stages, Notes& notes, const std::string& path) {
  stages.changed = true;
  if (!stages.fs.DeleteFile(path)) FailedUnlessGone(stages.fs, notes, path);
}

void RetireStale(Stages& stages, Notes& notes, const std::string& r, const std::string& name) {
  if (stages.dirs.size() <= 2) {
    DeleteFromStage(stages, notes, stages.Path(1, r, name));
    return;
  }
  MoveDown(stages, notes, r, name, 1);
}

bool ReadyTarget(Stages& stages, Notes& notes, size_t k, const std::string& r) {
  std::string target = stages.dirs[k] + r;
  if (!stages.registry.StartMaking(k, target)) return true;
  std::string failedAt;
  std::vector<std::string> made;
  bool ready = platform::CreateDirChain(stages.fs, target, &failedAt, &made);
  // In a later stage, an older version of another kind may sit where a
  // directory is to be: it moves on, as a rotation would move it, and the
  // chain is made after all.
  if (!ready && k > 1 && failedAt.size() > stages.dirs[k].size() &&
      KindKeepingError(stages.fs, failedAt) == platform::PathKind::File) {
    const std::string rel = failedAt.substr(stages.dirs[k].size());
    const size_t cut = platform::LastDelim(rel);
    const std::string parent = cut == std::string::npos ? std::string() : rel.substr(0, cut + 1);
    if (MakeWay(stages, notes, k, parent, rel.substr(parent.size()))) {
      ready = platform::CreateDirChain(stages.fs, target, &failedAt, &made);
    }
  }
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
