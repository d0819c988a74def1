// The backup engine's entry: sets up a run, takes stage 1's lock, walks the
// tree, removes emptied directories, puts it all on disk and hands the
// report on. The steps live in src/engine/.
#include "Backup.h"

#include <exception>
#include <memory>
#include <optional>

#include "Exceptions.h"
#include "Report.h"
#include "engine/EmptiedDirs.h"
#include "engine/Failures.h"
#include "engine/Run.h"
#include "engine/Transfer.h"
#include "engine/Walk.h"

namespace {

// Stages that exist are one directory when their identities are equal; a
// stage that does not exist yet is known by its spelling alone.
bool SameStage(const Root& a, const Root& b, const std::string& aSpelling,
               const std::string& bSpelling) {
  return a.known && b.known ? a.id == b.id : aSpelling == bSpelling;
}

// Stops the run before anything is touched when the source is missing, a
// stage is the source itself, or one directory is named as two stages (its
// copies would rotate into themselves: a run would lose its new version, and
// each would drop a generation); otherwise gives the identities of the
// source and of the stages that exist.
std::vector<Root> IdentifyRoots(platform::FileSystem& fs, const std::vector<std::string>& dirList) {
  if (!fs.DirectoryExists(dirList[0])) {
    throw Exception(platform::ProgramText("元ディレクトリが見つかりません: ") + dirList[0]);
  }
  std::vector<Root> roots(dirList.size());
  std::vector<std::string> spellings(dirList.size());
  for (size_t k = 0; k < dirList.size(); ++k) {
    roots[k].known = fs.Identity(dirList[k], roots[k].id);
    spellings[k] = platform::DirSpelling(dirList[k]);
  }
  for (size_t k = 1; k < dirList.size(); ++k) {
    if (roots[0].known && roots[k].known && roots[k].id == roots[0].id) {
      throw Exception(
          platform::ProgramText("元ディレクトリとバックアップディレクトリが同じです: ") +
          dirList[k]);
    }
    for (size_t j = 1; j < k; ++j) {
      if (SameStage(roots[j], roots[k], spellings[j], spellings[k])) {
        throw Exception(
            platform::ProgramText("同じバックアップディレクトリが二度指定されています: ") +
            dirList[k]);
      }
    }
  }
  return roots;
}

// The directory as the user named it, without the separator appended.
std::string Named(const std::string& dir) {
  const std::string delim(1, platform::PathDelim);
  if (dir.size() <= platform::RootLength(dir) || !dir.ends_with(delim)) return dir;
  return dir.substr(0, dir.size() - 1);
}

// Takes the run lock of stage 1, which a real run makes first when it is
// missing; a dry run makes nothing and waits only on a lock file that
// exists. A stage 1 that the run before removed as empty while this one
// waited is made and locked anew. A run that has to wait says so, once. A
// stage 1 that cannot be made is told by the transfers that need it; one
// that is there and cannot be locked, here. `made` gets the directories
// made for the lock.
std::unique_ptr<platform::StageLock> LockStageOne(Run& run, std::vector<std::string>& made) {
  const std::string& stage1 = run.options.dirList[1];
  const bool dryRun = run.options.dryRun;
  bool told = false;
  const auto waiting = [&] {
    if (told) return;
    told = true;
    run.progress.Waiting("waiting for another run on " + platform::ShownPath(Named(stage1)));
  };
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!dryRun && !platform::CreateDirChain(run.stages.fs, stage1, nullptr, &made)) return nullptr;
    if (std::unique_ptr<platform::StageLock> lock = platform::LockStage(stage1, !dryRun, waiting)) {
      return lock;
    }
    if (KindKeepingError(run.stages.fs, stage1) == platform::PathKind::Missing) {
      if (dryRun) return nullptr;
      continue;
    }
    run.journal.Failed(stage1 + platform::RunLockName);
    run.Report();
    return nullptr;
  }
  return nullptr;
}

// A run that an error stops (an invalid mask met by the walk) still carries
// out what it decided before, and puts it on disk, as a run that ends does,
// while it holds the lock.
class DecidedWork {
 public:
  explicit DecidedWork(Run& run) : run_(run) {}
  DecidedWork(const DecidedWork&) = delete;
  DecidedWork& operator=(const DecidedWork&) = delete;
  ~DecidedWork() {
    if (std::uncaught_exceptions() == exceptions_) return;
    run_.pipeline.Commit();
    if (run_.stages.changed) run_.FlushStages();
  }

 private:
  Run& run_;
  int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

bool RunBackup(const OptionSet& options) {
  return RunBackupOn(platform::RealFileSystem(), options, nullptr, WorkerCount());
}

bool RunBackupOn(platform::FileSystem& fs, const OptionSet& options, const ReportHandOff& handOff,
                 size_t workers) {
  if (options.dirList.size() < 2) return true;
  Run run(fs, options, IdentifyRoots(fs, options.dirList), workers);

  // Two runs over one stage 1 never overlap: the later one waits here. The
  // lock is held until the stages are done with, not while the report is
  // shown (a pager waits for the user).
  std::vector<std::string> madeForLock;
  std::unique_ptr<platform::StageLock> lock = LockStageOne(run, madeForLock);
  // Once stage 1 is there and locked, before the walk compares anything.
  run.FindClock(lock != nullptr);
  run.FindKeeps(lock != nullptr);
  run.FindCaseFolding(lock != nullptr);
  run.ClearProbeLeftovers(lock != nullptr);
  {
    Notes notes;
    DressMadeDirs(run.stages, notes, 1, madeForLock);
    run.journal.Add(std::move(notes.lines));
  }
  run.Report();
  std::optional<SeenDir> stage1;
  {
    const DecidedWork decided(run);
    run.progress.Start();
    platform::FileId id;
    run.stages.registry.Identify(1, fs.Identity(options.dirList[1], id), id);
    stage1 = WalkDir(run, std::string());
    run.pipeline.Commit();
    if (!options.keepExtra && stage1) RemoveIfEmpty(run, options.dirList[1], &*stage1);
    run.pipeline.Commit();
    run.TellRefused();
    run.progress.End();
  }
  if (run.stages.changed) run.FlushStages();
  lock.reset();
  const bool clean = run.journal.Failures() == 0;
  if (options.reportOn) {
    if (handOff) {
      handOff(run.journal.Lines());
    } else {
      ShowReportOn(fs, run.journal.Lines());
    }
  }
  return clean;
}
