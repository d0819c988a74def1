// The backup engine's entry: checks the directories named, has a walker
// carry out the run (src/engine/) and hands the report on.
#include "Backup.h"

#include "Exceptions.h"
#include "Report.h"
#include "engine/Walker.h"

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

}  // namespace

bool RunBackup(const OptionSet& options) {
  return RunBackupOn(platform::RealFileSystem(), options, nullptr, WorkerCount());
}

bool RunBackupOn(platform::FileSystem& fs, const OptionSet& options, const ReportHandOff& handOff,
                 size_t workers) {
  if (options.dirList.size() < 2) return true;
  Walker walker(fs, options, IdentifyRoots(fs, options.dirList), workers);
  const bool clean = walker.BackUp();
  if (options.reportOn) {
    if (handOff) {
      handOff(walker.Lines());
    } else {
      ShowReportOn(fs, walker.Lines());
    }
  }
  return clean;
}
