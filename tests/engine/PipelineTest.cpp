// The pipeline alone, over a file system that stages copies without a disk:
// the order of the report and the order in which the works of a batch run,
// the same without workers as with a committer thread.
#include "engine/Batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Progress.h"
#include "support/RecordingFileSystem.h"
#include "support/TestSupport.h"

namespace {

const std::string d(1, platform::PathDelim);

// What ran, in order, from whichever thread, and for each work the number
// of report lines told when it ran.
class Ran {
 public:
  void Add(const std::string& what, std::optional<size_t> told = {}) {
    const std::lock_guard<std::mutex> lock(mutex_);
    what_.push_back(what);
    if (told) told_.push_back(*told);
  }
  // Where `what` first ran; past the end when it never did.
  size_t At(const std::string& what) const {
    return std::find(what_.begin(), what_.end(), what) - what_.begin();
  }
  size_t Count() const { return what_.size(); }
  const std::vector<size_t>& Told() const { return told_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> what_;
  std::vector<size_t> told_;
};

// Stages a copy in memory; a copy of a name that begins with "full" cannot
// be staged, as on a full disk.
class MemoryStages : public test::RecordingFileSystem {
 public:
  explicit MemoryStages(Ran& ran) : ran_(ran) {}
  std::unique_ptr<platform::StagedFile> StageCopy(const std::string& from,
                                                  const std::string& to) override {
    if (from.starts_with("full")) {
      test::SetPlatformError(test::PlatformError::NoSpace);
      return nullptr;
    }
    return std::make_unique<platform::StagedFile>(from, to, 1);
  }
  void FlushStaged(const std::vector<platform::StagedFile*>& files) override {
    for (platform::StagedFile* file : files) {
      file->flushed = true;
      ran_.Add("flush " + file->From());
    }
  }

 private:
  Ran& ran_;
};

enum class Op { Line, Copy, File, Link, Dir };

// One thing the walk queues: a line with the failures noted before it, or
// a copy (its naming), a file's, a link's or a directory's work, which
// returns `failures`.
struct Step {
  Op op;
  std::string name;
  std::vector<std::string> failures = {};
  std::string r = {};
};

struct Mode {
  size_t writers;
  bool eager;
};
// Sequential; pipelined with a committer thread; workers without it.
const Mode kModes[] = {{0, true}, {4, true}, {4, false}};

std::string Failure(const std::string& path, const std::string& reason = "broken") {
  Notes notes;
  notes.Failed(path, reason);
  return notes.lines.front();
}

// A pipeline and what it reports, for one mode.
class Walk {
 public:
  explicit Walk(Mode mode)
      : writers_(mode.writers), pipeline_(fs_, journal_, writers_, mode.eager) {}

  void Play(const std::vector<Step>& steps) {
    for (const Step& s : steps) Queue(s);
  }
  // Everything committed, and a last line that tells what still waits.
  std::vector<std::string> Report() {
    pipeline_.Commit();
    journal_.Tell("end");
    return journal_.Lines();
  }
  Journal& journal() { return journal_; }
  Ran ran;

 private:
  // A work that notes when it ran; its journal is read only between the
  // batch's replays, which wait for it.
  StageWork Work(const std::string& what, const std::vector<std::string>& failures) {
    return [this, what, failures] {
      ran.Add(what, journal_.Lines().size());
      return Notes{failures};
    };
  }
  void Queue(const Step& s) {
    switch (s.op) {
      case Op::Line:
        return pipeline_.QueueLine(s.name, s.failures);
      case Op::Copy:
        return pipeline_.QueueCopy(
            s.r, s.name, s.name, "stage" + d + s.name, false,
            [work = Work("name " + s.name, s.failures)](platform::StagedFile&) { return work(); });
      case Op::File:
        return pipeline_.QueueFileWork(s.r, s.name, Work("file " + s.name, s.failures));
      case Op::Link:
        return pipeline_.QueueLinkWork(s.r, s.name, Work("link " + s.name, s.failures));
      case Op::Dir:
        return pipeline_.QueueDirWork(Work("dir " + s.name, s.failures));
    }
  }

