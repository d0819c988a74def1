// The backup engine: the run, the generational walk, the stage transfer and
// the removal of emptied stage-1 directories.
#include "Backup.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "Characters.h"
#include "Exceptions.h"
#include "Listing.h"
#include "Masks.h"
#include "Progress.h"
#include "Report.h"
#include "Workers.h"

using platform::DateValue;

namespace {

using platform::DirEntry;
using platform::FileId;
using platform::FileTime;

// The engine state: set up at the start of a run, released when it ends
// (normally or by an error). Fs is the file system in use; every disk
// operation of the run goes through it.
platform::FileSystem* Fs = nullptr;
std::vector<std::string> DirList;
std::vector<std::string> IncludeMasks;
std::vector<std::string> ExcludeMasks;
DateValue FirstDay = 0;
DateValue LastDay = 0;
bool ReportOn = false;
bool KeepExtra = false;
bool DryRun = false;
std::vector<std::string> ReportLines;
// What the run decided and could not do: the "failed  " lines noted since
// the last decision line, which they follow, and how many there were in all.
std::vector<std::string> PendingFailures;
size_t Failures = 0;
// Where the failures of a batch's work on a worker go instead, to be told in
// decision order once the batch's work is done.
thread_local std::vector<std::string>* HeldFailures = nullptr;
// How far the run has come, shown on a terminal.
RunProgress Progress;

// Identity of the source (entry 0) and of every stage, once it exists. A
// directory with one of these identities is never walked as a subdirectory:
// a stage inside the source is not backed up into itself, and a source inside
// stage 1 is not taken for stale stage content.
struct Root {
  FileId id;
  bool known = false;
};
std::vector<Root> Roots;
// Per stage, target directories that a transfer found or made, so that the
// chain is made once for the files of a directory (a batch's work may go
// from one directory to another and back). The walk never removes a stage
// directory, so the knowledge stays true. ReadyMutex keeps the batch's
// workers from making one chain twice at once.
std::vector<std::unordered_set<std::string>> ReadyDirs;
std::unordered_set<std::string> MakingDirs;  // chains a worker makes now
// Per stage, directories of the stages after the first that this run made,
// each with the names (folded) it has moved into it since: a name not among
// them is not there, so a move down need not look for it. A first rotation
// makes a directory for every one of the tree that changed. MadeDirsHeld
// counts what they hold, which stays bounded.
std::vector<std::unordered_map<std::string, std::unordered_set<uint64_t>>> MadeDirs;
size_t MadeDirsHeld = 0;
std::mutex ReadyMutex;
std::condition_variable ReadyChanged;
// Whether the run has changed anything in the stages, which are then
// flushed before it ends.
std::atomic<bool> StagesChanged = false;

// The threads that write the copies of a batch side by side: on a share or a
// far disk each copy costs round trips (create, write, attributes), and many
// in flight cost little more than one. None: each is written when decided.
std::unique_ptr<WorkerPool> Workers;

// The threads that read the listings of the directories the walk goes to
// next (ReadAhead). None where a stage lies inside the source or another
// stage: the walk there may change a directory whose listing is read ahead.
std::unique_ptr<ReadAhead> Readers;

// A copy that a worker writes: what it staged, or why it could not.
struct Staging {
  std::unique_ptr<platform::StagedFile> file;
  std::string failure;
};

void Report(const std::string& line = std::string());

// FNV-1a of a name with its ASCII letters folded, as file systems that
// ignore case take them.
uint64_t FoldedHash(std::string_view name) {
  uint64_t h = 14695981039346656037ull;
  for (const char c : name) h = (h ^ static_cast<unsigned char>(UpperAscii(c))) * 1099511628211ull;
  return h;
}

// The copies into stage 1 that are staged and wait for their flush, in
// decision order, with whatever the walk decided after each of them: the
// unit of a run's work. A copy is written when it is decided; once the batch
// is full (or the walk needs the disk as those decisions leave it), the
// batch is flushed in one go. Then the work of each file (a copy's rotation
// and naming) is done, the files side by side, beside the retirements of
// stale files, which wait for no copy and start when decided; and after
// them the steps in order: the report lines, with the failures of
// each file's work where that file was decided, and the directories' times.
// The report thus tells what a run decides in the order it decided it, each
// file's generations move in their order, and no copy is named before its
// bytes are on disk.
//
// With workers, one batch is flushed and named by a thread of its own while
// the walk fills the next (a far disk then names copies while the walk still
// looks for more); its steps are told once it is done, before anything the
// walk decided after it.
class Batch {
 public:
  using Step = std::function<void()>;
  using Naming = std::function<void(platform::StagedFile&)>;
  // Tells a copy that could not be staged, why.
  using Refusal = std::function<void(const std::string& failure)>;

  // Starts the batches of a run. `eager`: works start when given and a batch
  // is handed on while the walk goes on; not where the walk may meet what
  // they change.
  void Start(bool eager) {
    eager_ = eager;
    pipelined_ = eager && Workers->Size() > 0;
    committer_ = std::make_unique<WorkerPool>(pipelined_ ? 1 : 0);
    // Namings and moves only wait on the disk; copies also read and write
    // data, which more threads at once slow down on a local disk.
    namers_ = std::make_unique<WorkerPool>(2 * Workers->Size());
    maxFiles_ = MaxFiles(pipelined_ ? 2 : 1);
    open_ = std::make_unique<Round>(*Workers, *namers_);
  }

  bool Empty() const { return replaying_ || (open_->entries.empty() && !sealed_); }

  // Runs `step` at once when nothing waits, otherwise after what waits
  // (and with it, should the steps waiting grow too many).
  void Then(Step step) {
    if (Empty()) {
      step();
      return;
    }
    open_->entries.emplace_back().step = std::move(step);
    Advance();
  }
  // Work on a directory that waits for every file's work of the batch (its
  // time changes with them) and is done beside the others of its kind, also
  // when nothing else waits: a run that copies nothing still matches many
  // directories. What it fails at is told where it was decided.
  void Finish(Step work) {
    Entry& e = open_->entries.emplace_back();
    e.work = std::move(work);
    e.finish = true;
    Advance();
  }
  // The work of the file `name` in the directory `r` of the stages, done on
  // a worker beside the other files' work. It waits for no copy, so it
  // starts at once, while the walk goes on, when eager. Two works for one
  // file, or for names that a file system may take for one (letters
  // differing only in case), are never done side by side.
  void Work(const std::string& r, const std::string& name, Step work) {
    Claim(r + name);
    Entry& e = open_->entries.emplace_back();
    e.work = std::move(work);
    e.place = MovingPlace(r);
    if (eager_) Run(*open_, e);
    Advance();
  }
  // A copy of `from` to `to`, staged by a worker; once the batch is flushed,
  // `naming` gives it its place, as the work of the file `name` in `r`, or
  // `refusal` tells why it was not staged. `movesDown`: the naming moves
  // generations down first.
  void Add(const std::string& r, const std::string& name, const std::string& from,
           const std::string& to, bool movesDown, Naming naming, Refusal refusal) {
    if (Full()) Seal();
    Claim(r + name);
    Round& round = *open_;
    ++round.files;
    auto staging = std::make_shared<Staging>();
    const size_t place = Place(r);
    round.jobs.Submit(
        [&round, staging, from, to] {
          staging->file = Fs->StageCopy(from, to);
          if (staging->file) {
            round.bytes += staging->file->Size();
          } else {
            staging->failure = platform::LastErrorText();
          }
        },
        place);
    Entry& e = round.entries.emplace_back();
    e.staging = std::move(staging);
    e.naming = std::move(naming);
    e.refusal = std::move(refusal);
    e.place = movesDown ? MovingPlace(r) : place;
    Advance();
  }

