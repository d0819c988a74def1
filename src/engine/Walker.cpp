// A run as a whole: set-up, stage 1's lock, what the stages keep, the
// report of its decisions and its last flush.
#include "engine/Walker.h"

#include <algorithm>
#include <exception>

#include "Characters.h"
#include "engine/Failures.h"
#include "engine/Transfer.h"
#include "engine/Visit.h"

Walker::Walker(platform::FileSystem& fs, const OptionSet& options, std::vector<Root> roots,
               size_t workers)
    : options_(options),
      nested_(Nested(options.dirList)),
      roots_(fs, options.dirList),
      stages_(fs, options.dirList, std::move(roots)),
      journal_(options.reportOn, progress_),
      writers_(options.dryRun ? 0 : workers),
      readers_(fs, nested_ ? 0 : 2 * workers),
      pipeline_(fs, journal_, writers_, !nested_),
      told_(options.dirList.size(), 0) {
  settings_.makesDevices = fs.MakesDevices();
}

// The directory as the user named it, without the separator appended.
static std::string Named(const std::string& dir) {
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
std::unique_ptr<platform::StageLock> Walker::LockStageOne(std::vector<std::string>& made) {
  const std::string& stage1 = options_.dirList[1];
  const bool dryRun = options_.dryRun;
  bool told = false;
  const auto waiting = [&] {
    if (told) return;
    told = true;
    progress_.Waiting("waiting for another run on " + platform::ShownPath(Named(stage1)));
  };
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!dryRun && !platform::CreateDirChain(stages_.fs, stage1, nullptr, &made)) return nullptr;
    if (std::unique_ptr<platform::StageLock> lock = platform::LockStage(stage1, !dryRun, waiting)) {
      return lock;
    }
    if (KindKeepingError(stages_.fs, stage1) == platform::PathKind::Missing) {
      if (dryRun) return nullptr;
      continue;
    }
    journal_.Failed(stage1 + platform::RunLockName);
    Report();
    return nullptr;
  }
  return nullptr;
}

// A run that an error stops (an invalid mask met by the walk) still carries
// out what it decided before, and puts it on disk, as a run that ends does,
// while it holds the lock.
class Walker::DecidedWork {
 public:
  explicit DecidedWork(Walker& walker) : walker_(walker) {}
  DecidedWork(const DecidedWork&) = delete;
  DecidedWork& operator=(const DecidedWork&) = delete;
  ~DecidedWork() {
    if (std::uncaught_exceptions() == exceptions_) return;
    walker_.pipeline_.Commit();
    if (walker_.stages_.changed) walker_.FlushStages();
  }

 private:
  Walker& walker_;
  int exceptions_ = std::uncaught_exceptions();
};

bool Walker::BackUp() {
  // Two runs over one stage 1 never overlap: the later one waits here. The
  // lock is held until the stages are done with, not while the report is
  // shown (a pager waits for the user).
  std::vector<std::string> madeForLock;
  std::unique_ptr<platform::StageLock> lock = LockStageOne(madeForLock);
  FindSettings(lock != nullptr);
  {
    Notes notes;
    DressMadeDirs(stages_, notes, 1, madeForLock);
    journal_.Add(std::move(notes.lines));
  }
  Report();
  Walked stage1;
  {
    const DecidedWork decided(*this);
    progress_.Start();
    platform::FileId id;
    stages_.registry.Identify(1, stages_.fs.Identity(options_.dirList[1], id), id);
    stage1 = WalkDir(std::string(), Ahead());
    pipeline_.Commit();
    if (!options_.keepExtra && stage1.kind != Walked::Kind::Lasting) {
      RemoveIfEmpty(options_.dirList[1], stage1.Judged());
    }
    pipeline_.Commit();
    TellRefused();
    progress_.End();
  }
  if (stages_.changed) FlushStages();
  return journal_.Failures() == 0;
}

// Once stage 1 is there and, when `locked`, held; before the walk compares
// anything.
void Walker::FindSettings(bool locked) {
  FindClock(locked);
  FindKeeps(locked);
  FindCaseFolding(locked);
  ClearProbeLeftovers(locked);
}

void Walker::Report(const std::string& line) {
  if (!pipeline_.Empty()) {
    pipeline_.QueueLine(line, journal_.Hold());
    return;
  }
  journal_.Tell(line);
}

void Walker::FlushStages() {
  const std::vector<std::string> dirs(options_.dirList.begin() + 1, options_.dirList.end());
  const std::vector<std::string> failures = stages_.fs.FlushAll(dirs);
  for (size_t k = 0; k < dirs.size(); ++k) {
    if (failures[k].empty()) continue;
    journal_.Failed(dirs[k], failures[k]);
    Report();
  }
}

