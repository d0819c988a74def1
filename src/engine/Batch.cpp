// The batches of a run and the pipeline that carries them out.
#include "engine/Batch.h"

#include <algorithm>

#include "Characters.h"

// How a sealed batch goes to the committer and comes back: the committer
// takes it out, carries it out, and puts it back before it says so.
struct Pipeline::HandOver {
  std::unique_ptr<Batch> batch;
  std::atomic<bool> carried = false;
};

Pipeline::Pipeline(platform::FileSystem& fs, Journal& journal, WorkerPool& writers, bool eager)
    : fs_(fs),
      journal_(journal),
      writers_(writers),
      eager_(eager),
      pipelined_(eager && writers.Size() > 0),
      stageWorkers_(2 * writers.Size()),
      maxFiles_(MaxFiles(pipelined_ ? 2 : 1)),
      open_(std::make_unique<Batch>(writers_, stageWorkers_)),
      committer_(pipelined_ ? 1 : 0) {}

Pipeline::~Pipeline() { committer_.Wait(); }

Batch::Entry& Pipeline::Queue(Batch::Kind kind) {
  Entry& e = open_->entries.emplace_back();
  e.kind = kind;
  return e;
}

void Pipeline::QueueLine(std::string line, std::vector<std::string> failures) {
  Entry& e = Queue(Batch::Kind::Line);
  e.line = std::move(line);
  e.notes.lines = std::move(failures);
  Advance();
}

void Pipeline::QueueDirWork(StageWork work) {
  Queue(Batch::Kind::DirWork).work = std::move(work);
  Advance();
}

void Pipeline::QueueFileWork(const std::string& r, const std::string& name, StageWork work) {
  Claim(r + name);
  Entry& e = Queue(Batch::Kind::FileWork);
  e.work = std::move(work);
  e.place = MovingPlace(r);
  if (eager_) StartWork(*open_, e);
  Advance();
}

void Pipeline::QueueLinkWork(const std::string& r, const std::string& name, StageWork work) {
  Claim(r + name);
  Entry& e = Queue(Batch::Kind::LinkWork);
  e.work = std::move(work);
  e.place = MovingPlace(r);
  Advance();
}

void Pipeline::QueueCopy(const std::string& r, const std::string& name, const std::string& from,
                         const std::string& to, bool movesDown, Naming naming) {
  if (Full()) Seal();
  Claim(r + name);
  Batch& batch = *open_;
  ++batch.files;
  auto staging = std::make_shared<Staging>();
  staging->from = from;
  const size_t place = Place(r);
  platform::FileSystem& fs = fs_;
  batch.copies.Submit(
      [&fs, &batch, staging, to] {
        staging->file = fs.StageCopy(staging->from, to);
        if (staging->file) {
          batch.bytes += staging->file->Size();
        } else {
          staging->failure = platform::LastErrorText();
        }
      },
      place);
  Entry& e = Queue(Batch::Kind::Copy);
  e.staging = std::move(staging);
  e.naming = std::move(naming);
  e.place = movesDown ? MovingPlace(r) : place;
  Advance();
}

void Pipeline::Commit() {
  Seal();
  if (sealed_) Settle();
}

// Tells what the batch handed on did once it is done, and hands on the
// open one when the committer is free and it holds copies enough for a
// flush. A batch is handed on between decisions, never between a work and
// the line that tells it, so that the work's failures are told with it.
void Pipeline::Advance() {
  if (sealed_ && sealed_->carried.load(std::memory_order_acquire)) Settle();
  const Batch::Kind last = open_->entries.back().kind;
  if (last != Batch::Kind::Line && last != Batch::Kind::DirWork) return;
  if (open_->entries.size() >= kMaxEntries ||
      (pipelined_ && !sealed_ && open_->files >= kHandOnFiles)) {
    Seal();
  }
}

// Hands the open batch on to be carried out, once the one before is told:
// at most two batches are open at once.
void Pipeline::Seal() {
  if (open_->entries.empty()) return;
  if (sealed_) Settle();
  sealed_ = std::make_shared<HandOver>();
  sealed_->batch = std::move(open_);
  sealedKeys_.swap(sealed_->batch->keys);
  open_ = std::make_unique<Batch>(writers_, stageWorkers_);
  committer_.Submit([this, handOver = sealed_] {
    std::unique_ptr<Batch> batch = std::move(handOver->batch);
    Carry(*batch);
    handOver->batch = std::move(batch);
    handOver->carried.store(true, std::memory_order_release);
  });
}