  // Carries out everything given so far, and tells it.
  void Commit() {
    Seal();
    if (sealed_) Settle();
  }

  void Clear() {
    if (committer_) committer_->Wait();
    sealed_.reset();
    open_.reset();
    committer_.reset();
    namers_.reset();
  }

 private:
  struct Entry {
    std::shared_ptr<Staging> staging;  // shared with the worker that stages it
    Naming naming;
    Refusal refusal;
    Step step;
    Step work;
    std::vector<std::string> failures;  // noted by the work or the naming
    bool refused = false;
    bool finish = false;   // `work` waits for the others' (Finish)
    bool started = false;  // `work` was given to the workers
    size_t place = 0;      // for the workers: the directory it works in
  };
  // One batch.
  struct Round {
    Round(WorkerPool& writers, WorkerPool& namers) : jobs(writers), names(namers) {}
    // A deque, since a work that runs holds on to its entry.
    std::deque<Entry> entries;
    std::unordered_set<uint64_t> keys;  // of the files it works on
    size_t files = 0;
    std::atomic<uint64_t> bytes = 0;  // counted by the workers as they stage
    std::atomic<bool> done = false;   // carried out, to be told
    // Last, so that they wait for the jobs before the rest goes.
    JobGroup jobs;   // the copies, on the writers
    JobGroup names;  // namings, moves and directories, on the namers
  };

  // Bounded by the files it holds open and the bytes it leaves to write:
  // the memory of a batch is a few hundred bytes per copy.
  bool Full() const { return open_->files >= maxFiles_ || open_->bytes >= kMaxBytes; }

  // Tells what the batch handed on did once it is done, and hands on the
  // open one when the thread is free and it holds copies enough for a flush.
  void Advance() {
    if (sealed_ && sealed_->done) Settle();
    if (open_->entries.size() >= kMaxEntries ||
        (pipelined_ && !sealed_ && open_->files >= kHandOnFiles)) {
      Seal();
    }
  }

  // Hands the open batch on to be carried out, once the one before is told:
  // at most two batches are open at once.
  void Seal() {
    if (open_->entries.empty()) return;
    if (sealed_) Settle();
    sealed_ = std::move(open_);
    open_ = std::make_unique<Round>(*Workers, *namers_);
    Round* round = sealed_.get();
    committer_->Submit([round] {
      Carry(*round);
      round->done = true;
    });
  }

  // Waits for the batch handed on and tells it.
  void Settle() {
    committer_->Wait();
    Replay(*sealed_);
    sealed_.reset();
  }

  // Flushes the staged copies, then names them and does the works, side by
  // side, and after them the directories' work. A copy's file is closed (and
  // discarded, unless named) right after its naming.
  static void Carry(Round& round) {
    round.jobs.Wait();
    round.names.Wait();
    std::vector<platform::StagedFile*> files;
    for (const Entry& e : round.entries) {
      if (e.staging && e.staging->file) files.push_back(e.staging->file.get());
    }
    if (!files.empty()) Fs->FlushStaged(files);
    for (Entry& e : round.entries) {
      if (e.staging && e.staging->file) {
        round.names.Submit(
            [&e] {
              const HoldFailures hold(e.failures);
              e.naming(*e.staging->file);
              e.staging->file.reset();  // closed, and discarded unless named
            },
            e.place, true);
      } else if (e.work && !e.finish && !e.started) {
        Run(round, e, true);
      } else if (e.staging) {
        e.refused = true;
      }
    }
    round.names.Wait();
    for (Entry& e : round.entries) {
      if (e.finish) Run(round, e, true);
    }
    round.names.Wait();
  }

  // Carries out the steps of a batch that is done, in order, with the
  // failures of its works where they were decided, before whatever the walk
  // decided since.
  void Replay(Round& round) {
    std::vector<std::string> later;
    later.swap(PendingFailures);
    replaying_ = true;
    for (Entry& e : round.entries) {
      if (e.step) {
        e.step();
      } else if (e.refused) {
        e.refusal(e.staging->failure);
      } else {
        Failures += e.failures.size();
        PendingFailures.insert(PendingFailures.end(), e.failures.begin(), e.failures.end());
        if (e.finish && !e.failures.empty()) Report();
      }
    }
    replaying_ = false;
    PendingFailures.insert(PendingFailures.end(), later.begin(), later.end());
  }

  // The workers' place of the directory `r`: its files' name changes queue
  // behind one another, so the workers go to other directories beside it.
  static size_t Place(std::string_view r) { return std::hash<std::string_view>{}(r) | 1; }
  // The place of a work that moves a file down from `r`: it may first make
  // the directory in the next stage, a change of the parent directory, and
  // a run that makes them makes one for each directory of the tree. Placed
  // by the parent, the workers spread over the tree instead of queueing on
  // one parent.
  static size_t MovingPlace(std::string_view r) {
    const size_t end = r.empty() ? 0 : r.find_last_of(platform::PathDelim, r.size() - 2);
    return Place(r.substr(0, end == std::string_view::npos ? 0 : end + 1));
  }

  // Gives the entry's work to the workers, its failures held for it.
  static void Run(Round& round, Entry& e, bool first = false) {
    e.started = true;
    round.names.Submit(
        [&e] {
          const HoldFailures hold(e.failures);
          e.work();
        },
        e.place, first);
  }

  // Keeps what Failed notes on this thread for the entry, while it lives.
  class HoldFailures {
   public:
    explicit HoldFailures(std::vector<std::string>& failures) { HeldFailures = &failures; }
    ~HoldFailures() { HeldFailures = nullptr; }
    HoldFailures(const HoldFailures&) = delete;
    HoldFailures& operator=(const HoldFailures&) = delete;
  };

  // A batch holds one work per file, and the batch handed on none for the
  // same file: a second for the same name (letters folded, for file systems
  // that ignore case) waits until both are done.
  void Claim(const std::string& key) {
    const uint64_t h = FoldedHash(key);
    if (open_->keys.count(h) || (sealed_ && sealed_->keys.count(h))) Commit();
    open_->keys.insert(h);
  }
  static constexpr uint64_t kMaxBytes = 256ull << 20;
  static constexpr size_t kMaxEntries = 16384;
  static constexpr size_t kMaxFiles = 4096;
  // The copies a batch gathers before it may be handed on while the walk
  // goes on: a flush costs a commit of the file system's journal.
  static constexpr size_t kHandOnFiles = 64;

  // A quarter of the descriptors the process may hold, shared by the
  // batches open at once, at most kMaxFiles: every flush of a batch waits
  // for a commit of the file system's journal, so the fewer batches the
  // better, as long as memory stays small.
  static size_t MaxFiles(size_t open) {
    const size_t limit = platform::OpenFileLimit();
    return limit == 0 ? kMaxFiles : std::clamp<size_t>(limit / 4 / open, 1, kMaxFiles);
  }

