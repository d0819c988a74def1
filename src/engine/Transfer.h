// The transfers between stages: a copy into stage 1, the rotation that
// moves the generations down first, the retirement of a stale file, and the
// directories they make on the way.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/Journal.h"
#include "engine/Stages.h"

// How a source file with more than one name reaches stage 1: as a copy of
// its own (`to` empty), or as one more name of the stage-1 file `to`, which
// is up to date (`target` null) or is this run's transfer `target`. `own`
// tells what became of this name, for the links that depend on it.
struct LinkPlan {
  std::string to;
  std::shared_ptr<const Placement> target;
  std::shared_ptr<Placement> own;
};

// On any thread; failures go into `notes`.
//
// Deletes the file `path` of a stage; one that is gone already is as good
// as deleted.
void DeleteFromStage(Stages& stages, Notes& notes, const std::string& path);
// A stage-1 file that the source no longer has leaves stage 1.
void RetireStale(Stages& stages, Notes& notes, const std::string& r, const std::string& name);
// Makes the directory `r` of stage k where it is missing.
bool ReadyTarget(Stages& stages, Notes& notes, size_t k, const std::string& r);
// The directories that a run made in stage k (parents first) take what the
// source directory they stand for keeps.
void DressMadeDirs(Stages& stages, Notes& notes, size_t k, const std::vector<std::string>& made);

// Names a staged copy once its batch is flushed: after the generations
// move down when `rotate`, replacing stage 1's file when `replace`. True
// when it took its name.
bool PlaceCopy(Stages& stages, Notes& notes, platform::StagedFile& file, const std::string& r,
               const std::string& name, bool replace, bool rotate);

// A step of the link phase: the stage-1 name `name` of `r` becomes one more
// name of `existing`.
struct LinkStep {
  std::string r;
  std::string name;
  std::string existing;
  // This run's transfer of `existing`; null when it is up to date.
  std::shared_ptr<const Placement> target;
  // For a relink: this name's own transfer, which must have taken place.
  std::shared_ptr<const Placement> own;
  bool replace = false;
  bool rotate = false;
  std::shared_ptr<Placement> result;  // told whether the link was made
};

// The one place where a name of a linked file is made a link. A name never
// points at a version older than its own: nothing is linked to a transfer
// that did not take place (every name of that file then keeps its
// generations, as an unlinked file's are kept when its copy fails), and no
// link replaces a stage-1 name whose old copy did not move down (that move
// is told). Whether the link was made goes to `step.result`.
Notes LinkName(Stages& stages, const LinkStep& step);