void Walker::FindClock(bool locked) {
  platform::FileSystem& fs = stages_.fs;
  // Nothing is ever written into the source. Where its type does not tell,
  // its clock is left out: its times are whole steps of it, which a stage
  // of a clock as fine or finer keeps as they are.
  const platform::FileTime source = fs.TypeClock(options_.dirList[0]);
  platform::FileTime stage1 = fs.TypeClock(options_.dirList[1]);
  if (stage1 == 0 && locked && !options_.dryRun) stage1 = fs.ProbeClock(options_.dirList[1]);
  settings_.clock = std::max(source, stage1 != 0 ? stage1 : kCoarsestClock);
}

void Walker::FindCaseFolding(bool locked) {
  platform::FileSystem& fs = stages_.fs;
  const bool mayWrite = locked && !options_.dryRun;
  for (size_t k = 1; k < options_.dirList.size(); ++k) {
    std::optional<bool> folds = fs.FoldsCase(options_.dirList[k], mayWrite);
    // A stage not made yet will be made on the file system of the nearest
    // directory above it that is there; nothing is written into that one.
    for (std::string dir = options_.dirList[k]; !folds && dir.size() > 1;) {
      const size_t cut = dir.find_last_of(platform::PathDelim, dir.size() - 2);
      if (cut == std::string::npos) break;
      dir.resize(cut + 1);
      folds = fs.FoldsCase(dir, false);
    }
    if (k == 1) settings_.stage1FoldsCase = folds.value_or(false);
    settings_.foldsCase = settings_.foldsCase || folds.value_or(false);
  }
}

void Walker::FindKeeps(bool locked) {
  if (!locked || options_.dryRun) return;
  settings_.keeps = stages_.fs.StageKeeps(options_.dirList[1]);
  if (!(settings_.keeps & platform::kKeepsLinks)) links_.KeepNone();
}

void Walker::ClearProbeLeftovers(bool locked) {
  if (!locked || options_.dryRun) return;
  platform::FileSystem& fs = stages_.fs;
  for (size_t k = 2; k < options_.dirList.size(); ++k) {
    std::vector<std::string> names;
    fs.ListKinds(options_.dirList[k] + "*.*", platform::faAnyFile,
                 [&](const platform::DirEntry& e) {
                   if (platform::IsFile(e.attr) && platform::IsStagingName(e.name))
                     names.push_back(e.name);
                 });
    for (const std::string& name : names) {
      // Older copies of a source file of that name are generations.
      if (fs.KindOf(options_.dirList[0] + name) != platform::PathKind::Missing) continue;
      Notes notes;
      DeleteFromStage(stages_, notes, options_.dirList[k] + name);
      journal_.Add(std::move(notes.lines));
    }
  }
  Report();
}

namespace {

// What a stage that keeps none of a kind is told by.
constexpr std::pair<uint32_t, const char*> kUnkeptTexts[] = {
    {platform::kKeepsOwners, "keeps no owners"},
    {platform::kKeepsBits, "keeps no permission bits"},
    {platform::kKeepsXattrs, "keeps no extended attributes"},
    {platform::kKeepsAcls, "keeps no ACLs"},
    {platform::kKeepsLinks, "keeps no hard links: each name is a copy of its own"},
    {platform::kKeepsFifos, "keeps no fifos: they are passed over"},
    {platform::kKeepsDevices, "keeps no devices: they are passed over"},
};

}  // namespace

void Walker::TellUnkept(size_t k, uint32_t kinds) {
  kinds &= ~told_[k];
  if (kinds == 0) return;
  told_[k] |= kinds;
  std::string stage = options_.dirList[k];
  while (stage.size() > platform::RootLength(stage) && stage.back() == platform::PathDelim) {
    stage.pop_back();
  }
  for (const auto& [kind, text] : kUnkeptTexts) {
    if (!(kinds & kind)) continue;
    const std::string line = platform::ShownPath(stage) + ": " + text;
    progress_.Erase();
    platform::TellNotice(line);
    Report("notice  " + line);
  }
}

void Walker::TellRefused() {
  for (size_t k = 1; k < options_.dirList.size(); ++k) {
    TellUnkept(k, stages_.fs.Unkept(options_.dirList[k]));
  }
}

bool Nested(const std::vector<std::string>& dirList) {
  const auto within = [](const std::string& inner, const std::string& outer) {
    return inner.size() >= outer.size() &&
           std::equal(outer.begin(), outer.end(), inner.begin(),
                      [](char a, char b) { return UpperAscii(a) == UpperAscii(b); });
  };
  for (size_t i = 0; i < dirList.size(); ++i) {
    for (size_t j = 0; j < dirList.size(); ++j) {
      if (i != j && within(dirList[i], dirList[j])) return true;
    }
  }
  return false;
}