  std::unique_ptr<Round> open_;    // the batch the walk fills
  std::unique_ptr<Round> sealed_;  // the batch handed on, until it is told
  std::unique_ptr<WorkerPool> committer_;
  std::unique_ptr<WorkerPool> namers_;
  size_t maxFiles_ = kMaxFiles;
  bool eager_ = false;
  bool pipelined_ = false;
  bool replaying_ = false;
};
Batch Pending;

// What the walk saw of a stage-1 directory, kept for the removal of emptied
// directories, so that it lists again only a directory that may be empty.
// A directory that the walk left holding a file or a lasting subdirectory,
// with nothing below it that may be empty, is kept as no StageDir at all.
struct StageDir {
  std::string name;  // as its parent's listing names it
  // False for a directory the walk did not visit: it is judged from its
  // listings alone, as is everything below it.
  bool seen = true;
  // The walk left a file or a lasting subdirectory in it.
  bool holds = false;
  // It was not there when the walk listed it, and the walk may have made it
  // since, for a copy into it or below it.
  bool mayBeMade = false;
  // It is listed again for the removal: it may be empty, or the walk made
  // subdirectories in it whose place in its listing is not known.
  bool listAgain = true;
  // Its subdirectories that need a look, in the order of its listing.
  std::vector<StageDir> subdirs;
};
// How many StageDirs the walk has made. Past kMaxStageDirs (1 MiB, 5 MiB
// with the longest names) it keeps no more, and the directories above those
// it dropped are judged from their listings, so memory stays bounded however
// many may be empty.
size_t StageDirCount = 0;
constexpr size_t kMaxStageDirs = 1 << 14;

void ReleaseEngineState() {
  // The workers end first: what they still write goes through Fs.
  Pending.Clear();
  Workers.reset();
  Readers.reset();
  if (Fs) Fs->SetRoots({});
  Fs = nullptr;
  std::vector<std::string>().swap(DirList);
  std::vector<std::string>().swap(IncludeMasks);
  std::vector<std::string>().swap(ExcludeMasks);
  std::vector<std::string>().swap(ReportLines);
  std::vector<std::string>().swap(PendingFailures);
  Failures = 0;
  std::vector<Root>().swap(Roots);
  std::vector<std::unordered_set<std::string>>().swap(ReadyDirs);
  MakingDirs.clear();
  std::vector<std::unordered_map<std::string, std::unordered_set<uint64_t>>>().swap(MadeDirs);
  MadeDirsHeld = 0;
  StageDirCount = 0;
  StagesChanged = false;
  Progress.End();
}

void FlushStages();

// Releases the engine state however the run ends.
class EngineStateScope {
 public:
  EngineStateScope() = default;
  EngineStateScope(const EngineStateScope&) = delete;
  EngineStateScope& operator=(const EngineStateScope&) = delete;
  ~EngineStateScope() { ReleaseEngineState(); }
};

// A run that an error stops (an invalid mask met by the walk) still carries
// out what it decided before, and puts it on disk, as a run that ends does;
// while it holds the lock.
class DecidedWorkScope {
 public:
  DecidedWorkScope() = default;
  DecidedWorkScope(const DecidedWorkScope&) = delete;
  DecidedWorkScope& operator=(const DecidedWorkScope&) = delete;
  ~DecidedWorkScope() {
    if (std::uncaught_exceptions() == exceptions_) return;
    Pending.Commit();
    if (StagesChanged) FlushStages();
  }

