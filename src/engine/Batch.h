// The batches of a run: the copies into stage 1 that are staged and wait
// for their flush, in decision order, with whatever the walk decided after
// each of them, and the pipeline that holds at most two of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "Workers.h"
#include "engine/Journal.h"
#include "platform/Platform.h"

// Work on the stages, done on a worker (or at once without workers): it
// returns what it failed at.
using StageWork = std::function<Notes()>;
// Gives a staged copy its place once its batch is flushed.
using Naming = std::function<Notes(platform::StagedFile&)>;

// A copy that a writer stages: what it staged, or why it could not.
struct Staging {
  std::string from;
  std::unique_ptr<platform::StagedFile> file;
  std::string failure;
};

// One batch: the unit of a run's work. A copy is written when it is
// decided; once the batch is full (or the walk needs the disk as those
// decisions leave it), the batch is flushed in one go. Then the work of
// each file (a copy's naming after its rotation, a stale file's retirement)
// is done, the files side by side; after them the names linked to those
// copies; then the directories' work; and then, on the walk's thread, the
// report lines in order, with the failures of each work where it was
// decided. The report thus tells what a run decides in the order it decided
// it, each file's generations move in their order, and no copy is named
// before its bytes are on disk.
//
// A batch belongs to one thread at a time, and moves with it: the walk's
// while it fills it, the committer's from Seal until it is carried out,
// the walk's again to replay it. A job touches only its own entry, which a
// deque keeps in place.
struct Batch {
  enum class Kind {
    Line,      // a report line, after the failures noted before it
    Copy,      // a copy staged by a writer, named by `naming`
    FileWork,  // the work of one file, waiting for no copy
    LinkWork,  // the work of one name, after the batch's namings
    DirWork,   // a directory's work, after all the others
  };
  struct Entry {
    Kind kind = Kind::Line;
    std::string line;                  // Line
    std::shared_ptr<Staging> staging;  // Copy: shared with the writer that stages it
    Naming naming;                     // Copy
    StageWork work;                    // FileWork, LinkWork, DirWork
    bool started = false;              // FileWork given to the workers when queued
    Notes notes;                       // returned by the work or naming, or before a Line
    size_t place = 0;                  // for the workers: the directory it works in
  };

  Batch(WorkerPool& writers, WorkerPool& stageWorkers) : copies(writers), stageJobs(stageWorkers) {}

  // A deque, since a job that runs holds on to its entry.
  std::deque<Entry> entries;
  std::unordered_set<uint64_t> keys;  // of the files it works on
  size_t files = 0;
  std::atomic<uint64_t> bytes = 0;  // counted by the writers as they stage
  // Last, so that they wait for their jobs before the rest goes.
  JobGroup copies;     // on the writers
  JobGroup stageJobs;  // namings, moves and directories' work
};

// The batches of a run, at most two at once: with workers, one is flushed
// and named by a committer thread of its own while the walk fills the next
// (a far disk then names copies while the walk still looks for more). A
// batch's steps are told once it is done, before anything the walk decided
// after it. Used by the walk's thread.
class Pipeline {
 public:
  // `eager`: works start when given and a batch is handed on while the walk
  // goes on; not where the walk may meet what they change.
  Pipeline(platform::FileSystem& fs, Journal& journal, WorkerPool& writers, bool eager);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // True when nothing waits: a line can be told at once.
  bool Empty() const { return open_->entries.empty() && !sealed_; }
  // Tells `line` after what waits, with `failures` (noted before it) ahead
  // of those that the waiting work returns.
  void QueueLine(std::string line, std::vector<std::string> failures);
  // Work on a directory that waits for every file's work of the batch (its
  // time changes with them) and is done beside the others of its kind, also
  // when nothing else waits: a run that copies nothing still matches many
  // directories.
  void QueueDirWork(StageWork work);
  // The work of the file `name` in the directory `r` of the stages, done on
  // a worker beside the other files' work. It waits for no copy, so it
  // starts at once, while the walk goes on, when eager. Two works for one
  // file, or for names that a file system may take for one (letters
  // differing only in case), are never done side by side.
  void QueueFileWork(const std::string& r, const std::string& name, StageWork work);
  // The same, for work that waits for the namings of the batch's copies:
  // another name for a file that one of them may be.
  void QueueLinkWork(const std::string& r, const std::string& name, StageWork work);
  // A copy of `from` to `to`, staged by a writer; once the batch is
  // flushed, `naming` gives it its place, as the work of the file `name` in
  // `r`; a copy that could not be staged is told as failed. `movesDown`:
  // the naming moves generations down first.
  void QueueCopy(const std::string& r, const std::string& name, const std::string& from,
                 const std::string& to, bool movesDown, Naming naming);
  // Carries out everything given so far, and tells it.
  void Commit();

 private:
  using Entry = Batch::Entry;
  struct HandOver;

  // Bounded by the files it holds open and the bytes it leaves to write:
  // the memory of a batch is a few hundred bytes per copy.
  bool Full() const { return open_->files >= maxFiles_ || open_->bytes >= kMaxBytes; }
  void Advance();
  void Seal();
  void Settle();
  void Carry(Batch& batch);
  void Replay(Batch& batch);
  static void StartWork(Batch& batch, Entry& e, bool first = false);
  Entry& Queue(Batch::Kind kind);
  void Claim(const std::string& key);

  static size_t Place(std::string_view r);
  static size_t MovingPlace(std::string_view r);
  static size_t MaxFiles(size_t open);

  static constexpr uint64_t kMaxBytes = 256ull << 20;
  static constexpr size_t kMaxEntries = 16384;
  static constexpr size_t kMaxFiles = 4096;
  // The copies a batch gathers before it may be handed on while the walk
  // goes on: a flush costs a commit of the file system's journal.
  static constexpr size_t kHandOnFiles = 64;

  platform::FileSystem& fs_;
  Journal& journal_;
  WorkerPool& writers_;
  const bool eager_;
  const bool pipelined_;
  // The threads of the namings, moves and directories' work, which only
  // wait on the disk; copies also read and write data, which more threads
  // at once slow down on a local disk.
  WorkerPool stageWorkers_;
  const size_t maxFiles_;
  std::unique_ptr<Batch> open_;  // the batch the walk fills
  // The batch handed on (null when none): the committer takes it out and
  // puts it back once it is carried out, to be replayed. Its keys stay
  // with the walk.
  std::shared_ptr<HandOver> sealed_;
  std::unordered_set<uint64_t> sealedKeys_;
  // Last: it ends before the batches it carries go.
  WorkerPool committer_;
};
