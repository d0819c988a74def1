// The run object: set-up, the report of its decisions and its last flush.
#include "engine/Run.h"

#include <algorithm>

#include "Characters.h"
#include "engine/Failures.h"

Run::Run(platform::FileSystem& fs, const OptionSet& options, std::vector<Root> roots,
         size_t workers)
    : options(options),
      nested(Nested(options.dirList)),
      roots(fs, options.dirList),
      stages(fs, options.dirList, std::move(roots)),
      journal(options.reportOn, progress),
      writers(options.dryRun ? 0 : workers),
      readers(fs, nested ? 0 : 2 * workers),
      pipeline(fs, journal, writers, !nested),
      makesDevices(fs.MakesDevices()),
      told(options.dirList.size(), 0) {}

void Run::Report(const std::string& line) {
  if (!pipeline.Empty()) {
    pipeline.QueueLine(line, journal.Hold());
    return;
  }
  journal.Tell(line);
}

void Run::FlushStages() {
  const std::vector<std::string> dirs(options.dirList.begin() + 1, options.dirList.end());
  const std::vector<std::string> failures = stages.fs.FlushAll(dirs);
  for (size_t k = 0; k < dirs.size(); ++k) {
    if (failures[k].empty()) continue;
    journal.Failed(dirs[k], failures[k]);
    Report();
  }
}

void Run::FindClock(bool locked) {
  platform::FileSystem& fs = stages.fs;
  // Nothing is ever written into the source. Where its type does not tell,
  // its clock is left out: its times are whole steps of it, which a stage
  // of a clock as fine or finer keeps as they are.
  const platform::FileTime source = fs.TypeClock(options.dirList[0]);
  platform::FileTime stage1 = fs.TypeClock(options.dirList[1]);
  if (stage1 == 0 && locked && !options.dryRun) stage1 = fs.ProbeClock(options.dirList[1]);
  clock = std::max(source, stage1 != 0 ? stage1 : kCoarsestClock);
}

void Run::FindCaseFolding(bool locked) {
  platform::FileSystem& fs = stages.fs;
  const bool mayWrite = locked && !options.dryRun;
  for (size_t k = 1; k < options.dirList.size(); ++k) {
    std::optional<bool> folds = fs.FoldsCase(options.dirList[k], mayWrite);
    // A stage not made yet will be made on the file system of the nearest
    // directory above it that is there; nothing is written into that one.
    for (std::string dir = options.dirList[k]; !folds && dir.size() > 1;) {
      const size_t cut = dir.find_last_of(platform::PathDelim, dir.size() - 2);
      if (cut == std::string::npos) break;
      dir.resize(cut + 1);
      folds = fs.FoldsCase(dir, false);
    }
    if (k == 1) stage1FoldsCase = folds.value_or(false);
    foldsCase = foldsCase || folds.value_or(false);
  }
}

void Run::FindKeeps(bool locked) {
  if (!locked || options.dryRun) return;
  keeps = stages.fs.StageKeeps(options.dirList[1]);
  if (!(keeps & platform::kKeepsLinks)) links.KeepNone();
}

void Run::ClearProbeLeftovers(bool locked) {
  if (!locked || options.dryRun) return;
  platform::FileSystem& fs = stages.fs;
  for (size_t k = 2; k < options.dirList.size(); ++k) {
    std::vector<std::string> names;
    fs.ListKinds(options.dirList[k] + "*.*", platform::faAnyFile, [&](const platform::DirEntry& e) {
      if (platform::IsFile(e.attr) && platform::IsStagingName(e.name)) names.push_back(e.name);
    });
    for (const std::string& name : names) {
      // Older copies of a source file of that name are generations.
      if (fs.KindOf(options.dirList[0] + name) != platform::PathKind::Missing) continue;
      const std::string path = options.dirList[k] + name;
      if (fs.DeleteFile(path)) continue;
      Notes notes;
      FailedUnlessGone(fs, notes, path);
      journal.Add(std::move(notes.lines));
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

void Run::TellUnkept(size_t k, uint32_t kinds) {
  kinds &= ~told[k];
  if (kinds == 0) return;
  told[k] |= kinds;
  std::string stage = options.dirList[k];
  while (stage.size() > platform::RootLength(stage) && stage.back() == platform::PathDelim) {
    stage.pop_back();
  }
  for (const auto& [kind, text] : kUnkeptTexts) {
    if (!(kinds & kind)) continue;
    const std::string line = platform::ShownPath(stage) + ": " + text;
    progress.Erase();
    platform::TellNotice(line);
    Report("notice  " + line);
  }
}

void Run::TellRefused() {
  for (size_t k = 1; k < options.dirList.size(); ++k) {
    TellUnkept(k, stages.fs.Unkept(options.dirList[k]));
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