 private:
  int exceptions_ = std::uncaught_exceptions();
};

const std::string kDelim(1, platform::PathDelim);

// Notes that `path` could not be done, for the reason that the platform
// gives for the operation that has just failed.
void Failed(const std::string& path, const std::string& reason) {
  std::string line = "failed  " + platform::ShownPath(path) + "\t" + reason;
  if (HeldFailures) {
    HeldFailures->push_back(std::move(line));
    return;
  }
  ++Failures;
  PendingFailures.push_back(std::move(line));
}
void Failed(const std::string& path) { Failed(path, platform::LastErrorText()); }

// What `path` names now, leaving the platform error of the operation that
// has just failed as it was, for Failed to tell.
platform::PathKind KindKeepingError(const std::string& path) {
  const platform::ErrorKeeper keep;
  return Fs->KindOf(path);
}

// After a delete or a removal that failed: one that is gone already is as
// good as done; anything else is a failure.
void FailedUnlessGone(const std::string& path) {
  if (KindKeepingError(path) != platform::PathKind::Missing) Failed(path);
}

// Writes a decision line (none when empty) and after it the failures of what
// it decided; told on the platform's error stream as they are reported.
// Behind copies that wait for their batch, the line and the failures noted
// so far wait too, for those that the steps before it note.
void Report(const std::string& line) {
  if (!Pending.Empty()) {
    std::vector<std::string> failures;
    failures.swap(PendingFailures);
    Pending.Then([line, failures = std::move(failures)] {
      PendingFailures.insert(PendingFailures.begin(), failures.begin(), failures.end());
      Report(line);
    });
    return;
  }
  if (ReportOn && !line.empty()) ReportLines.push_back(line);
  for (const std::string& failure : PendingFailures) {
    Progress.Erase();
    platform::TellFailure(failure);
    if (ReportOn) ReportLines.push_back(failure);
  }
  PendingFailures.clear();
}

// A file: neither a directory nor a volume label.
bool IsFile(uint32_t attr) { return (attr & (platform::faDirectory | platform::faVolumeID)) == 0; }

// A subdirectory to walk: a directory that is not "." or "..", nor on a
// platform that hides directories by a leading dot, one that begins with ".".
// A directory that is a link (a junction) is never walked: it can lead
// anywhere, back into itself too.
bool IsSubdir(uint32_t attr, std::string_view name) {
  return (attr & platform::faDirectory) && !(attr & platform::faSymLink) &&
         platform::IsWalkedDirName(name);
}

// True when the directory `path` is the source or one of the stages.
bool IsRoot(const std::string& path) {
  FileId id;
  if (!Fs->Identity(path, id)) return false;
  const std::lock_guard<std::mutex> lock(ReadyMutex);  // a worker may identify a stage
  return std::any_of(Roots.begin(), Roots.end(),
                     [&](const Root& root) { return root.known && root.id == id; });
}

// A stage that did not exist at the start is identified once a transfer has
// created it, before the walk can meet it inside the source.
void IdentifyStage(size_t k) {
  if (k < Roots.size() && !Roots[k].known) Roots[k].known = Fs->Identity(DirList[k], Roots[k].id);
}

bool InDateRange(FileTime t) {
  const auto day = static_cast<DateValue>(platform::FileTimeDay(t));
  return day >= FirstDay && day <= LastDay;
}

// The include masks (the first fit ends the search), then the exclude masks.
bool NamePasses(const std::string& fileName) {
  if (IncludeMasks.empty() && ExcludeMasks.empty()) return true;
  // A name is matched as the ANSI code page spells it, as the masks are.
  const std::string name = platform::AnsiSpelling(fileName);
  if (!IncludeMasks.empty() &&
      std::none_of(IncludeMasks.begin(), IncludeMasks.end(),
                   [&](const std::string& mask) { return NameFitsMask(name, mask); })) {
    return false;
  }
  return std::none_of(ExcludeMasks.begin(), ExcludeMasks.end(),
                      [&](const std::string& mask) { return NameFitsMask(name, mask); });
}

std::string StagePath(size_t k, const std::string& r, std::string_view name) {
  std::string path = DirList[k];
  path += r;
  path += name;
  return path;
}

bool Transfer(size_t from, const std::string& r, const std::string& name);
bool MayHold(size_t k, const std::string& r, const std::string& name);
void KnownReady(size_t k, const std::string& r);
void CopyIn(const std::string& r, const std::string& name, bool replace, bool rotate);
bool UnmadeStageIn(const std::string& dir);

// The copies of that name in stages n - 2 down to `lowest` each move one
// stage on, oldest first, so that every move finds its target emptied.
void MoveDown(const std::string& r, const std::string& name, size_t lowest) {
  for (size_t k = DirList.size() - 2; k >= lowest; --k) {
    if (MayHold(k, r, name) && Fs->FileExists(StagePath(k, r, name))) Transfer(k, r, name);
  }
}

// True when a directory of that name in a later stage keeps stage 1's copy
// from ever moving down: every stage before it holds a file, which cannot
// move on into the directory, and no later run would get further. The new
// copy then takes stage 1's place after all, or no newer version of the file
// could ever be kept.
bool BlockedForGood(const std::string& r, const std::string& name) {
  for (size_t k = 2; k < DirList.size(); ++k) {
    const platform::PathKind kind = Fs->KindOf(StagePath(k, r, name));
    if (kind == platform::PathKind::Directory) return true;
    if (kind != platform::PathKind::File) return false;
  }
  return false;
}

// Stage 1's copy and the generations after it move down a stage each, oldest
// first (the last stage's copy giving way). False when stage 1's copy stays:
// it could not move down, and something could (BlockedForGood).
bool MakeRoom(const std::string& r, const std::string& name) {
  MoveDown(r, name, 2);
  return Transfer(1, r, name) || BlockedForGood(r, name);
}

// A changed source file. The new copy is made first, beside stage 1's; only
// once it is complete and on disk do the generations move down (MakeRoom),
// and the copy takes stage 1's name. A copy that fails thus costs no
// generation, and a stage-1 copy that cannot move down stays rather than be
// lost under the new one, unless nothing could ever move it. `stage1` holds
// the attributes of what the lookup found in stage 1 under that name.
void Rotate(const std::string& r, const std::string& name, uint32_t stage1) {
  // A directory of that name keeps the copy from its place for good; the
  // copy is still tried, without replacing, so that its failure is told.
  if (!IsFile(stage1)) {
    CopyIn(r, name, false, false);
    return;
  }
  CopyIn(r, name, true, DirList.size() > 2);
}

// Deletes a file; one that is gone already is as good as deleted.
void Delete(const std::string& path) {
  StagesChanged = true;
  if (!Fs->DeleteFile(path)) FailedUnlessGone(path);
}

// A stage-1 file that the source no longer has leaves stage 1.
void RetireStale(const std::string& r, const std::string& name) {
  if (DirList.size() <= 2) {
    Delete(StagePath(1, r, name));
    return;
  }
  MoveDown(r, name, 1);
}

// Whether the source directory (listed as `source`, spelled `dir`) has an
// entry of this name of the wanted kind. The listing answers when it names
// one; otherwise the disk is asked, which also finds a name that differs only
// in case where the file system ignores case. A name that cannot be looked up
// counts as there, and is told: only what the file system says is gone is
// taken for gone.
bool SourceHas(Listing& source, std::string& dir, std::string_view name, bool wantDir) {
  const Listing::Item* item = source.Find(name);
  // One that the listing names but could not look up is told by step 3.
  if (item && (item->attr & platform::faUnreadable)) return true;
  if (item && ((item->attr & platform::faDirectory) != 0) == wantDir) return true;
  const size_t base = dir.size();
  dir += name;
  const platform::PathKind kind = Fs->KindOf(dir);
  if (kind == platform::PathKind::Unknown) {
    Failed(dir);
    Report();
  }
  dir.resize(base);
  return kind == platform::PathKind::Unknown ||
         kind == (wantDir ? platform::PathKind::Directory : platform::PathKind::File);
}

// Stops the run before anything is touched when the source is missing or a
// stage is the source itself; otherwise gives the identities of the source
// and of the stages that exist.
std::vector<Root> IdentifyRoots(platform::FileSystem& fs, const std::vector<std::string>& dirList) {
  if (!fs.DirectoryExists(dirList[0])) {
    throw Exception(platform::ProgramText("元ディレクトリが見つかりません: ") + dirList[0]);
  }
  std::vector<Root> roots(dirList.size());
  for (size_t k = 0; k < dirList.size(); ++k) {
    roots[k].known = fs.Identity(dirList[k], roots[k].id);
  }
  for (size_t k = 1; k < dirList.size(); ++k) {
    if (roots[0].known && roots[k].known && roots[k].id == roots[0].id) {
      throw Exception(
          platform::ProgramText("元ディレクトリとバックアップディレクトリが同じです: ") +
          dirList[k]);
    }
  }
  return roots;
}

// The directories that a run made in stage k (parents first) take what the
// source directory they stand for keeps, or its stage-1 counterpart's when
// the source has none. The stage's own top directory, the one the user
// named, takes only the bits and stays the running user's; the directories
// above it are left as made.
void KeepMadeDirs(size_t k, const std::vector<std::string>& made) {
  const std::string& stage = DirList[k];
  std::string top = stage;
  while (top.size() > 1 && top.back() == platform::PathDelim) top.pop_back();
  for (const std::string& dir : made) {
    std::string r;
    if (dir.size() > top.size() && dir.compare(0, stage.size(), stage) == 0) {
      r = dir.substr(stage.size()) + kDelim;
    } else if (dir != top) {
      continue;
    }
    std::string from = DirList[0] + r;
    if (k > 1 && !Fs->DirectoryExists(from)) from = DirList[1] + r;
    if (!Fs->KeepDirAttributes(from, dir, !r.empty())) Failed(dir + kDelim);
  }
}

// A stage-1 directory that stays gets the bits and last-write time of the
// source directory it stands for, once it is done with: after its content,
// and after the removal of its emptied subdirectories, which changes it.
void MatchToSource(const std::string& stage1Dir) {
  if (DryRun || DirList.size() < 2 || stage1Dir.compare(0, DirList[1].size(), DirList[1]) != 0) {
    return;
  }
  // After what the batch holds for it: the naming of its copies and the
  // stale files that leave it change its time.
  Pending.Finish([stage1Dir] {
    if (!Fs->MatchDirectory(DirList[0] + stage1Dir.substr(DirList[1].size()), stage1Dir)) {
      Failed(stage1Dir);
    }
  });
}

// True when one of the directories named lies inside another (as its
// spelling tells, letters compared without regard to case).
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

// Takes the run lock of stage 1, which a real run makes first when it is
// missing; a dry run makes nothing and waits only on a stage 1 that exists.
// A stage 1 that the run before removed as empty while this one waited is
// made and locked anew. A stage 1 that cannot be made is told by the
// transfers that need it; one that is there and cannot be locked, here.
// `made` gets the directories made for the lock.
std::unique_ptr<platform::StageLock> LockStageOne(std::vector<std::string>& made) {
  const std::string& stage1 = DirList[1];
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!DryRun && !platform::CreateDirChain(*Fs, stage1, nullptr, &made)) return nullptr;
    if (std::unique_ptr<platform::StageLock> lock = platform::LockStage(stage1)) return lock;
    if (KindKeepingError(stage1) == platform::PathKind::Missing) {
      if (DryRun) return nullptr;
      continue;
    }
    Failed(stage1);
    Report();
    return nullptr;
  }
  return nullptr;
}

