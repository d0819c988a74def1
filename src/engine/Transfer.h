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
// A stage-1 file that the source no longer has leaves stage 1.
void RetireStale(Stages& stages, Notes& notes, const std::string& r, const std::string& name);
// Makes the directory `r` of stage k where it is missing.
bool ReadyTarget(Stages& stages, Notes& notes, size_t k, const std::string& r);
// The directories that a run made in stage k (parents first) take what the
// source directory they stand for keeps.
void DressMadeDirs(Stages& stages, Notes& notes, size_t k, const std::vector<std::string>& made);
