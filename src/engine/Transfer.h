// The transfers between stages: a copy into stage 1, the rotation that
// moves the generations down first, the retirement of a stale file, and the
// directories they make on the way.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/Journal.h"
#include "engine/Run.h"

// How a source file with more than one name reaches stage 1: as a copy of
// its own (`to` empty), or as one more name of the stage-1 file `to`, which
// is up to date (`target` null) or is this run's transfer `target`. `own`
// tells what became of this name, for the links that depend on it.
struct LinkPlan {
  std::string to;
  std::shared_ptr<const Placement> target;
  std::shared_ptr<Placement> own;
};

// On the walk's thread. The copy of a changed source file: made first,
// beside stage 1's; once it is on disk the generations move down, and it
// takes stage 1's name. `stage1Attr` holds the attributes of what stage 1 has
// under that name, of any kind. With a link plan, stage 1 gets another
// name for a stage-1 file instead of a copy (LinkIn).
void Rotate(Run& run, const std::string& r, const std::string& name, uint32_t stage1Attr,
            const LinkPlan& plan);
// The copy of a source file into stage 1: written now into the target
// directory, named once the batch it joins is flushed, replacing stage 1's
// file when `replace`, after the generations move down when `rotate`.
// `placed`, when given, is told whether it was named.
void CopyIn(Run& run, const std::string& r, const std::string& name, bool replace, bool rotate,
            std::shared_ptr<Placement> placed = nullptr);
// The same for a source file that is another name of a file whose stage-1
// copy is `plan.to` (or is to be, once the batch names it): stage 1 gets
// one more name for that copy instead of a copy of its own.
void LinkIn(Run& run, const std::string& r, const std::string& name, const LinkPlan& plan,
            bool replace, bool rotate);
// Makes the stage-1 file `name` of `r`, which this run copies (`own` tells
// whether it did), another name of the up-to-date stage-1 file `existing`
// instead: both stand for one source file, unchanged, and stay one file.
void Relink(Run& run, const std::string& r, const std::string& name, const std::string& existing,
            std::shared_ptr<const Placement> own);
// Makes the stage-1 counterpart of a source directory that the walk
// entered, when it is missing, however little it holds.
void MakeStageOneDir(Run& run, const std::string& r);
// A stage-1 directory that stays gets the bits and last-write time of the
// source directory it stands for, once it is done with.
void MatchToSource(Run& run, const std::string& stage1Dir);

// On any thread; failures go into `notes`.
//
// A stage-1 file that the source no longer has leaves stage 1.
void RetireStale(Stages& stages, Notes& notes, const std::string& r, const std::string& name);
// Makes the directory `r` of stage k where it is missing.
bool ReadyTarget(Stages& stages, Notes& notes, size_t k, const std::string& r);
// The directories that a run made in stage k (parents first) take what the
// source directory they stand for keeps.
void DressMadeDirs(Stages& stages, Notes& notes, size_t k, const std::vector<std::string>& made);