// The listings of a directory that workers read ahead of the walk.
struct Ahead {
  std::shared_ptr<ListingAhead> source;
  std::shared_ptr<ListingAhead> stage1;
};

std::optional<StageDir> WalkDir(const std::string& r, const Ahead& ahead = {});
bool RemoveIfEmpty(const std::string& d, const StageDir* seen);

}  // namespace

bool RunBackup(const std::vector<std::string>& dirList,
               const std::vector<std::string>& includeMasks,
               const std::vector<std::string>& excludeMasks, DateValue firstDay, DateValue lastDay,
               bool reportOn, bool keepExtra, bool dryRun) {
  return RunBackupOn(platform::RealFileSystem(), dirList, includeMasks, excludeMasks, firstDay,
                     lastDay, reportOn, keepExtra, dryRun, nullptr, WorkerCount());
}

bool RunBackupOn(platform::FileSystem& fs, const std::vector<std::string>& dirList,
                 const std::vector<std::string>& includeMasks,
                 const std::vector<std::string>& excludeMasks, DateValue firstDay,
                 DateValue lastDay, bool reportOn, bool keepExtra, bool dryRun,
                 const ReportHandOff& handOff, size_t workers) {
  if (dirList.size() < 2) return true;
  std::vector<Root> roots = IdentifyRoots(fs, dirList);

  const EngineStateScope scope;
  Fs = &fs;
  Workers = std::make_unique<WorkerPool>(dryRun ? 0 : workers);
  const bool nested = Nested(dirList);
  // Twice as many readers: a listing only waits, and the walk waits for it.
  Readers = std::make_unique<ReadAhead>(fs, nested ? 0 : 2 * workers);
  Pending.Start(!nested);
  Roots = std::move(roots);
  ReadyDirs.assign(dirList.size(), {});
  MadeDirs.assign(dirList.size(), {});
  DirList.assign(dirList.begin(), dirList.end());
  // Below the directories named, no link is a way through.
  Fs->SetRoots(DirList);
  IncludeMasks.assign(includeMasks.begin(), includeMasks.end());
  ExcludeMasks.assign(excludeMasks.begin(), excludeMasks.end());
  FirstDay = firstDay;
  LastDay = lastDay;
  ReportOn = reportOn;
  KeepExtra = keepExtra;
  DryRun = dryRun;
  ReportLines.clear();

  // Two runs over one stage 1 never overlap: the later one waits here. The
  // lock is held until the stages are done with, not while the report is
  // shown (a pager waits for the user).
  std::vector<std::string> madeForLock;
  std::unique_ptr<platform::StageLock> lock = LockStageOne(madeForLock);
  KeepMadeDirs(1, madeForLock);
  Report();
  const DecidedWorkScope decided;
  Progress.Start();
  Roots[1].known = Fs->Identity(DirList[1], Roots[1].id);
  const std::optional<StageDir> stage1 = WalkDir(std::string());
  Pending.Commit();
  if (!KeepExtra && stage1) RemoveIfEmpty(DirList[1], &*stage1);
  Pending.Commit();
  Progress.End();
  // What was made only to be locked and got nothing goes again, so that a
  // run with nothing to copy leaves the disk as it found it.
  for (auto dir = madeForLock.rbegin(); dir != madeForLock.rend(); ++dir) Fs->RemoveDir(*dir);
  if (StagesChanged) FlushStages();
  lock.reset();
  const bool clean = Failures == 0;
  if (ReportOn) {
    if (handOff) {
      handOff(ReportLines);
    } else {
      ShowReportOn(fs, ReportLines);
    }
  }
  return clean;
}

namespace {

// A directory that holds a valid cache directory tag (a CACHEDIR.TAG file
// beginning with the Cache Directory Tagging signature) is passed over, as
// tar and the common backup tools do. Only a listing that names the file
// costs a look.
bool IsTaggedCache(const std::string& dir, Listing& listing) {
  static constexpr std::string_view kSignature = "Signature: 8a477f597d28d172789f06886806bc55";
  const Listing::Item* tag = listing.Find("CACHEDIR.TAG");
  if (!tag || !IsFile(tag->attr)) return false;
  std::string start;
  return Fs->ReadStart(dir + "CACHEDIR.TAG", kSignature.size(), start) && start == kSignature;
}

// What one visit of BackupDir keeps. It lives on the heap, so that a deep
// tree costs little stack per level.
struct Visit {
  std::string sourceDir;  // SRC + R
  std::string stage1Dir;  // BK1 + R
  Listing source;
  Listing stage1;    // not listed with KeepExtra
  std::string name;  // the file at hand
  DirEntry found;    // a lookup's answer
  // For the removal of emptied directories (not kept with KeepExtra): what
  // became of each source subdirectory, by its place in the source listing,
  // and of stage 1's files.
  std::vector<uint32_t> walked;       // a Walked value per source entry
  std::vector<StageDir> walkedBelow;  // the StageDirs of those walked to one
  size_t stageFiles = 0;              // files in stage 1's listing
  size_t stageFilesTouched = 0;       // of them, moved, replaced or deleted (at most)
  bool copiesTried = false;           // into this stage-1 directory
  int stage1Missing = -1;             // not asked yet, else whether it was
};

// What the walk made of a source subdirectory: not walked, walked and left
// lasting, walked to a StageDir that stage 1's listing has taken, or walked
// to walkedBelow[value - kWalkedToStageDir].
enum Walked : uint32_t { kNotWalked, kWalkedKept, kWalkedTaken, kWalkedToStageDir };

// Stage 1's entry of that name, of any kind. Its listing answers for a file;
// otherwise the disk is asked, also for a directory, whose time a listing
// may leave out.
bool StageOneEntry(Visit& v, const std::string& name, DirEntry& out, LookupAhead* ahead) {
  const Listing::Item* have = KeepExtra ? nullptr : v.stage1.Find(name);
  if (have && (have->attr & platform::faDirectory) == 0) {
    out.attr = have->attr;
    out.size = have->size;
    out.time = have->time;
    return true;
  }
  // A stage-1 directory that is missing holds nothing, and once made by this
  // walk, nothing but its subdirectories and the copies of other names: it
  // is asked once, not for every file.
  if (!have && !KeepExtra && v.stage1.Items().empty()) {
    if (v.stage1Missing < 0)
      v.stage1Missing = Fs->KindOf(v.stage1Dir) == platform::PathKind::Missing;
    if (v.stage1Missing) return false;
  }
  // A directory's time changes with the stale files that the batch retires
  // from it: it is looked up as today's run would, once they are gone.
  if (have) Pending.Commit();
  if (ahead) return ahead->Take(out);
  const size_t base = v.stage1Dir.size();
  v.stage1Dir += name;
  const bool found = Fs->Find(v.stage1Dir, platform::faAnyFile, out);
  v.stage1Dir.resize(base);
  return found;
}

// Whether the decision on this source entry asks the disk for stage 1's
// entry of its name with a lookup that may be made ahead: a file that
// passes the filters, which stage 1's listing (there and not empty) lacks,
// or every one with KeepExtra, which lists no stage 1.
bool LooksUpStageOne(Visit& v, const Listing::Item& item) {
  if ((item.attr & platform::faUnreadable) || !IsFile(item.attr) || !InDateRange(item.time)) {
    return false;
  }
  const std::string_view name = v.source.Name(item);
  if (!KeepExtra && (v.stage1.Items().empty() || v.stage1.Find(name))) return false;
  return NamePasses(std::string(name));
}

// A source entry that the listing names but that cannot be looked up (a
// directory without the right to search it): its backup stays as it is, and
// that is told. One that has gone meanwhile is no concern.
void TellUnreadable(Visit& v, std::string_view name) {
  const std::string path = v.sourceDir + std::string(name);
  if (Fs->KindOf(path) != platform::PathKind::Unknown) return;
  Failed(path);
  Report();
}

// Whether the source file differs from what stage 1 holds under its name. A
// copy of another size holds other content, whichever is newer: a file put
// back with an older time (restored from stage 2, unpacked, moved in) is
// backed up too, and the newer copy it replaces becomes a generation. A
// newer copy of the same size is taken for the same file, since telling it
// apart would mean reading both. A directory in the way has no size to
// compare: only a newer source file, or one of the same time, is taken.
bool Changed(const Listing::Item& source, const DirEntry& stage1) {
  if (source.time > stage1.time) return true;
  if (!IsFile(stage1.attr)) return source.time == stage1.time && source.size != stage1.size;
  return source.size != stage1.size;
}

// Step 3: every source file that passes the filters and that stage 1 lacks,
// or holds in an older version, is copied (after a rotation).
void BackupFiles(Visit& v, const std::string& r) {
  std::string& name = v.name;
  DirEntry& stage1 = v.found;
  const std::vector<Listing::Item>& items = v.source.Items();
  // The lookups of the next names that stage 1's listing lacks are made
  // ahead, a few at a time: on a share each is a round trip.
  std::deque<std::pair<size_t, std::shared_ptr<LookupAhead>>> lookups;
  size_t toLook = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const Listing::Item& item = items[i];
    if (item.attr & platform::faUnreadable) {
      TellUnreadable(v, v.source.Name(item));
      continue;
    }
    if (!IsFile(item.attr) || !InDateRange(item.time)) continue;
    name.assign(v.source.Name(item));
    if (!NamePasses(name)) continue;
    ++Progress.counts.checked;
    Progress.Tick();

    for (toLook = std::max(toLook, i); toLook < items.size() && lookups.size() < Readers->Size();
         ++toLook) {
      if (!LooksUpStageOne(v, items[toLook])) continue;
      std::shared_ptr<LookupAhead> ahead =
          Readers->StartLookup(v.stage1Dir + std::string(v.source.Name(items[toLook])));
      if (!ahead) break;  // looked up when its turn comes
      lookups.emplace_back(toLook, std::move(ahead));
    }
    std::shared_ptr<LookupAhead> ahead;
    if (!lookups.empty() && lookups.front().first == i) {
      ahead = std::move(lookups.front().second);
      lookups.pop_front();
    }
    const bool present = StageOneEntry(v, name, stage1, ahead.get());
    if (present && !Changed(item, stage1)) continue;

    if (!DryRun) {
      // A directory whose listing was read is there: its copies need not ask.
      if (!v.copiesTried && !v.stage1.Items().empty()) KnownReady(1, r);
      v.copiesTried = true;
      if (present) {
        ++v.stageFilesTouched;
        Rotate(r, name, stage1.attr);
      } else {
        // Nothing was found in stage 1; should the lookup have failed on a
        // copy that is there, the new one does not replace it.
        CopyIn(r, name, false, false);
      }
    }
    Progress.Copied(item.size);
    Report("copied  " + platform::ShownPath(v.sourceDir + name));
  }
}