// Waits for the batch handed on and tells it.
void Pipeline::Settle() {
  committer_.Wait();
  const std::unique_ptr<Batch> batch = std::move(sealed_->batch);
  sealed_.reset();
  sealedKeys_.clear();
  Replay(*batch);
}

// On the committer (or the walk's thread without one): flushes the staged
// copies, then names them and does the files' work, side by side; after
// them the links to the named copies, and then the directories' work. A
// copy's file is closed (and discarded, unless named) right after its
// naming. Touches nothing but the batch and the disk.
void Pipeline::Carry(Batch& batch) {
  batch.copies.Wait();
  batch.stageJobs.Wait();
  std::vector<platform::StagedFile*> files;
  for (const Entry& e : batch.entries) {
    if (e.kind == Batch::Kind::Copy && e.staging->file) files.push_back(e.staging->file.get());
  }
  if (!files.empty()) fs_.FlushStaged(files);
  for (Entry& e : batch.entries) {
    if (e.kind == Batch::Kind::Copy) {
      if (!e.staging->file) {
        e.notes.Failed(e.staging->from, e.staging->failure);
        continue;
      }
      batch.stageJobs.Submit(
          [&e] {
            e.notes = e.naming(*e.staging->file);
            e.staging->file.reset();
          },
          e.place, true);
    } else if (e.kind == Batch::Kind::FileWork && !e.started) {
      StartWork(batch, e, true);
    }
  }
  batch.stageJobs.Wait();
  for (const Batch::Kind kind : {Batch::Kind::LinkWork, Batch::Kind::DirWork}) {
    for (Entry& e : batch.entries) {
      if (e.kind == kind) StartWork(batch, e, true);
    }
    batch.stageJobs.Wait();
  }
}

// On the walk's thread: the steps of a batch that is done, in order, with
// the failures of its works where they were decided, before whatever the
// walk decided since.
void Pipeline::Replay(Batch& batch) {
  std::vector<std::string> later = journal_.Hold();
  for (Entry& e : batch.entries) {
    if (e.kind == Batch::Kind::Line) {
      journal_.PutBack(std::move(e.notes.lines), true);
      journal_.Tell(e.line);
      continue;
    }
    const bool failed = !e.notes.lines.empty();
    journal_.Add(std::move(e.notes.lines));
    // A directory's failures are told where it was done with.
    if (e.kind == Batch::Kind::DirWork && failed) journal_.Tell(std::string());
  }
  journal_.PutBack(std::move(later), false);
}

// Gives the entry's work to the stage workers; it returns its notes.
void Pipeline::StartWork(Batch& batch, Entry& e, bool first) {
  e.started = true;
  batch.stageJobs.Submit([&e] { e.notes = e.work(); }, e.place, first);
}

// A batch holds one work per file, and the batch handed on none for the
// same file: a second for the same name (letters folded, for file systems
// that ignore case) waits until both are done.
void Pipeline::Claim(const std::string& key) {
  const uint64_t h = Fnv1a(key, true);
  if (open_->keys.count(h) || sealedKeys_.count(h)) Commit();
  open_->keys.insert(h);
}

// The workers' place of the directory `r`: its files' name changes queue
// behind one another, so the workers go to other directories beside it.
size_t Pipeline::Place(std::string_view r) { return std::hash<std::string_view>{}(r) | 1; }

// The place of a work that moves a file down from `r`: it may first make
// the directory in the next stage, a change of the parent directory, and a
// run that makes them makes one for each directory of the tree. Placed by
// the parent, the workers spread over the tree instead of queueing on one.
size_t Pipeline::MovingPlace(std::string_view r) {
  const size_t end = r.empty() ? 0 : r.find_last_of(platform::PathDelim, r.size() - 2);
  return Place(r.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

// A quarter of the descriptors the process may hold, shared by the batches
// open at once, at most kMaxFiles: every flush of a batch waits for a
// commit of the file system's journal, so the fewer batches the better, as
// long as memory stays small.
size_t Pipeline::MaxFiles(size_t open) {
  const size_t limit = platform::OpenFileLimit();
  return limit == 0 ? kMaxFiles : std::clamp<size_t>(limit / 4 / open, 1, kMaxFiles);
}
