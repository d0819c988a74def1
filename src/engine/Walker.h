// One backup run, driven from the walk's thread: it takes stage 1's lock,
// finds what the stages keep, walks the tree, removes emptied directories
// and puts it all on disk.
//
// The engine's verbs:
//   walk     visit one directory: list it, decide for each entry
//   tell     write a report line (and a failure on standard error)
//   note     keep for later what a job failed at (Notes), or what the walk
//            saw of a stage-1 directory (SeenDir)
//   queue    give the pipeline a line, a copy or work, in decision order
//   stage    write a copy beside stage 1's file, with no name of its own
//   seal     hand a batch on to be carried out; carry: flush it, name its
//            copies and do its works; replay: tell its lines in order
//   place    give a staged copy its name, once its bytes are on disk
//   rotate   move stage 1's copy and each older one down a stage first
//   retire   move a stale stage-1 file down (or delete it)
//   claim    take a name for a batch, so two works on it never overlap
//   settle   wait for the batch handed on and replay it
//   hold     keep back the failures not yet told, while a batch replays
//            the lines decided before them
//
// Who touches what:
//
//   what                            threads
//   options_, nested_, settings_    the walk's; settings_ found before the walk
//   stages_                         all: a job captures it and nothing else;
//                                   its registry under its own lock
//   progress_, journal_, links_,    the walk's thread only
//   told_, seenDirCount_, readers_
//   pipeline_                       the walk's; a batch it seals moves to
//                                   the committer until it is carried out
//   writers                         stage a copy into its Staging, add to
//                                   its batch's bytes (atomic)
//   stage workers                   name copies, move, retire, link, match
//                                   directories: each writes only the notes
//                                   its job returns, and Placements
//   readers' threads                read listings and lookups ahead, each
//                                   into its own ListingAhead/LookupAhead
//
// The members are set up in the order they are declared and torn down in
// the reverse: the pipeline and the pools end, waiting for their jobs,
// before anything those jobs use goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Listing.h"
#include "Progress.h"
#include "Workers.h"
#include "engine/Batch.h"
#include "engine/Journal.h"
#include "engine/LinkGroups.h"
#include "engine/Options.h"
#include "engine/Stages.h"
#include "platform/Platform.h"

struct Ahead;
struct LinkPlan;
struct SeenDir;
struct Visit;
struct Walked;

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

// What a run finds of the source and its stages once stage 1 is locked,
// before the walk compares anything; read only from then on.
struct StageSettings {
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
  // Whether devices of the source can be made again in stage 1.
  bool makesDevices = false;
};

class Walker {
 public:
  // `roots`: the identities of the source and of the stages that exist.
  // `workers` threads write the copies side by side (none: each when it is
  // decided).
  Walker(platform::FileSystem& fs, const OptionSet& options, std::vector<Root> roots,
         size_t workers);
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // The whole run; true when everything it decided was done.
  bool BackUp();
  // The report lines of the run.
  const std::vector<std::string>& Lines() const { return journal_.Lines(); }

 private:
  class DecidedWork;

  // Walker.cpp: set-up, the report and the last flush.
  std::unique_ptr<platform::StageLock> LockStageOne(std::vector<std::string>& made);
  void FindSettings(bool locked);
  void FindClock(bool locked);
  void FindCaseFolding(bool locked);
  void FindKeeps(bool locked);
  void ClearProbeLeftovers(bool locked);
  void Report(const std::string& line = std::string());
  void FlushStages();
  void TellUnkept(size_t k, uint32_t kinds);
  void TellRefused();

  // Walk.cpp: one directory at a time.
  // Visits the relative path `r`. Returns what became of stage 1's
  // directory there (Lasting with KeepExtra).
  Walked WalkDir(const std::string& r, const Ahead& ahead);
  bool ListSource(Visit& v, const Ahead& ahead);
  void ListStageOne(Visit& v, const Ahead& ahead);
  void RetireInTheWay(Visit& v, std::string_view name);
  void WalkSourceSubdirs(Visit& v);
  Walked WalkedFromSource(Visit& v, std::string_view name);
  bool WalkStageOnlySubdirs(Visit& v, SeenDir& here);
  bool NoteMadeBelow(Visit& v, SeenDir& here);
  bool MakeMissingStageOneDir(Visit& v, bool inSource);
  // FoldedNames.cpp: applies the plan of names that differ only in case to
  // the visit's listings before the walk uses them, and tells each source
  // name passed over as failed.
  void FoldNames(Visit& v);