// Step 4: stage-1 files that the source lacks, collected first and handled
// once the listing is complete.
void RetireStaleFiles(Visit& v, const std::string& r) {
  std::vector<const Listing::Item*> staleNames;
  for (const Listing::Item& item : v.stage1.Items()) {
    if (IsFile(item.attr) && !SourceHas(v.source, v.sourceDir, v.stage1.Name(item), false)) {
      staleNames.push_back(&item);
    }
  }
  std::string& name = v.name;
  for (const Listing::Item* item : staleNames) {
    name.assign(v.stage1.Name(*item));
    if (!DryRun) {
      ++v.stageFilesTouched;
      Pending.Work(r, name, [r, name = name] { RetireStale(r, name); });
    }
    Report("deleted " + platform::ShownPath(v.stage1Dir + name));
  }
}

}  // namespace

void BackupDir(const std::string& r) { WalkDir(r); }

namespace {

// A StageDir made by the walk; one made past kMaxStageDirs keeps nothing
// below it and is judged from its listings.
std::optional<StageDir> Keep(StageDir dir) {
  if (++StageDirCount > kMaxStageDirs || !dir.seen) {
    dir.seen = false;
    std::vector<StageDir>().swap(dir.subdirs);
  }
  return dir;
}

// What step 1 made of the stage-1 subdirectory `name`, which the source has
// too: nothing when the walk left something lasting in it; a StageDir not
// seen when the walk did not visit it under that name.
std::optional<StageDir> WalkedInStepOne(Visit& v, std::string_view name) {
  const Listing::Item* item = v.source.Find(name);
  const uint32_t walked = item ? v.walked[item - v.source.Items().data()] : kNotWalked;
  if (walked == kWalkedKept) return std::nullopt;
  if (walked >= kWalkedToStageDir) {
    v.walked[item - v.source.Items().data()] = kWalkedTaken;
    return std::move(v.walkedBelow[walked - kWalkedToStageDir]);
  }
  StageDir unseen;
  unseen.seen = false;
  return Keep(std::move(unseen));
}

// Visits the relative path `r`. Returns what became of stage 1's directory
// there (nothing with KeepExtra, or when the walk left something lasting in
// it and nothing below that may be empty).
std::optional<StageDir> WalkDir(const std::string& r, const Ahead& ahead) {
  ++Progress.counts.dirs;
  Progress.Tick();
  const auto v = std::make_unique<Visit>();
  v->sourceDir = DirList[0] + r;
  v->stage1Dir = DirList[1] + r;
  // Each directory is listed once; the subdirectories are walked after the
  // listing is complete, so no directory stays open while the walk goes deeper.
  if (ahead.source) {
    ahead.source->TakeInto(v->source);
  } else {
    v->source.Read(*Fs, v->sourceDir, false, platform::faAnyFile | platform::faUnreadable);
  }
  // A listing of a directory that exists has "." and ".." at least. One that
  // yields nothing stands for a deleted directory only when the file system
  // says it is gone; one that could not be read leaves its backup alone,
  // and is told.
  if (v->source.Items().empty()) {
    const platform::PathKind kind = KindKeepingError(v->sourceDir);  // why the listing failed
    if (kind == platform::PathKind::Directory || kind == platform::PathKind::Unknown) {
      Failed(v->sourceDir);
      Report();
      if (KeepExtra) return std::nullopt;
      StageDir unseen;
      unseen.seen = false;
      return Keep(std::move(unseen));
    }
  }
  // What stage 1 holds of it is left as it is.
  if (IsTaggedCache(v->sourceDir, v->source)) {
    if (KeepExtra) return std::nullopt;
    StageDir unseen;
    unseen.seen = false;
    return Keep(std::move(unseen));
  }

  // Stage 1 is listed before the walk goes deeper: where attributes come
  // with a listing, as on a share, its subdirectories then need no lookup
  // of their own. The walk below makes subdirectories here at most, of
  // names the source has, which step 2 passes over.
  if (!KeepExtra) {
    if (ahead.stage1) {
      ahead.stage1->TakeInto(v->stage1);
    } else {
      v->stage1.Read(*Fs, v->stage1Dir);
    }
  }

  // 1. Source subdirectories, depth first. The listings of the next few are
  // read ahead while the walk is below the one before them. Nothing the walk
  // does before it gets to a directory changes that directory: files are
  // copied into their own directory only, and only after its subdirectories.
  const std::vector<Listing::Item>& items = v->source.Items();
  if (!KeepExtra) v->walked.assign(items.size(), kNotWalked);
  std::deque<std::pair<size_t, Ahead>> window;  // by place in the listing
  size_t toAsk = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string_view name = v->source.Name(items[i]);
    if (!IsSubdir(items[i].attr, name)) continue;
    for (; toAsk < items.size() && window.size() < Readers->Size(); ++toAsk) {
      const std::string_view next = v->source.Name(items[toAsk]);
      if (toAsk < i || !IsSubdir(items[toAsk].attr, next)) continue;
      const std::string nextSub = r + std::string(next) + kDelim;
      Ahead read;
      read.source =
          Readers->Start(DirList[0] + nextSub, platform::faAnyFile | platform::faUnreadable);
      if (read.source && !KeepExtra)
        read.stage1 = Readers->Start(DirList[1] + nextSub, platform::faAnyFile);
      window.emplace_back(toAsk, std::move(read));
    }
    Ahead read;
    if (!window.empty() && window.front().first == i) {
      read = std::move(window.front().second);
      window.pop_front();
    }
    const std::string sub = r + std::string(name) + kDelim;
    if (UnmadeStageIn(DirList[0] + sub)) Pending.Commit();
    if (IsRoot(DirList[0] + sub)) continue;
    std::optional<StageDir> below = WalkDir(sub, read);
    if (KeepExtra) continue;
    if (!below) {
      v->walked[i] = kWalkedKept;
      continue;
    }
    v->walked[i] = kWalkedToStageDir + static_cast<uint32_t>(v->walkedBelow.size());
    v->walkedBelow.push_back(std::move(*below));
  }
  if (KeepExtra) {
    BackupFiles(*v, r);
    MatchToSource(v->stage1Dir);  // no removal of emptied directories follows
    return std::nullopt;
  }

