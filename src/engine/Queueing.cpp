// What the walk queues for the stages: a copy into stage 1 (after the
// rotation that moves the generations down), a link to another name's
// copy, and the work of a directory. The jobs capture Stages alone.
#include "engine/Transfer.h"
#include "engine/Walker.h"

void Walker::Rotate(const std::string& r, const std::string& name, uint32_t stage1Attr,
                    const LinkPlan& plan) {
  // Whatever stage 1 holds under that name moves down first, of any kind;
  // with one stage only a file gives way, and a directory keeps the copy
  // from its place, which is told.
  const bool rotate = stages_.dirs.size() > 2;
  const bool replace = rotate || platform::IsFile(stage1Attr);
  if (plan.to.empty()) {
    CopyIn(r, name, replace, rotate, plan.own);
  } else {
    LinkIn(r, name, plan, replace, rotate);
  }
}

// On the walk's thread, before a copy or a link into the directory `r` of
// stage 1: makes it where it is missing; false when it cannot be made.
bool Walker::ReadyForStageOne(const std::string& r) {
  platform::PumpMessages();
  Notes notes;
  const bool ready = ReadyTarget(stages_, notes, 1, r);
  journal_.Add(std::move(notes.lines));
  if (ready) stages_.changed = true;
  return ready;
}

void Walker::CopyIn(const std::string& r, const std::string& name, bool replace, bool rotate,
                    std::shared_ptr<Placement> placed) {
  if (placed) placed->source = stages_.Path(0, r, name);
  if (!ReadyForStageOne(r)) return;
  Stages& stages = stages_;
  pipeline_.QueueCopy(r, name, stages.Path(0, r, name), stages.Path(1, r, name), rotate,
                      [&stages, r, name, replace, rotate, placed](platform::StagedFile& staged) {
                        Notes notes;
                        const bool done =
                            PlaceCopy(stages, notes, staged, r, name, replace, rotate);
                        if (placed) placed->placed = done;
                        return notes;
                      });
}

void Walker::LinkIn(const std::string& r, const std::string& name, const LinkPlan& plan,
                    bool replace, bool rotate) {
  if (plan.own) plan.own->source = stages_.Path(0, r, name);
  if (!ReadyForStageOne(r)) return;
  Stages& stages = stages_;
  // After the namings of the batch: `existing` may be a copy it names.
  // Nothing is written in place, so the generations of one name never
  // change the bytes of another.
  LinkStep step{r, name, plan.to, plan.target, nullptr, replace, rotate, plan.own};
  pipeline_.QueueLinkWork(r, name,
                          [&stages, step = std::move(step)] { return LinkName(stages, step); });
}

void Walker::Relink(const std::string& r, const std::string& name, const std::string& existing,
                    std::shared_ptr<const Placement> own) {
  Stages& stages = stages_;
  LinkStep step{r, name, existing, nullptr, std::move(own), true, false, nullptr};
  pipeline_.QueueLinkWork(r, name,
                          [&stages, step = std::move(step)] { return LinkName(stages, step); });
}

void Walker::MakeStageOneDir(const std::string& r) {
  Notes notes;
  ReadyTarget(stages_, notes, 1, r);
  journal_.Add(std::move(notes.lines));
}

void Walker::MatchToSource(const std::string& stage1Dir) {
  const std::vector<std::string>& dirs = stages_.dirs;
  if (options_.dryRun || stage1Dir.compare(0, dirs[1].size(), dirs[1]) != 0) return;
  // After what the batch holds for it: the naming of its copies and the
  // stale files that leave it change its time.
  Stages& stages = stages_;
  // At the clock the files are compared at: a time that stage 1 cut is not
  // set again on every run.
  const platform::FileTime clock = settings_.clock;
  pipeline_.QueueDirWork([&stages, stage1Dir, clock] {
    Notes notes;
    const std::string source = stages.dirs[0] + stage1Dir.substr(stages.dirs[1].size());
    if (!stages.fs.MatchDirectory(source, stage1Dir, clock)) notes.Failed(stage1Dir);
    return notes;
  });
}