  MemoryStages fs_{ran};
  RunProgress progress_;
  Journal journal_{true, progress_};
  WorkerPool writers_;
  Pipeline pipeline_;
};

// One batch of every kind of entry; none of its works waits for another.
std::vector<Step> OneBatch() {
  return {
      {Op::File, "a", {Failure("a")}},   {Op::Line, "L1", {Failure("o1")}},
      {Op::Copy, "b", {Failure("b")}},   {Op::Copy, "full"},
      {Op::Dir, "d", {Failure("d")}},    {Op::Link, "c", {Failure("c")}},
      {Op::Line, "L2", {Failure("o2")}}, {Op::Copy, "e"},
      {Op::File, "f", {Failure("f")}},   {Op::Line, "L3"},
      {Op::File, "g", {Failure("g")}},
  };
}

// A line is told after what was queued before it; the failures noted with
// it come first and those of the works before it next. A directory's work
// tells its failures, and those before them, where it is. What the walk
// noted since the batch comes after what the batch's works noted.
TEST(Pipeline, ReportTellsLinesInQueueOrderWithFailuresWhereDecided) {
  test::SetPlatformError(test::PlatformError::NoSpace);
  const std::string full = Failure("full", platform::LastErrorText());
  const std::vector<std::string> want = {"L1",         Failure("o1"),  Failure("a"), Failure("b"),
                                         full,         Failure("d"),   "L2",         Failure("o2"),
                                         Failure("c"), "L3",           Failure("f"), "end",
                                         Failure("g"), Failure("late")};
  for (const Mode& mode : kModes) {
    Walk walk(mode);
    walk.Play(OneBatch());
    walk.journal().Failed("late", "broken");
    EXPECT_EQ(walk.Report(), want) << mode.writers << " writers, eager " << mode.eager;
  }
}

// A copy is named once flushed, one that was not staged never; the links
// wait for the batch's namings and file works, the directories for all.
TEST(Pipeline, WorksRunAfterWhatTheyWaitFor) {
  for (const Mode& mode : kModes) {
    Walk walk(mode);
    walk.Play(OneBatch());
    walk.Report();
    const Ran& ran = walk.ran;
    SCOPED_TRACE(testing::Message() << mode.writers << " writers, eager " << mode.eager);
    const size_t end = ran.Count();
    EXPECT_EQ(end, ran.At("flush full"));
    EXPECT_EQ(end, ran.At("name full"));
    for (const char* copy : {"b", "e"}) {
      EXPECT_LT(ran.At("flush " + std::string(copy)), ran.At("name " + std::string(copy)));
      EXPECT_LT(ran.At("name " + std::string(copy)), ran.At("link c"));
    }
    for (const char* file : {"file a", "file f", "file g"}) {
      EXPECT_LT(ran.At(file), ran.At("link c")) << file;
    }
    EXPECT_LT(ran.At("link c"), ran.At("dir d"));
    EXPECT_LT(ran.At("dir d"), end);
  }
}

// A second work for a name, also spelled in another case, is carried out
// in a batch after the first: the line between them is told before it
// runs. Another name, or the same in another directory, shares the batch.
TEST(Pipeline, ASecondWorkForANameWaitsForTheFirstBatch) {
  struct Case {
    Op first, second;
    std::string name, again, r, againR;
    bool waits;
  } cases[] = {
      {Op::File, Op::File, "x", "x", "", "", true},
      {Op::File, Op::Link, "x", "X", "", "", true},
      {Op::Copy, Op::File, "x", "x", "", "", true},
      {Op::Link, Op::Copy, "Docs", "dOCS", "a" + d, "A" + d, true},
      {Op::File, Op::File, "x", "y", "", "", false},
      {Op::File, Op::Link, "x", "x", "a" + d, "b" + d, false},
  };
  for (const Mode& mode : kModes) {
    for (const Case& c : cases) {
      Walk walk(mode);
      walk.Play(
          {{c.first, c.name, {}, c.r}, {Op::Line, "between"}, {c.second, c.again, {}, c.againR}});
      EXPECT_EQ(walk.Report(), (std::vector<std::string>{"between", "end"}));
      const std::vector<size_t> told = {0, c.waits ? 1u : 0u};
      EXPECT_EQ(walk.ran.Told(), told) << mode.writers << " writers, " << c.name << " " << c.again;
    }
  }
}

// A batch is handed on to the committer between decisions, never between a
// copy and the line that tells it: past the 64 copies that hand a batch on,
// the last copy's failure is still told with its line.
TEST(Pipeline, ABatchHandedOnKeepsACopyWithItsLine) {
  std::vector<Step> steps;
  for (int i = 0; i < 64; ++i) {
    const std::string name = "c" + std::to_string(i);
    steps.push_back(
        {Op::Copy, name, i == 63 ? std::vector{Failure(name)} : std::vector<std::string>{}});
    steps.push_back({Op::Line, "copied " + name});
  }
  steps.push_back({Op::Line, "L2"});
  for (const Mode& mode : kModes) {
    Walk walk(mode);
    walk.Play(steps);
    const std::vector<std::string> lines = walk.Report();
    const auto at = std::find(lines.begin(), lines.end(), "copied c63");
    ASSERT_NE(lines.end(), at);
    EXPECT_EQ((std::vector<std::string>{"copied c63", Failure("c63"), "L2", "end"}),
              std::vector<std::string>(at, lines.end()))
        << mode.writers << " writers, eager " << mode.eager;
  }
}

}  // namespace