  // 2. Subdirectories that only stage 1 has. Its listing also serves the
  // lookups of step 3 and the stale files of step 4: the walk changes no
  // file in this directory before them, and step 3 touches only names that
  // the source has. What becomes of each stage-1 subdirectory is kept, in
  // the listing's order, for the removal of emptied directories.
  StageDir here;
  bool lasting = false;  // a subdirectory that stays
  for (const Listing::Item& item : v->stage1.Items()) {
    const std::string_view name = v->stage1.Name(item);
    if (IsFile(item.attr)) ++v->stageFiles;
    if (!IsSubdir(item.attr, name)) continue;
    std::optional<StageDir> below;
    if (SourceHas(v->source, v->sourceDir, name, true)) {
      below = WalkedInStepOne(*v, name);
    } else {
      const std::string sub = r + std::string(name) + kDelim;
      if (UnmadeStageIn(DirList[1] + sub)) Pending.Commit();
      if (IsRoot(DirList[1] + sub)) {
        lasting = true;  // never removed
        continue;
      }
      below = WalkDir(sub);
    }
    if (!below) {
      lasting = true;
      continue;
    }
    if (below->seen && below->holds) lasting = true;
    if (StageDirCount > kMaxStageDirs) {
      here.seen = false;  // one it cannot keep is judged from the listings
      continue;
    }
    below->name.assign(name);
    here.subdirs.push_back(std::move(*below));
  }

  // Subdirectories that step 1 may have made: the listing does not tell
  // their place, so this directory is listed again for the removal. One
  // that the walk cannot have made is not there.
  bool madeBelow = false;
  for (size_t i = 0; i < items.size(); ++i) {
    if (v->walked[i] < kWalkedToStageDir) continue;
    if (!v->walkedBelow[v->walked[i] - kWalkedToStageDir].mayBeMade) continue;
    madeBelow = true;
    if (StageDirCount > kMaxStageDirs) {
      here.seen = false;
      break;
    }
    StageDir& below = v->walkedBelow[v->walked[i] - kWalkedToStageDir];
    below.name.assign(v->source.Name(items[i]));
    here.subdirs.push_back(std::move(below));
  }

  BackupFiles(*v, r);
  RetireStaleFiles(*v, r);
  here.holds = lasting || v->stageFiles > v->stageFilesTouched;
  // A listing of a directory that exists has "." and ".." at least.
  here.mayBeMade = v->stage1.Items().empty() && (v->copiesTried || madeBelow);
  here.listAgain = madeBelow || !here.holds;
  if (here.seen && !here.listAgain && here.subdirs.empty()) {
    // The removal of emptied directories passes it by: it is done with now.
    MatchToSource(v->stage1Dir);
    return std::nullopt;
  }
  return Keep(std::move(here));
}

}  // namespace

void TransferStage(int k, const std::string& r, const std::string& name) {
  if (k > 0) {
    Transfer(static_cast<size_t>(k), r, name);
  } else if (k == 0) {
    CopyIn(r, name, true, false);
    Pending.Commit();
  }
}

