// One backup run: its options, its file system and everything it keeps
// while it goes, in one object that the entry makes and passes on.
//
// Who touches what, once the run is set up:
//
//   member                         threads
//   options, nested, makesDevices  all, read only
//   clock                          the walk's thread, set before the walk
//   stages.fs, stages.dirs         all (the file system is safe to share)
//   stages.registry                all, under its own lock
//   stages.changed                 all (atomic)
//   progress, journal, pipeline,   the walk's thread only; the pipeline's
//   readers, links, seenDirCount  committer touches only the batch it
//                                  carries, and a job only its own entry
//                                  and `stages`
//   writers, readers' threads      run jobs: a copy, a listing or lookup
//                                  read ahead; nothing of the run's own
//
// The members are set up in the order they are declared and torn down in
// the reverse: the pipeline and the pools end, waiting for their jobs,
// before anything those jobs use goes.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Listing.h"
#include "Progress.h"
#include "Workers.h"
#include "engine/Batch.h"
#include "engine/Journal.h"
#include "engine/Options.h"
#include "engine/StageRegistry.h"
#include "platform/Platform.h"

// What work on the stages needs, on whichever thread it runs.
struct Stages {
  Stages(platform::FileSystem& fs, const std::vector<std::string>& dirs, std::vector<Root> roots)
      : fs(fs), dirs(dirs), registry(dirs, std::move(roots)) {}

  // Entry k of the directory list + `r` + `name`.
  std::string Path(size_t k, const std::string& r, std::string_view name) const {
    std::string path = dirs[k];
    path += r;
    path += name;
    return path;
  }

  // True when the directory `path` is the source or one of the stages.
  bool IsRoot(const std::string& path) {
    platform::FileId id;
    return fs.Identity(path, id) && registry.IsRoot(id);
  }

  platform::FileSystem& fs;
  const std::vector<std::string>& dirs;  // the source, then the stages
  StageRegistry registry;
  // Whether the run has changed anything in the stages, which are then
  // flushed before it ends.
  std::atomic<bool> changed = false;
};

// Whether the transfer of one name into stage 1 took place in this run:
// set by the job that does it, read by the links that depend on it, which
// run after it (a later phase of its batch, or a later batch).
struct Placement {
  bool placed = false;
  std::string source;  // the source path, for the links that depend on it
};

// Source files with more than one name (hard links), so that stage 1 keeps
// them as one file. Only files with more than one name are noted, at most
// kMax of them; past that they are copied as separate files.
class LinkGroups {
 public:
  static constexpr size_t kMax = 8192;

  struct Group {
    // The stage-1 path that the file's other names are linked to, and
    // where it is up to date, its directory and name.
    std::string first;
    std::string firstR, firstName;
    // `first` was up to date in stage 1; otherwise this run copies it, and
    // `placed` tells whether the copy took its name.
    bool upToDate = false;
    std::shared_ptr<Placement> placed;
    // The identity of the up-to-date `first`, where stage 1 tells it (a
    // file with more than one name).
    std::optional<platform::FileId> firstId;
    // While no up-to-date name is known: the names that this run copies or
    // links to a copy. An up-to-date name met later takes them over, so that
    // the file stays one file.
    struct Name {
      std::string r;
      std::string name;
      std::shared_ptr<Placement> placed;
    };
    std::vector<Name> copied;
  };

  // The group of the file `id`, or null.
  Group* Find(const platform::FileId& id) {
    const auto it = groups_.find(id);
    return it == groups_.end() ? nullptr : &it->second;
  }
  // A new group for the file `id`; null past kMax.
  Group* Add(const platform::FileId& id) { return groups_.size() < max_ ? &groups_[id] : nullptr; }
  // A stage 1 that keeps no hard links: every name is copied as past kMax.
  void KeepNone() { max_ = 0; }

 private:
  struct Hash {
    size_t operator()(const platform::FileId& id) const {
      return static_cast<size_t>(
          (id.index ^ id.indexHigh * 0xC2B2AE3D27D4EB4Full) * 0x9E3779B97F4A7C15ull ^ id.volume);
    }
  };
  std::unordered_map<platform::FileId, Group, Hash> groups_;
  size_t max_ = kMax;
};