  // Files.cpp: the files of one directory.
  // Every source file that passes the filters and that stage 1 lacks, or
  // holds in an older version, is copied (after a rotation).
  void BackupFiles(Visit& v);
  // Stage-1 files that the source lacks leave stage 1, once the listing is
  // complete.
  void RetireStaleFiles(Visit& v);
  // The stage-1 leftovers of the visit go, without a word: from its
  // listing, or with KeepExtra, which lists no stage 1, before its first
  // copy.
  void ClearLeftovers(Visit& v);
  void DropLeftover(Visit& v, const std::string& name);
  // The stage-1 file `name` leaves stage 1 as the source no longer has it
  // (or has it as a directory).
  void Retire(Visit& v, const std::string& name);
  // Whether the source directory (listed as `source`, spelled `dir`) has an
  // entry of this name of the wanted kind; one that cannot be looked up
  // counts as there, and is told.
  bool SourceHas(Listing& source, std::string& dir, std::string_view name, bool wantDir);
  bool StageOneEntry(Visit& v, const std::string& name, platform::DirEntry& out,
                     LookupAhead* ahead);
  bool LooksUpStageOne(Visit& v, const Listing::Item& item) const;
  void TellUnreadable(Visit& v, std::string_view name);
  uint32_t RefusedKind(const Listing::Item& item) const;
  bool NotKept(const Listing::Item& item) const;
  bool PassedOver(const Listing::Item& item) const;
  void UpToDateName(const platform::FileId& id, const std::string& r, std::string_view name,
                    const platform::DirEntry& stage1);
  LinkPlan CopiedName(const platform::FileId& id, const std::string& r, const std::string& name);
  void NoteLinkedNames(Visit& v);

  // Transfer.cpp: what the walk queues for the stages.
  //
  // The copy of a changed source file: made first, beside stage 1's; once
  // it is on disk the generations move down, and it takes stage 1's name.
  // `stage1Attr` holds the attributes of what stage 1 has under that name,
  // of any kind. With a link plan, stage 1 gets another name for a stage-1
  // file instead of a copy (LinkIn).
  void Rotate(const std::string& r, const std::string& name, uint32_t stage1Attr,
              const LinkPlan& plan);
  bool ReadyForStageOne(const std::string& r);
  // The copy of a source file into stage 1: written now into the target
  // directory, named once the batch it joins is flushed, replacing stage
  // 1's file when `replace`, after the generations move down when
  // `rotate`. `placed`, when given, is told whether it was named.
  void CopyIn(const std::string& r, const std::string& name, bool replace, bool rotate,
              std::shared_ptr<Placement> placed = nullptr);
  // The same for a source file that is another name of a file whose
  // stage-1 copy is `plan.to` (or is to be, once the batch names it):
  // stage 1 gets one more name for that copy instead of a copy of its own.
  void LinkIn(const std::string& r, const std::string& name, const LinkPlan& plan, bool replace,
              bool rotate);
  // Makes the stage-1 file `name` of `r`, which this run copies (`own`
  // tells whether it did), another name of the up-to-date stage-1 file
  // `existing` instead: both stand for one source file, unchanged, and stay
  // one file.
  void Relink(const std::string& r, const std::string& name, const std::string& existing,
              std::shared_ptr<const Placement> own);
  // Makes the stage-1 counterpart of a source directory that the walk
  // entered, when it is missing, however little it holds.
  void MakeStageOneDir(const std::string& r);
  // A stage-1 directory that stays gets the bits and last-write time of
  // the source directory it stands for, once it is done with.
  void MatchToSource(const std::string& stage1Dir);

  // EmptiedDirs.cpp: the removal of emptied stage-1 directories.
  //
  // A SeenDir that the walk notes; one past kMaxSeenDirs notes nothing
  // below it and is judged from its listings.
  Walked NoteSeen(SeenDir dir);
  // A directory the walk did not visit, judged from its listings.
  Walked UnseenDir();
  // Removes every empty directory below and including `d`, deepest first;
  // true when `d` was judged empty. `seen` is what the walk saw of `d`
  // (null: judge it and all below from the listings).
  bool RemoveIfEmpty(const std::string& d, const SeenDir* seen);

  const OptionSet& options_;
  // One of the directories named lies inside another: the walk may then
  // change what it reads later, so nothing is read or done ahead of it.
  const bool nested_;
  RunRoots roots_;
  Stages stages_;
  StageSettings settings_;
  RunProgress progress_;
  Journal journal_;
  // The threads that write the copies of a batch side by side: on a share
  // or a far disk each copy costs round trips, and many in flight cost
  // little more than one.
  WorkerPool writers_;
  // The threads that read the listings of the directories the walk goes to
  // next; twice as many as the writers, since a listing only waits.
  ReadAhead readers_;
  Pipeline pipeline_;
  LinkGroups links_;
  // The kinds told so far for each directory of the list.
  std::vector<uint32_t> told_;
  // How many SeenDirs the walk has kept for the removal of emptied
  // directories.
  size_t seenDirCount_ = 0;
};

// True when one of the directories named lies inside another (as its
// spelling tells, letters compared without regard to case).
bool Nested(const std::vector<std::string>& dirList);