namespace {

constexpr size_t kMaxReadyDirs = 1024;
// About 2 MiB of made directories and the names moved into them.
constexpr size_t kMaxMadeDirsHeld = 1 << 15;

// Notes, with ReadyMutex held, that the directory `target` of stage k is there.
void NoteReady(size_t k, std::string target) {
  if (ReadyDirs[k].size() >= kMaxReadyDirs) ReadyDirs[k].clear();
  ReadyDirs[k].insert(std::move(target));
}

// False when the file `name` of the directory `r` of stage k cannot be
// there: this run made the directory and moved no such name into it.
bool MayHold(size_t k, const std::string& r, const std::string& name) {
  const std::lock_guard<std::mutex> lock(ReadyMutex);
  const auto dir = MadeDirs[k].find(DirList[k] + r);
  return dir == MadeDirs[k].end() || dir->second.count(FoldedHash(name)) > 0;
}

// Notes that the directory `r` of stage k is there.
void KnownReady(size_t k, const std::string& r) {
  const std::lock_guard<std::mutex> lock(ReadyMutex);
  NoteReady(k, DirList[k] + r);
}

// Counts, with ReadyMutex held, one more thing that MadeDirs is to hold;
// false when it would hold too many, and forgets all instead: a move down
// then looks as it would without it.
bool HoldOneMore() {
  if (++MadeDirsHeld <= kMaxMadeDirsHeld) return true;
  for (auto& dirs : MadeDirs) dirs.clear();
  MadeDirsHeld = 0;
  return false;
}

// Notes, with ReadyMutex held, the directories of stage k that a chain made.
void NoteMade(size_t k, const std::vector<std::string>& made) {
  if (k < 2) return;
  for (const std::string& dir : made) {
    if (!HoldOneMore()) return;
    MadeDirs[k][dir + kDelim];
  }
}

// Notes that the file `name` may be in the directory `r` of stage k from now.
void NoteMovedIn(size_t k, const std::string& r, const std::string& name) {
  const std::lock_guard<std::mutex> lock(ReadyMutex);
  const auto dir = MadeDirs[k].find(DirList[k] + r);
  if (dir != MadeDirs[k].end() && HoldOneMore()) dir->second.insert(FoldedHash(name));
}

// Makes the directory `r` of stage k where it is missing. Files of one
// directory go one after another, so the chain is made once for them.
bool ReadyTarget(size_t k, const std::string& r) {
  std::string target = DirList[k] + r;
  {
    // One worker makes a chain; one that needs it too waits for it, and
    // tries again itself only when it could not be made.
    std::unique_lock<std::mutex> lock(ReadyMutex);
    ReadyChanged.wait(lock, [&] { return !MakingDirs.count(target); });
    if (ReadyDirs[k].count(target)) return true;
    MakingDirs.insert(target);
  }
  std::string failedAt;
  std::vector<std::string> made;
  const bool ready = platform::CreateDirChain(*Fs, target, &failedAt, &made);
  if (!made.empty()) StagesChanged = true;
  if (!ready) Failed(failedAt + kDelim);
  KeepMadeDirs(k, made);
  {
    const platform::ErrorKeeper keep;  // why the chain could not be made
    const std::lock_guard<std::mutex> lock(ReadyMutex);
    IdentifyStage(k);
    MakingDirs.erase(target);
    NoteMade(k, made);
    if (ready) NoteReady(k, std::move(target));
  }
  ReadyChanged.notify_all();
  return ready;
}

// TransferStage for a move down from stage `from` (1 or later), telling
// whether it took place.
bool Transfer(size_t from, const std::string& r, const std::string& name) {
  if (from == 0 || from + 2 > DirList.size()) return false;
  platform::PumpMessages();
  if (!ReadyTarget(from + 1, r)) return false;
  NoteMovedIn(from + 1, r, name);
  StagesChanged = true;
  const std::string source = StagePath(from, r, name);
  // The last stage's copy gives way to the one moving in, but only once
  // that one has arrived: a move that fails leaves the oldest generation.
  const bool done = Fs->MoveFile(source, StagePath(from + 1, r, name), from + 2 == DirList.size());
  if (!done) Failed(source);
  return done;
}

// Names a staged copy once its batch is flushed: after MakeRoom when
// `rotate`, replacing stage 1's file when `replace`.
void PlaceCopy(platform::StagedFile& file, const std::string& r, const std::string& name,
               bool replace, bool rotate) {
  // A copy whose flush failed may have lost its bytes: it is not named, and
  // no generation moves for it.
  if (!file.flushed) {
    Failed(file.From(), file.flushFailure);
    return;
  }
  // A copy withheld because stage 1's copy could not move down is told by
  // that move.
  if (rotate && !MakeRoom(r, name)) return;
  if (!Fs->PlaceStaged(file, replace)) Failed(file.From());
}

// The copy of a source file into stage 1: written now into the target
// directory, named (PlaceCopy) once the batch it joins is flushed.
void CopyIn(const std::string& r, const std::string& name, bool replace, bool rotate) {
  if (DirList.size() < 2) return;
  platform::PumpMessages();
  if (!ReadyTarget(1, r)) return;
  StagesChanged = true;
  const std::string source = StagePath(0, r, name);
  Pending.Add(
      r, name, source, StagePath(1, r, name), rotate,
      [r, name, replace, rotate](platform::StagedFile& staged) {
        PlaceCopy(staged, r, name, replace, rotate);
      },
      [source](const std::string& failure) { Failed(source, failure); });
}

// Before a run that changed anything ends, everything it did is on disk, on
// the file system of every stage.
void FlushStages() {
  const std::vector<std::string> stages(DirList.begin() + 1, DirList.end());
  const std::vector<std::string> failures = Fs->FlushAll(stages);
  for (size_t k = 0; k < stages.size(); ++k) {
    if (failures[k].empty()) continue;
    Failed(stages[k], failures[k]);
    Report();
  }
}

// True when the directory `dir` of the walk may be a stage that does not
// exist yet but is to be made by a step that waits in the batch: the
// batch goes first, so that the walk knows the stage when it meets it.
bool UnmadeStageIn(const std::string& dir) {
  const std::lock_guard<std::mutex> lock(ReadyMutex);  // a worker may identify a stage
  for (size_t k = 1; k < DirList.size(); ++k) {
    if (!Roots[k].known && DirList[k].compare(0, dir.size(), dir) == 0) return true;
  }
  return false;
}

}  // namespace

namespace {

// The StageDir of the subdirectory `name` of `seen`, or null. The search
// begins at `next`, since the listings of a directory come in one order.
const StageDir* SeenSubdir(const StageDir* seen, std::string_view name, size_t& next) {
  if (!seen) return nullptr;
  const std::vector<StageDir>& subdirs = seen->subdirs;
  for (size_t i = 0; i < subdirs.size(); ++i) {
    const size_t at = (next + i) % subdirs.size();
    if (subdirs[at].name == name) {
      next = at + 1;
      return &subdirs[at];
    }
  }
  return nullptr;
}

// RemoveEmptyDirs for `d`; true when `d` was judged empty. `seen` is what
// the walk saw of `d`: a directory that it left holding a file or a lasting
// subdirectory is not empty and is not listed again. Without it, `d` and
// everything below are judged from their listings.
bool RemoveIfEmpty(const std::string& d, const StageDir* seen) {
  if (seen && !seen->seen) seen = nullptr;
  if (seen && !seen->listAgain) {
    for (const StageDir& below : seen->subdirs) {
      const std::string sub = d + below.name + kDelim;
      if (!IsRoot(sub)) RemoveIfEmpty(sub, &below);
    }
    MatchToSource(d);
    return false;
  }
  Listing listing;
  listing.Read(*Fs, d, true);
  bool hasFile = false;
  bool hasSubdir = false;
  // A dot directory or a directory link: never judged, but it keeps the
  // directory there.
  bool hasDotDir = false;
  bool childGone = false;
  size_t next = 0;
  for (const Listing::Item& item : listing.Items()) {
    const std::string_view name = listing.Name(item);
    if (IsFile(item.attr)) {
      hasFile = true;
    } else if ((item.attr & platform::faSymLink) ||
               (name != "." && name != ".." && !platform::IsWalkedDirName(name))) {
      hasDotDir = true;
    }
    if (IsSubdir(item.attr, name)) {
      hasSubdir = true;
      const std::string sub = d + std::string(name) + kDelim;
      if (!IsRoot(sub) && RemoveIfEmpty(sub, SeenSubdir(seen, name, next))) childGone = true;
    }
  }
  // Only the removal of a subdirectory can have changed the judgement, and a
  // dry run removes none.
  bool empty = !hasFile && !hasSubdir;
  if (!hasFile && childGone && !DryRun) {
    empty = true;
    Fs->ListKinds(d + "*.*", platform::faAnyFile, [&](const DirEntry& e) {
      if (IsFile(e.attr) || IsSubdir(e.attr, e.name)) empty = false;
    });
  }
  if (!empty) {
    MatchToSource(d);
    return false;
  }
  if (!DryRun) StagesChanged = true;
  if (!DryRun && !Fs->RemoveDir(d) && !hasDotDir) FailedUnlessGone(d);
  Report("deleted " + platform::ShownPath(d));
  return true;
}

}  // namespace

void RemoveEmptyDirs(const std::string& d) { RemoveIfEmpty(d, nullptr); }

const std::vector<std::string>& RunReportLines() { return ReportLines; }