// Below the directories named for a run, no link is a way through; the
// file system is told which they are while the run lasts.
class RunRoots {
 public:
  RunRoots(platform::FileSystem& fs, const std::vector<std::string>& dirs) : fs_(fs) {
    fs_.SetRoots(dirs);
  }
  ~RunRoots() { fs_.SetRoots({}); }
  RunRoots(const RunRoots&) = delete;
  RunRoots& operator=(const RunRoots&) = delete;

 private:
  platform::FileSystem& fs_;
};

// The clock taken for a stage 1 whose clock could be told neither by its
// type nor by a probe (a dry run, a stage 1 that could not be locked): the
// coarsest that any stage keeps, FAT's. A copy whose time that stage cut is
// then never taken for changed.
constexpr platform::FileTime kCoarsestClock = 2 * platform::kSecond;

struct Run {
  // `roots`: the identities of the source and of the stages that exist.
  // `workers` threads write the copies side by side (none: each when it is
  // decided).
  Run(platform::FileSystem& fs, const OptionSet& options, std::vector<Root> roots, size_t workers);
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Writes a decision line (none when empty) and after it the failures of
  // what it decided. Behind work that waits in a batch, the line and the
  // failures noted so far wait too, for those that the work notes.
  void Report(const std::string& line = std::string());
  // Before a run that changed anything ends, everything it did is put on
  // disk, on the file system of every stage.
  void FlushStages();
  // Finds `clock`, once stage 1 is there and, when `locked`, held: a
  // stage 1 whose type does not tell is probed only by a run that holds its
  // lock and may write.
  void FindClock(bool locked);
  // Finds whether the stages fold case, as FindClock finds the clock.
  void FindCaseFolding(bool locked);
  // Finds `keeps`, as FindClock finds the clock, and copies every name of
  // a linked file as a file of its own where stage 1 keeps no links.
  void FindKeeps(bool locked);
  // Removes what a stopped run's probes left in the top directory of a
  // stage past stage 1, where the walk clears no leftovers: a file under a
  // staging name that no source file of the top directory has.
  void ClearProbeLeftovers(bool locked);
  // Tells once per run, for stage k, each kKeeps* kind of `kinds` that it
  // did not keep: a report line and a line on standard error, no failure.
  void TellUnkept(size_t k, uint32_t kinds);
  // Tells what the copies into every stage met refused.
  void TellRefused();

  const OptionSet& options;
  // One of the directories named lies inside another: the walk may then
  // change what it reads later, so nothing is read or done ahead of it.
  const bool nested;
  RunRoots roots;
  Stages stages;
  RunProgress progress;
  Journal journal;
  // The threads that write the copies of a batch side by side: on a share
  // or a far disk each copy costs round trips, and many in flight cost
  // little more than one.
  WorkerPool writers;
  // The threads that read the listings of the directories the walk goes to
  // next; twice as many as the writers, since a listing only waits.
  ReadAhead readers;
  Pipeline pipeline;
  LinkGroups links;
  // Whether devices of the source can be made again in stage 1.
  const bool makesDevices;
  // The coarser clock of the source's file system and stage 1's: a source
  // file is newer than its stage-1 copy only when its time is later by more
  // than this, which the copy's file system may have cut from it.
  platform::FileTime clock = kCoarsestClock;
  // Whether a stage takes names that differ only in case for one name
  // (any stage; stage 1 itself), so that the walk gives such names of the
  // source one copy.
  bool foldsCase = false;
  bool stage1FoldsCase = false;
  // What stage 1 keeps (kKeeps* kinds): a fifo or device that it refuses
  // is passed over as a socket is.
  uint32_t keeps = platform::kKeepsAll;
  // The kinds told so far for each directory of the list.
  std::vector<uint32_t> told;
  // How many StageRegistry the walk has kept for the removal of emptied
  // directories.
  size_t seenDirCount = 0;
};

// True when one of the directories named lies inside another (as its
// spelling tells, letters compared without regard to case).
bool Nested(const std::vector<std::string>& dirList);
