// The backup engine over real temporary trees, with a recording file system:
// every case of a run lives here: the report lines, what lands in which stage
// with which last-write time, the comparison rule, the options, the deleted
// files and directories, the refused runs and the stages that sit inside the
// source, and failed operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "Backup.h"
#include "Exceptions.h"
#include "platform/Platform.h"
#include "support/RecordingFileSystem.h"
#include "support/TestSupport.h"

namespace {

using platform::DateValue;
using platform::FileTime;
using test::ReadFile;
using test::WriteFile;

const std::string d(1, platform::PathDelim);

// 2020-01-01 12:00:00 UTC, an even second.
constexpr FileTime kNoon = 1577880000 * platform::kSecond;

DateValue Day(int year, int month, int day) {
  return static_cast<DateValue>(platform::DayNumber(year, month, day));
}

struct Options {
  std::vector<std::string> include, exclude;
  DateValue firstDay = kNoFirstDay;
  DateValue lastDay = kNoLastDay;
  bool reportOn = true;
  bool keepExtra = false;
  bool dryRun = false;
  size_t workers = test::TestWorkers();
};

class BackupEngine : public ::testing::Test {
 protected:
  // A path below the temporary folder; '/' in `rel` becomes the separator.
  std::string P(const std::string& rel) const { return test::Join(tmp_.path(), rel); }
  // A directory-list entry: the path with the separator at its end.
  std::string Dir(const std::string& rel) const { return P(rel) + d; }

  std::vector<std::string> Dirs(std::initializer_list<const char*> rels) const {
    std::vector<std::string> dirs;
    for (const char* rel : rels) dirs.push_back(Dir(rel));
    return dirs;
  }

  // Writes a file with a last-write time on 2020-01-`day` at `hour`.
  void Put(const std::string& rel, const std::string& content, int day = 1, int hour = 12) {
    WriteFile(P(rel), content);
    test::SetLocalMTime(P(rel), 2020, 1, day, hour);
  }

  // One run over the recording file system; the report lines it handed off.
  std::vector<std::string> Run(const std::vector<std::string>& dirs, const Options& o = {}) {
    fs_.calls.clear();
    std::vector<std::string> lines;
    handedOff_ = false;
    OptionSet options{dirs,      o.include,  o.exclude,   o.firstDay,
                      o.lastDay, o.reportOn, o.keepExtra, o.dryRun};
    clean_ = RunBackupOn(
        fs_, options,
        [&](const std::vector<std::string>& l) {
          lines = l;
          handedOff_ = true;
        },
        o.workers);
    return lines;
  }

  // The report line of a failure with the error the platform gives for it.
  static std::string Failed(const std::string& path, test::PlatformError error) {
    test::SetPlatformError(error);
    return "failed  " + path + "\t" + platform::LastErrorText();
  }

  std::vector<std::string> Tree(const std::string& rel) const { return test::ListTree(P(rel)); }

  test::TempDir tmp_;
  test::RecordingFileSystem fs_;
  bool handedOff_ = false;
  bool clean_ = false;  // what the last run returned
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// ---------------------------------------------------------------------------
// First runs and report lines

TEST_F(BackupEngine, FirstRunCopiesNestedFilesAndEveryDirectoryEmptyOrNot) {
  Put("src/top.txt", "t", 1, 8);
  Put("src/a/b/deep.txt", "deep", 2, 9);
  Put("src/a/side.txt", "side");
  test::MakeDirs(P("src/empty/inner"));
  const auto lines = Run(Dirs({"src", "bk1", "bk2"}));

  EXPECT_EQ((std::vector<std::string>{"a/b/deep.txt", "a/side.txt", "top.txt"}), Tree("bk1"));
  EXPECT_EQ("deep", ReadFile(P("bk1/a/b/deep.txt")));
  EXPECT_EQ("2020-01-02 09:00:00", test::LocalMTime(P("bk1/a/b/deep.txt")));
  EXPECT_EQ("2020-01-01 08:00:00", test::LocalMTime(P("bk1/top.txt")));
  // Directories are part of the tree; a made one gets no report line.
  EXPECT_TRUE(test::IsDir(P("bk1/empty/inner")));
  EXPECT_FALSE(test::IsDir(P("bk2")));
  // A subdirectory's lines come before its parent's own.
  EXPECT_EQ((std::vector<std::string>{"copied  " + Dir("src") + "a" + d + "b" + d + "deep.txt",
                                      "copied  " + Dir("src") + "a" + d + "side.txt",
                                      "copied  " + Dir("src") + "top.txt"}),
            lines);
  EXPECT_EQ(0u, fs_.Count("MoveFile"));
}

TEST_F(BackupEngine, LinesFollowTheWalk) {
  Put("src/s/f", "1");
  Put("bk1/t/g", "2");
  Put("src/own", "3");
  Put("bk1/stale", "4");
  const std::string src = Dir("src"), bk1 = Dir("bk1");
  // Source subdirectories, then those only stage 1 has, then the directory's
  // own copies, its stale files, and last the removed directories.
  EXPECT_EQ((std::vector<std::string>{"copied  " + src + "s" + d + "f",
                                      "deleted " + bk1 + "t" + d + "g", "copied  " + src + "own",
                                      "deleted " + bk1 + "stale", "deleted " + bk1 + "t" + d}),
            Run(Dirs({"src", "bk1", "bk2"})));
}

TEST_F(BackupEngine, ReportFlagDecidesWhetherTheLinesAreHandedOff) {
  Put("src/f", "1");
  Options quiet;
  quiet.reportOn = false;
  EXPECT_TRUE(Run(Dirs({"src", "bk1"}), quiet).empty());
  EXPECT_FALSE(handedOff_);
  EXPECT_TRUE(test::IsFile(P("bk1/f")));
  // Nothing to report: the hand-off still gets its (empty) list.
  EXPECT_TRUE(Run(Dirs({"src", "bk1"})).empty());
  EXPECT_TRUE(handedOff_);
}

TEST_F(BackupEngine, NoChangeRunChangesNothingAndAsksTheDiskNothingPerFile) {
  for (int i = 0; i < 5; ++i) Put("src/d" + std::to_string(i) + "/f" + std::to_string(i), "x");
  Put("src/g", "y");
  // Names of every kind cost no more than ASCII ones.
  for (const char* name : {"表.txt", "é.txt", "😀.txt"}) Put(std::string("src/über/") + name, "z");
  test::MakeDirs(P("src/empty"));  // no file, but stage 1 gets it too
  Run(Dirs({"src", "bk1", "bk2", "bk3"}));
  EXPECT_TRUE(test::IsDir(P("bk1/empty")));
  // The first run asks once whether each stage-1 directory is there, not for
  // every file: only "g" is looked up, in the stage 1 made for the lock.
  EXPECT_EQ(1u, fs_.Count("Find"));
  EXPECT_EQ(7u, fs_.Count("KindOf"));
  const auto lines = Run(Dirs({"src", "bk1", "bk2", "bk3"}));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(0u, fs_.Changes());
  // Each side's listing answers the lookups; no file is opened or stat'ed alone.
  EXPECT_EQ(0u, fs_.Count("Find"));
  EXPECT_EQ(0u, fs_.Count("FileExists"));
  EXPECT_EQ(0u, fs_.Count("KindOf"));
  // Every directory is listed once, by the walk: the removal of emptied
  // directories asks nothing of a stage 1 that the walk left full.
  std::vector<std::string> listed;
  for (const auto& c : fs_.calls) {
    if (c.op == "List" || c.op == "ListKinds") listed.push_back(c.path);
    if (c.op == "Identity") {
      EXPECT_EQ(std::string::npos, c.path.find(Dir("bk1") + "d")) << c.path;
    }
  }
  // The top, d0 to d4, über and empty, in the source and stage 1; and the
  // top of stages 2 and 3, for what a stopped run's probes left there.
  EXPECT_EQ(18u, listed.size());
  EXPECT_EQ(listed.size(), std::set<std::string>(listed.begin(), listed.end()).size());
}

TEST_F(BackupEngine, NamesOfOneFileStayOneFileWhicheverNameTheWalkMeetsFirst) {
  if (platform::PathDelim != '/') GTEST_SKIP() << "the Windows listing tells no links";
  namespace fs = std::filesystem;
  fs_.sortListings = true;
  Put("src/b/orig", "v1");
  fs::create_hard_link(P("src/b/orig"), P("src/b/twin"));
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  Run(dirs);
  EXPECT_TRUE(fs::equivalent(P("bk1/b/orig"), P("bk1/b/twin")));
  EXPECT_EQ(1u, fs_.Count("LinkFile"));
  // A new name met before the backed-up ones is copied, then made a name of
  // the up-to-date copy.
  test::MakeDirs(P("src/a"));
  fs::create_hard_link(P("src/b/orig"), P("src/a/new"));
  EXPECT_EQ(std::vector<std::string>{"copied  " + Dir("src") + "a" + d + "new"}, Run(dirs));
  EXPECT_TRUE(fs::equivalent(P("bk1/a/new"), P("bk1/b/orig")));
  EXPECT_EQ(3u, fs::hard_link_count(P("bk1/b/twin")));
  // Each name rotates on its own; the generation moved down keeps its bytes.
  Put("src/b/orig", "v2", 2);
  Run(dirs);
  EXPECT_EQ("v2", ReadFile(P("bk1/a/new")));
  EXPECT_TRUE(fs::equivalent(P("bk1/a/new"), P("bk1/b/twin")));
  for (const char* old : {"bk2/a/new", "bk2/b/orig", "bk2/b/twin"})
    EXPECT_EQ("v1", ReadFile(P(old)));
  EXPECT_TRUE(clean_);
}

// A stage 1 that keeps no hard links, no fifos, no owners and no bits: each
// name is a copy of its own, a fifo is passed over, and each kind is told
// once, as no failure; a run with nothing changed copies nothing.
TEST_F(BackupEngine, WhatStageOneKeepsNoneOfIsToldOnceAndCostsNoData) {
  if (platform::PathDelim != '/') GTEST_SKIP() << "no links or fifos listed on Windows";
  namespace fs = std::filesystem;
  fs_.keeps = platform::kKeepsXattrs | platform::kKeepsAcls | platform::kKeepsDevices;
  fs_.unkept = platform::kKeepsOwners | platform::kKeepsBits;
  Put("src/a", "v1");
  fs::create_hard_link(P("src/a"), P("src/b"));
  fs::create_hard_link(P("src/a"), P("src/c"));
  ASSERT_TRUE(test::MakeFifo(P("src/p")));
  ASSERT_TRUE(test::MakeFifo(P("src/q")));
  const auto dirs = Dirs({"src", "bk1"});
  const std::vector<std::string> lines = Run(dirs);
  const std::string stage = P("bk1") + ": keeps no ";
  std::vector<std::string> notices;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(notices),
               [](const std::string& l) { return l.starts_with("notice  "); });
  EXPECT_EQ(Sorted({"notice  " + stage + "fifos: they are passed over",
                    "notice  " + stage + "hard links: each name is a copy of its own",
                    "notice  " + stage + "owners", "notice  " + stage + "permission bits"}),
            Sorted(notices));
  EXPECT_TRUE(clean_);
  EXPECT_EQ(0u, fs_.Count("LinkFile"));
  for (const char* name : {"bk1/a", "bk1/b", "bk1/c"}) {
    EXPECT_EQ("v1", ReadFile(P(name)));
    EXPECT_EQ(1u, fs::hard_link_count(P(name)));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("bk1/p"))));
  // Nothing changed: nothing is copied or linked again, and only what the
  // walk meets again is told again.
  fs_.unkept = 0;
  EXPECT_EQ(std::vector<std::string>{"notice  " + stage + "fifos: they are passed over"},
            Run(dirs));
  EXPECT_EQ(0u, fs_.Changes());
  EXPECT_EQ(0u, fs_.Count("LinkFile"));
  EXPECT_TRUE(clean_);
}

// ---------------------------------------------------------------------------
// Generations

TEST_F(BackupEngine, AStageDirectoryTheRunMadeIsNotSearchedForWhatItCannotHold) {
  const auto dirs = Dirs({"src", "bk1", "bk2", "bk3"});
  // The moves one at a time: with workers, b may be looked for before a's
  // move has made the directory.
  Options o;
  o.workers = 0;
  for (const char* f : {"a", "b", "c"}) Put(std::string("src/sub/") + f, "1");
  Run(dirs, o);
  // The first rotation makes stage 2's directory for a's move: b and c
  // cannot be there yet, so only a is looked for.
  for (const char* f : {"a", "b", "c"}) Put(std::string("src/sub/") + f, "2", 2);
  Run(dirs, o);
  const auto looksInStageTwo = [&] {
    return std::count_if(fs_.calls.begin(), fs_.calls.end(), [&](const auto& c) {
      return c.op == "FileExists" && c.path.rfind(Dir("bk2"), 0) == 0;
    });
  };
  EXPECT_EQ(1, looksInStageTwo());
  // A later run did not make it: each is looked for and moves on.
  for (const char* f : {"a", "b", "c"}) Put(std::string("src/sub/") + f, "3", 3);
  Run(dirs);
  EXPECT_EQ(3, looksInStageTwo());
  for (const char* f : {"a", "b", "c"}) {
    EXPECT_EQ("3", ReadFile(P(std::string("bk1/sub/") + f)));
    EXPECT_EQ("2", ReadFile(P(std::string("bk2/sub/") + f)));
    EXPECT_EQ("1", ReadFile(P(std::string("bk3/sub/") + f)));
  }
}

TEST_F(BackupEngine, FourRunsKeepTheThreeNewestVersionsWithTheirTimes) {
  const auto dirs = Dirs({"src", "bk1", "bk2", "bk3"});
  Put("src/still.txt", "same");
  for (int v = 1; v <= 4; ++v) {
    Put("src/sub/f.txt", "version " + std::to_string(v), v, 10 + v);
    std::vector<std::string> expected = {"copied  " + Dir("src") + "sub" + d + "f.txt"};
    if (v == 1) expected.push_back("copied  " + Dir("src") + "still.txt");
    EXPECT_EQ(expected, Run(dirs)) << "run " << v;
  }
  EXPECT_EQ("version 4", ReadFile(P("bk1/sub/f.txt")));
  EXPECT_EQ("version 3", ReadFile(P("bk2/sub/f.txt")));
  EXPECT_EQ("version 2", ReadFile(P("bk3/sub/f.txt")));
  EXPECT_EQ("2020-01-04 14:00:00", test::LocalMTime(P("bk1/sub/f.txt")));
  EXPECT_EQ("2020-01-03 13:00:00", test::LocalMTime(P("bk2/sub/f.txt")));
  EXPECT_EQ("2020-01-02 12:00:00", test::LocalMTime(P("bk3/sub/f.txt")));
  // Version 1 is gone; an unchanged file has a single generation.
  EXPECT_EQ((std::vector<std::string>{"still.txt", "sub/f.txt"}), Tree("bk1"));
  EXPECT_EQ(std::vector<std::string>{"sub/f.txt"}, Tree("bk2"));
  EXPECT_EQ(std::vector<std::string>{"sub/f.txt"}, Tree("bk3"));
  // Generations below stage 1 travel by moves only.
  EXPECT_EQ(1u, fs_.Count("StageCopy"));
  EXPECT_EQ(2u, fs_.Count("MoveFile"));
  // The copy is flushed before it is named, and the run ends by flushing
  // every stage's file system.
  const std::vector<std::string> ops = {fs_.calls[fs_.calls.size() - 3].op,
                                        fs_.calls[fs_.calls.size() - 2].op, fs_.calls.back().op};
  EXPECT_EQ((std::vector<std::string>{"FlushAll", "FlushAll", "FlushAll"}), ops);
  ASSERT_EQ(1u, fs_.Count("Flush"));
  const auto at = [&](const char* op) {
    return std::find_if(fs_.calls.begin(), fs_.calls.end(),
                        [&](const auto& c) { return c.op == op; }) -
           fs_.calls.begin();
  };
  EXPECT_LT(at("Flush"), at("MoveFile"));
  EXPECT_LT(at("MoveFile"), at("PlaceStaged"));
}

TEST_F(BackupEngine, AStageWithoutTheFileIsSkippedInTheRotation) {
  Put("src/f", "new", 5);
  Put("bk1/f", "one", 3);
  Put("bk3/f", "three", 1);
  Run(Dirs({"src", "bk1", "bk2", "bk3"}));
  EXPECT_EQ("new", ReadFile(P("bk1/f")));
  EXPECT_EQ("one", ReadFile(P("bk2/f")));
  EXPECT_EQ("three", ReadFile(P("bk3/f")));
}

TEST_F(BackupEngine, ComparesTimeThenSize) {
  Put("src/same", "abc", 2);
  Put("bk1/same", "xyz", 2);  // same time and size: left alone
  Put("src/resized", "abcd", 2);
  Put("bk1/resized", "abc", 2);  // same time, other size: rotated
  Put("src/older", "a much longer text", 2);
  Put("bk1/older", "new", 3);  // stage 1 newer, other size: rotated all the same
  Put("src/kept", "abc", 2);
  Put("bk1/kept", "xyz", 3);  // stage 1 newer, same size: left alone
  Put("src/newer", "n", 3);
  Put("bk1/newer", "o", 2);
  // Times keep their full resolution: a same-size edit 1.1 s after the
  // copy is newer (the temporary disk keeps 100 ns or finer).
  WriteFile(P("src/step"), "s1");
  WriteFile(P("bk1/step"), "s2");
  test::SetUtcMTime(P("bk1/step"), kNoon);
  test::SetUtcMTime(P("src/step"), kNoon + 1100000000);

  // The dry run tells the same.
  Options dry;
  dry.dryRun = true;
  const auto dryLines = Run(Dirs({"src", "bk1", "bk2"}), dry);
  const auto lines = Run(Dirs({"src", "bk1", "bk2"}));
  EXPECT_EQ(dryLines, lines);
  EXPECT_EQ(Sorted({"copied  " + Dir("src") + "newer", "copied  " + Dir("src") + "older",
                    "copied  " + Dir("src") + "resized", "copied  " + Dir("src") + "step"}),
            Sorted(lines));
  EXPECT_EQ("xyz", ReadFile(P("bk1/same")));
  EXPECT_EQ("abcd", ReadFile(P("bk1/resized")));
  EXPECT_EQ("abc", ReadFile(P("bk2/resized")));
  EXPECT_EQ("a much longer text", ReadFile(P("bk1/older")));
  EXPECT_EQ("new", ReadFile(P("bk2/older")));
  EXPECT_EQ("xyz", ReadFile(P("bk1/kept")));
  EXPECT_EQ("n", ReadFile(P("bk1/newer")));
  EXPECT_EQ("s1", ReadFile(P("bk1/step")));
  EXPECT_EQ((std::vector<std::string>{"newer", "older", "resized", "step"}), Tree("bk2"));
}

TEST_F(BackupEngine, AnEditInTheHourThatSummerTimeRepeatsIsNewer) {
  const test::ZoneScope berlin("Europe/Berlin");
  // 2024-10-27: the copy at 02:50 summer time (00:50 UTC); the edit 40
  // minutes later, at 02:30 winter time (01:30 UTC).
  constexpr FileTime kCopy = 1729990200 * platform::kSecond;
  Put("src/f", "v2");
  Put("bk1/f", "v1");
  test::SetUtcMTime(P("bk1/f"), kCopy);
  test::SetUtcMTime(P("src/f"), kCopy + 40 * 60 * platform::kSecond);
  EXPECT_EQ(std::vector<std::string>{"copied  " + Dir("src") + "f"},
            Run(Dirs({"src", "bk1", "bk2"})));
  EXPECT_EQ("v2", ReadFile(P("bk1/f")));
  EXPECT_EQ("v1", ReadFile(P("bk2/f")));
}

TEST_F(BackupEngine, AStageThatKeepsTwoSecondStepsCopiesOnlyEdits) {
  const FileTime s = platform::kSecond;
  // Stage 1 cuts every time to an even second, as FAT does.
  fs_.coarse = {Dir("bk1"), 2 * s, false};
  WriteFile(P("src/a"), "a");
  test::SetUtcMTime(P("src/a"), kNoon + 2 * s - 100);  // cut by almost two seconds
  WriteFile(P("src/b"), "b");
  test::SetUtcMTime(P("src/b"), kNoon + 100);
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  EXPECT_EQ(2u, Run(dirs).size());
  // Nothing changed: the cut times are the copies' own.
  EXPECT_TRUE(Run(dirs).empty());
  EXPECT_EQ(0u, fs_.Changes());
  // A same-size edit 3 s later is newer than any cut.
  WriteFile(P("src/a"), "A");
  test::SetUtcMTime(P("src/a"), kNoon + 5 * s - 100);
  EXPECT_EQ(std::vector<std::string>{"copied  " + Dir("src") + "a"}, Run(dirs));
  EXPECT_EQ("a", ReadFile(P("bk2/a")));

  // Where the type tells nothing, one probe in stage 1 finds the clock; a
  // dry run probes nowhere and takes the coarsest clock there is.
  fs_.coarse.probed = true;
  EXPECT_TRUE(Run(dirs).empty());
  ASSERT_EQ(1u, fs_.Count("ProbeClock"));
  EXPECT_EQ(Dir("bk1"), fs_.Of("ProbeClock")[0].path);
  Options dry;
  dry.dryRun = true;
  EXPECT_TRUE(Run(dirs, dry).empty());
  EXPECT_EQ(0u, fs_.Count("ProbeClock"));
}

TEST_F(BackupEngine, AStageOneCopiedWithExactTimesIsUpToDate) {
  // Earlier versions copied every file with its time to the nanosecond
  // (POSIX) or the tick (Windows): after an upgrade none is copied again.
  test::MakeDirs(P("bk1/sub"));
  for (const char* name : {"a", "b", "sub/c"}) {
    WriteFile(P(std::string("src/") + name), name);
    test::SetUtcMTime(P(std::string("src/") + name),
                      kNoon + 123456789LL * (std::string(name).back() - 'a' + 1));
    ASSERT_TRUE(platform::RealFileSystem().CopyFile(P(std::string("src/") + name),
                                                    P(std::string("bk1/") + name), false, nullptr));
  }
  EXPECT_TRUE(Run(Dirs({"src", "bk1", "bk2"})).empty());
  EXPECT_EQ(0u, fs_.Changes());
}

TEST_F(BackupEngine, OneStageReplacesInPlaceAndDeletesStaleFiles) {
  Put("src/keep", "v2", 2);
  Put("bk1/keep", "v1", 1);
  Put("bk1/gone", "old");
  const auto lines = Run(Dirs({"src", "bk1"}));
  EXPECT_EQ((std::vector<std::string>{"copied  " + Dir("src") + "keep",
                                      "deleted " + Dir("bk1") + "gone"}),
            lines);
  EXPECT_EQ(std::vector<std::string>{"keep"}, Tree("bk1"));
  EXPECT_EQ("v2", ReadFile(P("bk1/keep")));
  EXPECT_EQ(0u, fs_.Count("MoveFile"));
}

TEST_F(BackupEngine, StaleFileMovesDownTheStagesAndTheLastDropsItsCopy) {
  Put("src/other", "o");
  Put("bk1/gone", "g1", 3);
  Put("bk2/gone", "g2", 2);
  Put("bk3/gone", "g3", 1);
  const auto lines = Run(Dirs({"src", "bk1", "bk2", "bk3"}));
  EXPECT_EQ((std::vector<std::string>{"copied  " + Dir("src") + "other",
                                      "deleted " + Dir("bk1") + "gone"}),
            lines);
  EXPECT_EQ(std::vector<std::string>{"other"}, Tree("bk1"));
  EXPECT_EQ("g1", ReadFile(P("bk2/gone")));
  EXPECT_EQ("g2", ReadFile(P("bk3/gone")));
  EXPECT_EQ("2020-01-03 12:00:00", test::LocalMTime(P("bk2/gone")));
}

TEST_F(BackupEngine, DeletedSourceDirectoryMovesDownAndIsRemovedDeepestFirst) {
  Put("src/keep", "k");
  Put("src/gone/x/y/f1", "1");
  Put("src/gone/f2", "2");
  const auto dirs = Dirs({"src", "bk1", "bk2", "bk3"});
  Run(dirs);
  std::filesystem::remove_all(P("src/gone"));

  const std::string bk1 = Dir("bk1");
  const auto lines = Run(dirs);
  EXPECT_EQ((std::vector<std::string>{
                "deleted " + bk1 + "gone" + d + "x" + d + "y" + d + "f1",
                "deleted " + bk1 + "gone" + d + "f2",
                "deleted " + bk1 + "gone" + d + "x" + d + "y" + d,
                "deleted " + bk1 + "gone" + d + "x" + d,
                "deleted " + bk1 + "gone" + d,
            }),
            lines);
  EXPECT_EQ(std::vector<std::string>{"keep"}, Tree("bk1"));
  EXPECT_FALSE(test::IsDir(P("bk1/gone")));
  EXPECT_EQ((std::vector<std::string>{"gone/f2", "gone/x/y/f1"}), Tree("bk2"));
}

TEST_F(BackupEngine, EmptiedStageOneStaysWhileItsSourceIsThere) {
  Put("src/f", "1");
  const auto dirs = Dirs({"src", "bk1"});
  Run(dirs);
  std::filesystem::remove(P("src/f"));
  EXPECT_EQ(std::vector<std::string>{"deleted " + Dir("bk1") + "f"}, Run(dirs));
  EXPECT_TRUE(test::IsDir(P("bk1")));
  EXPECT_TRUE(Tree("bk1").empty());
}

TEST_F(BackupEngine, EmptyStageDirectoriesGoOnlyWhereTheSourceHasNone) {
  Put("src/f", "1");
  test::MakeDirs(P("src/a/b"));
  test::MakeDirs(P("bk1/a/b"));
  test::MakeDirs(P("bk1/c/d"));
  test::MakeDirs(P("bk1/.keep/inner"));
  test::MakeDirs(P("bk1/dotonly/.git"));
  const auto lines = Run(Dirs({"src", "bk1"}));
  const std::string bk1 = Dir("bk1");
  std::vector<std::string> expected = {
      "copied  " + Dir("src") + "f", "deleted " + bk1 + "c" + d + "d" + d,
      "deleted " + bk1 + "c" + d, "deleted " + bk1 + "dotonly" + d};
  EXPECT_TRUE(test::IsDir(P("bk1/a/b")));
  EXPECT_FALSE(test::IsDir(P("bk1/c")));
  if (platform::IsWalkedDirName(".git")) {
    // Dot directories are directories like any other: empty ones go too.
    for (const char* gone : {".keep/inner", ".keep", "dotonly/.git"}) {
      expected.push_back("deleted " + Dir("bk1/" + std::string(gone)));
    }
    EXPECT_FALSE(test::IsDir(P("bk1/dotonly")));
    EXPECT_FALSE(test::IsDir(P("bk1/.keep")));
  } else {
    // A directory holding only a dot directory is reported, and stays.
    EXPECT_TRUE(test::IsDir(P("bk1/dotonly/.git")));
    EXPECT_TRUE(test::IsDir(P("bk1/.keep/inner")));
  }
  EXPECT_EQ(Sorted(expected), Sorted(lines));
}

TEST_F(BackupEngine, DirectoryEmptiedByTheWalkGoesWhileItsFullParentIsNotListedAgain) {
  Put("src/a/keep", "k");
  Put("src/a/b/f", "1");
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  Run(dirs);
  std::filesystem::remove_all(P("src/a/b"));
  const std::string a = Dir("bk1") + "a" + d;
  EXPECT_EQ((std::vector<std::string>{"deleted " + a + "b" + d + "f", "deleted " + a + "b" + d}),
            Run(dirs));
  EXPECT_EQ(std::vector<std::string>{"a/keep"}, Tree("bk1"));
  // Only the emptied directory is listed again (and the top of stage 2, for
  // a stopped run's probes).
  std::vector<std::string> again;
  for (const auto& c : fs_.Of("ListKinds")) again.push_back(c.path);
  EXPECT_EQ((std::vector<std::string>{Dir("bk2") + "*.*", a + "b" + d + "*.*"}), again);
}

// ---------------------------------------------------------------------------
// Options

TEST_F(BackupEngine, KeepExtraOnlyAddsAndUpdates) {
  Put("src/f", "new", 2);
  Put("bk1/f", "old", 1);
  Put("bk1/only/extra", "e");
  test::MakeDirs(P("bk1/empty"));
  Options keep;
  keep.keepExtra = true;
  const auto lines = Run(Dirs({"src", "bk1", "bk2"}), keep);
  EXPECT_EQ(std::vector<std::string>{"copied  " + Dir("src") + "f"}, lines);
  EXPECT_EQ((std::vector<std::string>{"f", "only/extra"}), Tree("bk1"));
  EXPECT_EQ("new", ReadFile(P("bk1/f")));
  EXPECT_TRUE(test::IsDir(P("bk1/empty")));
  EXPECT_EQ(0u, fs_.Count("RemoveDir"));
  EXPECT_EQ(0u, fs_.Count("DeleteFile"));
  EXPECT_EQ("old", ReadFile(P("bk2/f")));
}

TEST_F(BackupEngine, DryRunTouchesNothingAndReportsWhatTheRunWouldDo) {
  Put("src/new", "n");
  Put("src/changed", "c2", 2);
  Put("bk1/changed", "c1", 1);
  Put("bk1/gone/deep/stale", "s");
  Put("bk2/changed", "c0");
  const auto dirs = Dirs({"src", "bk1", "bk2", "bk3"});
  Options dry;
  dry.dryRun = true;
  const auto dryLines = Run(dirs, dry);
  EXPECT_EQ(0u, fs_.Changes());
  EXPECT_EQ(0u, fs_.Count("CreateDir"));
  EXPECT_FALSE(test::IsDir(P("bk3")));
  EXPECT_EQ((std::vector<std::string>{"changed", "gone/deep/stale"}), Tree("bk1"));
  EXPECT_EQ("c1", ReadFile(P("bk1/changed")));
  EXPECT_EQ("2020-01-01 12:00:00", test::LocalMTime(P("bk1/changed")));
  EXPECT_EQ(std::vector<std::string>{"changed"}, Tree("bk2"));
  EXPECT_EQ("c0", ReadFile(P("bk2/changed")));

  // The same lines, the directories that the run empties and removes too.
  const auto realLines = Run(dirs);
  EXPECT_EQ(dryLines, realLines);
  EXPECT_EQ((std::vector<std::string>{"deleted " + Dir("bk1") + "gone" + d + "deep" + d,
                                      "deleted " + Dir("bk1") + "gone" + d}),
            std::vector<std::string>(realLines.end() - 2, realLines.end()));
}

TEST_F(BackupEngine, DryRunBeforeTheFirstRunMakesNothing) {
  Put("src/f", "1");
  test::MakeDirs(P("src/empty"));
  Options dry;
  dry.dryRun = true;
  EXPECT_EQ(std::vector<std::string>{"copied  " + Dir("src") + "f"},
            Run(Dirs({"src", "bk1"}), dry));
  EXPECT_FALSE(test::IsDir(P("bk1")));
}

TEST_F(BackupEngine, RunWithNothingToCopyStillKeepsTheDirectories) {
  // Stage 1 stands for the source's top, and an empty directory is part of
  // the tree, also with /A.
  Put("src/f", "1");
  test::MakeDirs(P("src/empty"));
  Options none;
  none.keepExtra = true;
  none.firstDay = Day(2099, 1, 1);
  EXPECT_TRUE(Run(Dirs({"src", "a/b/bk1"}), none).empty());
  EXPECT_TRUE(clean_);
  EXPECT_TRUE(test::IsDir(P("a/b/bk1/empty")));
  EXPECT_TRUE(Tree("a/b/bk1").empty());
}

TEST_F(BackupEngine, DateRangeSelectsWholeDaysBothEndsIncluded) {
  WriteFile(P("src/before"), "b");
  test::SetLocalMTime(P("src/before"), 2021, 3, 9, 23, 59, 58);
  WriteFile(P("src/first"), "f");
  test::SetLocalMTime(P("src/first"), 2021, 3, 10, 0, 0, 0);
  WriteFile(P("src/last"), "l");
  test::SetLocalMTime(P("src/last"), 2021, 3, 12, 23, 59, 58);
  WriteFile(P("src/after"), "a");
  test::SetLocalMTime(P("src/after"), 2021, 3, 13, 0, 0, 0);
  Options range;
  range.firstDay = Day(2021, 3, 10);
  range.lastDay = Day(2021, 3, 12);
  Run(Dirs({"src", "bk1"}), range);
  EXPECT_EQ((std::vector<std::string>{"first", "last"}), Tree("bk1"));
}

TEST_F(BackupEngine, DefaultRangeLeavesOutNoYear) {
  WriteFile(P("src/epoch"), "e");
  test::SetLocalMTime(P("src/epoch"), 1970, 1, 2);
  WriteFile(P("src/future"), "f");
  test::SetLocalMTime(P("src/future"), 2108, 1, 1);
  Run(Dirs({"src", "bk1"}));
  EXPECT_EQ((std::vector<std::string>{"epoch", "future"}), Tree("bk1"));
  EXPECT_EQ("1970-01-02 12:00:00", test::LocalMTime(P("bk1/epoch")));
  EXPECT_EQ("2108-01-01 12:00:00", test::LocalMTime(P("bk1/future")));
}

TEST_F(BackupEngine, ReversedRangeCopiesNothingButStillClearsStaleFiles) {
  Put("src/f", "1");
  Put("bk1/f", "0", 1, 6);
  Put("bk1/stale", "s");
  Options reversed;
  reversed.firstDay = Day(2020, 2, 1);
  reversed.lastDay = Day(2020, 1, 1);
  const auto lines = Run(Dirs({"src", "bk1"}), reversed);
  EXPECT_EQ(std::vector<std::string>{"deleted " + Dir("bk1") + "stale"}, lines);
  // Passed over by the filter, the source file still counts as present.
  EXPECT_EQ("0", ReadFile(P("bk1/f")));
}

TEST_F(BackupEngine, MasksLimitWhatIsCopiedNotWhatIsStale) {
  Put("src/a.txt", "a");
  Put("src/b.log", "b");
  Put("src/c.txt", "c");
  Put("bk1/old.txt", "o");
  Options masks;
  masks.include = {"*.txt", "*.log"};
  masks.exclude = {"c*", "old*"};
  const auto lines = Run(Dirs({"src", "bk1"}), masks);
  EXPECT_EQ((std::vector<std::string>{"a.txt", "b.log"}), Tree("bk1"));
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "deleted " + Dir("bk1") + "old.txt"));
}

TEST_F(BackupEngine, InvalidMaskStopsTheRunAtTheFirstNameItMeets) {
  Put("src/d/aa", "copied before the fault");
  Put("src/b", "b");
  Put("bk1/stale", "s");
  Options masks;
  // "aa" fits the first mask and the search ends there; "b" reaches "[".
  masks.include = {"a*", "["};
  EXPECT_THROW(Run(Dirs({"src", "bk1"}), masks), EMaskException);
  EXPECT_FALSE(handedOff_);
  EXPECT_EQ((std::vector<std::string>{"d/aa", "stale"}), Tree("bk1"));
  // The engine state went with the error: the next run starts afresh.
  EXPECT_EQ(
      (std::vector<std::string>{"copied  " + Dir("src") + "b", "deleted " + Dir("bk1") + "stale"}),
      Run(Dirs({"src", "bk1"}), Options{{"b"}, {}}));
}

TEST_F(BackupEngine, DotDirectoriesAreWalkedWhereTheyOnlyHideAndDotFilesAreBackedUp) {
  Put("src/.profile", "p");
  Put("src/.git/config", "c");
  Put("src/sub/.hidden", "h");
  Put("bk1/.cache/blob", "b");  // not in the source
  Run(Dirs({"src", "bk1", "bk2"}));
  if (platform::IsWalkedDirName(".git")) {
    // A leading dot only hides: a dot directory is backed up, and one that
    // the source lacks retires like any other.
    EXPECT_EQ((std::vector<std::string>{".git/config", ".profile", "sub/.hidden"}), Tree("bk1"));
    EXPECT_EQ(std::vector<std::string>{".cache/blob"}, Tree("bk2"));
  } else {
    EXPECT_EQ((std::vector<std::string>{".cache/blob", ".profile", "sub/.hidden"}), Tree("bk1"));
  }
}

// Only a run that holds the stage's lock writes in it, so a staging name
// there is what a stopped run left: it goes without a word, and never
// becomes a generation. Past stage 1 only the top holds such names (a
// probe's). A source file of such a name is backed up as any.
TEST_F(BackupEngine, LeftoversOfAStoppedRunAreClearedWithoutAWord) {
  const std::string leftover = platform::StagingName(0x1234);
  const std::string users = platform::StagingName(0xabcd);
  Put("src/d/f", "f");
  Put("src/" + users, "mine");
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  Run(dirs);
  Put("bk1/" + leftover, "partial");
  Put("bk1/d/" + leftover, "partial");
  Put("bk1/gone/" + leftover, "partial");
  Put("bk2/" + leftover, "probe");
  Put("bk2/" + users, "older");
  const std::vector<std::string> lines = Run(dirs);
  EXPECT_TRUE(clean_);
  EXPECT_EQ((std::vector<std::string>{"deleted " + Dir("bk1") + "gone" + d}), lines);
  EXPECT_EQ((std::vector<std::string>{users, "d/f"}), Tree("bk1"));
  EXPECT_EQ((std::vector<std::string>{users}), Tree("bk2"));
}

// The run's lock file at the top of stage 1 is no file of the backup: never
// reported, moved down, taken for a stale file or counted when the walk
// judges whether stage 1 is empty; a source entry of its name at the top (a
// stage 1 backed up in turn) is not backed up over it. Deeper down the name
// is a name like any.
TEST_F(BackupEngine, LockFileIsNoFileOfTheBackup) {
  const std::string lock = platform::RunLockName;
  Put("src/a", "a");
  Put("src/" + lock, "theirs");
  Put("src/sub/" + lock, "deeper");
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  EXPECT_EQ((std::vector<std::string>{"copied  " + Dir("src") + "sub" + d + lock,
                                      "copied  " + Dir("src") + "a"}),
            Run(dirs));
  EXPECT_EQ("", ReadFile(P("bk1/" + lock)));
  // The source goes while the run lists it: every file of stage 1 is stale,
  // and stage 1 is empty but for the lock file, which goes first.
  bool gone = false;
  fs_.before = [&](const test::RecordingFileSystem::Call& c) {
    if (gone || c.op != "List" || c.path.rfind(Dir("src"), 0) != 0) return;
    gone = true;
    std::filesystem::remove_all(P("src"));
  };
  const std::vector<std::string> lines = Run(dirs);
  EXPECT_TRUE(clean_);
  for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find(Dir("bk1") + lock));
  EXPECT_EQ((std::vector<std::string>{"a", "sub/" + lock}), Tree("bk2"));
  EXPECT_FALSE(test::IsFile(P("bk2/" + lock)));
  // Windows keeps the deleted lock file until the run closes it, and stage
  // 1 with it.
  if (platform::PathDelim == '/') {
    EXPECT_FALSE(test::IsDir(P("bk1")));
  } else {
    EXPECT_TRUE(std::filesystem::is_empty(P("bk1")));
  }
}

// A directory that became a file, or a file that became a directory, is a
// change whatever the times: stage 1's entry moves down (a directory with
// its files, as stale files do) and the new entry is made in the same run.
TEST_F(BackupEngine, KindChangesAreTakenInOneRun) {
  struct Case {
    const char* name;
    bool dirToFile;
    int sourceDay;  // the new entry's time against the old one's (day 5)
  };
  for (const Case& c : {Case{"dir to newer file", true, 9}, Case{"dir to older file", true, 1},
                        Case{"file to newer dir", false, 9}, Case{"file to older dir", false, 1}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(tmp_.path());
    const auto dirs = Dirs({"src", "bk1", "bk2", "bk3"});
    if (c.dirToFile) {
      Put("src/clash/inner/x", "x", 5);
      Put("src/clash/y", "y", 5);
    } else {
      Put("src/clash", "file", 5);
    }
    Run(dirs);
    std::filesystem::remove_all(P("src/clash"));
    if (c.dirToFile) {
      Put("src/clash", "file", c.sourceDay);
    } else {
      Put("src/clash/z", "z", c.sourceDay);
    }
    const std::vector<std::string> lines = Run(dirs);
    EXPECT_TRUE(clean_);
    const std::string bk1 = Dir("bk1");
    if (c.dirToFile) {
      EXPECT_EQ(
          (std::vector<std::string>{
              "deleted " + bk1 + "clash" + d + "inner" + d + "x",
              "deleted " + bk1 + "clash" + d + "y", "deleted " + bk1 + "clash" + d + "inner" + d,
              "deleted " + bk1 + "clash" + d, "copied  " + Dir("src") + "clash"}),
          lines);
      EXPECT_EQ("file", ReadFile(P("bk1/clash")));
      EXPECT_EQ((std::vector<std::string>{"clash/inner/x", "clash/y"}), Tree("bk2"));
    } else {
      EXPECT_EQ((std::vector<std::string>{"deleted " + bk1 + "clash",
                                          "copied  " + Dir("src") + "clash" + d + "z"}),
                lines);
      EXPECT_EQ("z", ReadFile(P("bk1/clash/z")));
      EXPECT_EQ("file", ReadFile(P("bk2/clash")));
    }
    // The kinds change back: the generations of both stay apart, and
    // nothing is lost but what leaves the last stage.
    std::filesystem::remove_all(P("src/clash"));
    Put("src/clash", "again", 10);
    Run(dirs);
    Put("src/clash", "third", 11);
    Run(dirs);
    EXPECT_TRUE(clean_);
    EXPECT_EQ("third", ReadFile(P("bk1/clash")));
    EXPECT_EQ("again", ReadFile(P("bk2/clash")));
    if (c.dirToFile) {
      EXPECT_EQ("file", ReadFile(P("bk3/clash")));
    } else {
      EXPECT_EQ("z", ReadFile(P("bk3/clash/z")));
    }
  }
}

// ---------------------------------------------------------------------------
// Refusals and directories that contain each other

TEST_F(BackupEngine, MissingSourceIsRefusedBeforeAnythingIsTouched) {
  Put("bk1/f", "keep");
  try {
    Run(Dirs({"nosuch", "bk1", "bk2"}));
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ("Exception", e.ClassName());
    EXPECT_EQ(platform::ProgramText("元ディレクトリが見つかりません: ") + Dir("nosuch"),
              e.Message());
  }
  EXPECT_EQ(0u, fs_.Changes());
  EXPECT_FALSE(handedOff_);
  EXPECT_EQ("keep", ReadFile(P("bk1/f")));
  EXPECT_EQ("2020-01-01 12:00:00", test::LocalMTime(P("bk1/f")));
  EXPECT_FALSE(test::IsDir(P("bk2")));
}

TEST_F(BackupEngine, MissingSourceBelowTheTopMeansDeleted) {
  Put("src/d/f", "1");
  const auto dirs = Dirs({"src", "bk1"});
  Run(dirs);
  std::filesystem::remove_all(P("src/d"));
  Run(dirs);
  EXPECT_TRUE(Tree("bk1").empty());
}

TEST_F(BackupEngine, StageThatIsTheSourceIsRefusedWhateverItsSpelling) {
  Put("src/f", "1");
  Put("bk1/g", "2");
  const std::string other = P("src") + d + "." + d;
  try {
    Run({Dir("src"), Dir("bk1"), other});
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(platform::ProgramText("元ディレクトリとバックアップディレクトリが同じです: ") + other,
              e.Message());
  }
  EXPECT_EQ(0u, fs_.Changes());
  EXPECT_EQ(std::vector<std::string>{"f"}, Tree("src"));
  EXPECT_EQ(std::vector<std::string>{"g"}, Tree("bk1"));
}

// Named as two stages, one directory would rotate into itself: a run would
// lose its new version. One that exists is known by its identity, one still
// to be made by its spelling.
TEST_F(BackupEngine, OneDirectoryNamedAsTwoStagesIsRefusedWhateverItsSpelling) {
  Put("src/f", "1");
  const bool foldsCase = d == "\\";
  const struct {
    std::string second;
    bool refused;
  } kCases[] = {
      {Dir("bk"), true},           {Dir("bk") + d, true},  {Dir("bk") + "." + d, true},
      {Dir(".") + "bk" + d, true}, {Dir("BK"), foldsCase}, {Dir("bk2"), false},
  };
  for (const auto& c : kCases) {
    for (const bool exists : {false, true}) {
      SCOPED_TRACE(c.second + (exists ? " (there)" : " (to be made)"));
      std::filesystem::remove_all(P("bk"));
      std::filesystem::remove_all(P("BK"));
      std::filesystem::remove_all(P("bk2"));
      if (exists) Put("bk/g", "2");
      try {
        Run({Dir("src"), Dir("bk"), c.second});
        EXPECT_FALSE(c.refused) << "no error";
      } catch (const Exception& e) {
        EXPECT_TRUE(c.refused);
        EXPECT_EQ(platform::ProgramText("同じバックアップディレクトリが二度指定されています: ") +
                      c.second,
                  e.Message());
        EXPECT_EQ(0u, fs_.Changes());
        EXPECT_EQ(exists ? std::vector<std::string>{"g"} : std::vector<std::string>{}, Tree("bk"));
      }
    }
  }
}

TEST_F(BackupEngine, StageInsideTheSourceIsNotBackedUpIntoItself) {
  Put("src/f", "1");
  Put("src/x/g", "2");
  // Stage 1 does not exist yet: it is made during the run, inside the source.
  const auto dirs = std::vector<std::string>{Dir("src"), Dir("src/x/bk"), Dir("old")};
  // It is passed over, and told, every run; no failure.
  const std::string skipped = "skipped " + Dir("src/x/bk");
  for (int run = 0; run < 2; ++run) {
    const auto lines = Run(dirs);
    EXPECT_TRUE(clean_);
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), skipped));
    for (const std::string& line : lines) {
      EXPECT_EQ(std::string::npos, line.find("bk" + d + "x" + d + "bk")) << line;
      EXPECT_NE(0u, line.rfind("copied  " + Dir("src/x/bk"), 0)) << line;
    }
  }
  EXPECT_EQ((std::vector<std::string>{"f", "x/g"}), Tree("src/x/bk"));
  EXPECT_FALSE(test::IsDir(P("old")));
  // A change still reaches the stage inside the source; the older copy moves down.
  Put("src/f", "changed", 3);
  EXPECT_EQ((std::vector<std::string>{skipped, "copied  " + Dir("src") + "f"}), Run(dirs));
  EXPECT_EQ((std::vector<std::string>{"f", "x/g"}), Tree("src/x/bk"));
  EXPECT_EQ("changed", ReadFile(P("src/x/bk/f")));
  EXPECT_EQ("1", ReadFile(P("old/f")));
}

TEST_F(BackupEngine, StageMadeDuringTheRunIsKnownWhenTheWalkMeetsIt) {
  // "a" is walked first and its copy makes stage 1 inside "b", which the walk
  // lists next.
  Put("src/a/f", "1");
  test::MakeDirs(P("src/b"));
  fs_.sortListings = true;
  const auto lines = Run({Dir("src"), Dir("src/b/bk")});
  EXPECT_EQ((std::vector<std::string>{"copied  " + Dir("src") + "a" + d + "f",
                                      "skipped " + Dir("src/b/bk")}),
            lines);
  EXPECT_EQ(std::vector<std::string>{"a/f"}, Tree("src/b/bk"));
}

TEST_F(BackupEngine, SourceInsideStageOneIsNeverTakenForStaleContent) {
  Put("bk1/src/f", "mine");
  Put("bk1/src/d/g", "mine too");
  const auto dirs = std::vector<std::string>{Dir("bk1/src"), Dir("bk1")};
  Run(dirs);
  Run(dirs);
  EXPECT_EQ("mine", ReadFile(P("bk1/src/f")));
  EXPECT_EQ("mine too", ReadFile(P("bk1/src/d/g")));
  EXPECT_EQ("mine", ReadFile(P("bk1/f")));
  EXPECT_EQ(0u, fs_.Count("RemoveDir"));
}

// ---------------------------------------------------------------------------
// Failed operations

class BackupFaults : public BackupEngine {
 protected:
  // Three runs leave versions 3, 2 and 1 in stages 1, 2 and 3; then the
  // source gets version 4.
  void ThreeGenerations() {
    for (int v = 1; v <= 3; ++v) {
      Put("src/f", "v" + std::to_string(v), v);
      Run(dirs_);
    }
    Put("src/f", "v4", 4);
  }
  // Every call of `op` on `path` fails, for want of permission.
  void Fail(const std::string& op, const std::string& path) {
    fs_.failIf = [op, path](const test::RecordingFileSystem::Call& c) {
      if (c.op != op || (!path.empty() && c.path != path)) return false;
      test::SetPlatformError(test::PlatformError::PermissionDenied);
      return true;
    };
  }
  void FailMovesFrom(const std::string& stage) { Fail("MoveFile", Dir(stage) + "f"); }
  std::string Version(const std::string& rel) {
    return test::IsFile(P(rel)) ? ReadFile(P(rel)) : std::string("none");
  }

  const std::vector<std::string> dirs_ = Dirs({"src", "bk1", "bk2", "bk3"});
};

TEST_F(BackupFaults, FailedMoveInTheChainLosesNoGeneration) {
  ThreeGenerations();
  FailMovesFrom("bk2");
  // The run decided to copy and says so; then what could not be done: the
  // move out of stage 2, and so the move out of stage 1 into its place.
  const std::vector<std::string> lines = Run(dirs_);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("copied  " + Dir("src") + "f", lines[0]);
  EXPECT_EQ(Failed(Dir("bk2") + "f", test::PlatformError::PermissionDenied), lines[1]);
  EXPECT_EQ(0u, lines[2].rfind("failed  " + Dir("bk1") + "f\t", 0)) << lines[2];
  EXPECT_FALSE(clean_);
  // Stage 2 could not move down, so stage 1 could not either: every stage
  // keeps its version, the oldest too, which only goes once its successor
  // has arrived.
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v2", Version("bk2/f"));
  EXPECT_EQ("v1", Version("bk3/f"));

  fs_.failIf = nullptr;
  Run(dirs_);
  EXPECT_EQ("v4", Version("bk1/f"));
  EXPECT_EQ("v3", Version("bk2/f"));
  EXPECT_EQ("v2", Version("bk3/f"));
}

TEST_F(BackupFaults, FailedMoveOutOfStageOneKeepsItsCopy) {
  ThreeGenerations();
  FailMovesFrom("bk1");
  Run(dirs_);
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("none", Version("bk2/f"));
  EXPECT_EQ("v2", Version("bk3/f"));
  fs_.failIf = nullptr;
  Run(dirs_);
  EXPECT_EQ("v4", Version("bk1/f"));
  EXPECT_EQ("v3", Version("bk2/f"));
  EXPECT_EQ("v2", Version("bk3/f"));
}

TEST_F(BackupFaults, FailedCopyLeavesStageOnesCopyAndTheRunGoesOn) {
  Put("src/f", "old", 1);
  Put("src/g", "g", 1);
  const auto one = Dirs({"src", "bk1"});
  Run(one);
  Put("src/f", "new", 2);
  Put("src/h", "h", 2);
  const std::string from = Dir("src") + "f";
  fs_.failIf = [from](const test::RecordingFileSystem::Call& c) {
    return c.op == "StageCopy" && c.path == from;
  };
  Run(one);
  EXPECT_EQ("old", ReadFile(P("bk1/f")));
  EXPECT_EQ("h", ReadFile(P("bk1/h")));
}

TEST_F(BackupFaults, FailedCopyInARotationMovesNoGeneration) {
  ThreeGenerations();
  Fail("StageCopy", Dir("src") + "f");
  EXPECT_EQ(
      (std::vector<std::string>{"copied  " + Dir("src") + "f",
                                Failed(Dir("src") + "f", test::PlatformError::PermissionDenied)}),
      Run(dirs_));
  EXPECT_EQ(0u, fs_.Count("MoveFile") + fs_.Count("DeleteFile"));
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v2", Version("bk2/f"));
  EXPECT_EQ("v1", Version("bk3/f"));
  EXPECT_EQ((std::vector<std::string>{"f"}), Tree("bk1"));
}

TEST_F(BackupFaults, FailedFlushLosesItsCopyAndMovesNoGeneration) {
  ThreeGenerations();
  fs_.sortListings = true;
  Put("src/g", "g", 1);
  const std::string from = Dir("src") + "f";
  fs_.failIf = [from](const test::RecordingFileSystem::Call& c) {
    if (c.op != "Flush" || c.path != from) return false;
    test::SetPlatformError(test::PlatformError::IoError);
    return true;
  };
  EXPECT_EQ((std::vector<std::string>{"copied  " + from, Failed(from, test::PlatformError::IoError),
                                      "copied  " + Dir("src") + "g"}),
            Run(dirs_));
  EXPECT_FALSE(clean_);
  EXPECT_EQ(0u, fs_.Count("MoveFile"));
  EXPECT_EQ("v3 v2 v1", Version("bk1/f") + " " + Version("bk2/f") + " " + Version("bk3/f"));
  EXPECT_EQ("g", Version("bk1/g"));
  // Nothing of the lost copy is left; the next run makes it again.
  EXPECT_EQ((std::vector<std::string>{"f", "g"}), Tree("bk1"));
  fs_.failIf = nullptr;
  Run(dirs_);
  EXPECT_EQ("v4 v3 v2", Version("bk1/f") + " " + Version("bk2/f") + " " + Version("bk3/f"));
}

TEST_F(BackupFaults, CopyIntoANameTheLookupMissedReplacesNothing) {
  ThreeGenerations();
  // With /A stage 1 is asked file by file; that lookup fails here.
  const std::string stage1 = Dir("bk1") + "f";
  fs_.failIf = [stage1](const test::RecordingFileSystem::Call& c) {
    return c.op == "Find" && c.path == stage1;
  };
  Options keep;
  keep.keepExtra = true;
  Run(dirs_, keep);
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v2", Version("bk2/f"));
  EXPECT_EQ("v1", Version("bk3/f"));
  EXPECT_EQ((std::vector<std::string>{"f"}), Tree("bk1"));
}

TEST_F(BackupFaults, SourceThatCannotBeLookedUpIsNotTakenForDeleted) {
  Put("src/f", "f");
  Put("src/d/g", "g");
  const auto dirs = Dirs({"src", "bk1", "bk2"});
  Run(dirs);
  std::filesystem::remove(P("src/f"));
  std::filesystem::remove_all(P("src/d"));
  Fail("KindOf", "");
  EXPECT_EQ(
      (std::vector<std::string>{Failed(Dir("src") + "d", test::PlatformError::PermissionDenied),
                                Failed(Dir("src") + "f", test::PlatformError::PermissionDenied)}),
      Run(dirs));
  EXPECT_EQ((std::vector<std::string>{"d/g", "f"}), Tree("bk1"));
  // Once the file system says they are gone, they are.
  fs_.failIf = nullptr;
  Run(dirs);
  EXPECT_TRUE(Tree("bk1").empty());
  EXPECT_EQ((std::vector<std::string>{"d/g", "f"}), Tree("bk2"));
}

TEST_F(BackupFaults, FailedMoveIntoTheLastStageKeepsTheOldest) {
  ThreeGenerations();
  const std::string to = Dir("bk3") + "f";
  fs_.failIf = [to](const test::RecordingFileSystem::Call& c) {
    return c.op == "MoveFile" && c.to == to;
  };
  Run(dirs_);
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v2", Version("bk2/f"));
  EXPECT_EQ("v1", Version("bk3/f"));
  std::filesystem::remove(P("src/f"));
  Run(dirs_);  // the stale file's way down is blocked the same way
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v1", Version("bk3/f"));
}

// Left from a time when f was a directory, in a later stage: a version of
// another kind, which moves on as a rotation moves it; only the last
// stage's is dropped.
TEST_F(BackupFaults, DirectoryInALaterStageMovesOnAsAGeneration) {
  for (const char* stage : {"bk2", "bk3"}) {
    SCOPED_TRACE(stage);
    std::filesystem::remove_all(tmp_.path());
    ThreeGenerations();
    std::filesystem::remove(P(std::string(stage) + "/f"));
    Put(std::string(stage) + "/f/x", "x");
    Run(dirs_);
    EXPECT_TRUE(clean_);
    EXPECT_EQ("v4", Version("bk1/f"));
    EXPECT_EQ("v3", Version("bk2/f"));
    if (std::string(stage) == "bk2") {
      EXPECT_EQ("x", ReadFile(P("bk3/f/x")));
    } else {
      EXPECT_EQ("v2", Version("bk3/f"));
    }
  }
}

TEST_F(BackupFaults, DirectoryInTheWayOfACopyMovesNoGeneration) {
  ThreeGenerations();
  std::filesystem::remove(P("bk1/f"));
  test::MakeDirs(P("bk1/f/x"));
  test::SetLocalMTime(P("bk1/f"), 2020, 1, 1);
  // The copy could never take the directory's place: the older generations
  // stay where they are instead of the oldest being dropped for nothing.
  Run(dirs_);
  EXPECT_EQ("v2", Version("bk2/f"));
  EXPECT_EQ("v1", Version("bk3/f"));
}

TEST_F(BackupFaults, FailedStaleMoveKeepsTheFileInStageOne) {
  ThreeGenerations();
  std::filesystem::remove(P("src/f"));
  FailMovesFrom("bk1");
  EXPECT_EQ(
      (std::vector<std::string>{"deleted " + Dir("bk1") + "f",
                                Failed(Dir("bk1") + "f", test::PlatformError::PermissionDenied)}),
      Run(dirs_));
  EXPECT_EQ("v3", Version("bk1/f"));
  EXPECT_EQ("v2", Version("bk3/f"));
}

TEST_F(BackupFaults, UnreadableSourceDirectoryLeavesItsBackupAlone) {
  Put("src/d/f", "1");
  Put("src/d/e/g", "2");
  const auto one = Dirs({"src", "bk1"});
  Run(one);
  Fail("List", Dir("src/d") + "*.*");
  EXPECT_EQ(std::vector<std::string>{Failed(Dir("src/d"), test::PlatformError::PermissionDenied)},
            Run(one));
  EXPECT_FALSE(clean_);
  EXPECT_EQ((std::vector<std::string>{"d/e/g", "d/f"}), Tree("bk1"));
}

TEST_F(BackupFaults, FailedDirectoryCreationAndRemovalAreTold) {
  Put("src/a/f", "1");
  Put("bk1/gone/x", "x");
  fs_.failIf = [](const test::RecordingFileSystem::Call& c) {
    test::SetPlatformError(test::PlatformError::PermissionDenied);
    return c.op == "RemoveDir" || c.op == "CreateDir";
  };
  // The directory for a/f could not be made, so the copy is not tried; the
  // emptied directory could not be removed.
  const auto denied = test::PlatformError::PermissionDenied;
  EXPECT_EQ(
      (std::vector<std::string>{"copied  " + Dir("src/a") + "f", Failed(Dir("bk1/a"), denied),
                                "deleted " + Dir("bk1/gone") + "x", "deleted " + Dir("bk1/gone"),
                                Failed(Dir("bk1/gone"), denied)}),
      Run(Dirs({"src", "bk1"})));
  EXPECT_EQ(0u, fs_.Count("StageCopy"));
  EXPECT_FALSE(test::IsFile(P("bk1/a/f")));
  EXPECT_TRUE(test::IsDir(P("bk1/gone")));
  EXPECT_FALSE(test::IsFile(P("bk1/gone/x")));
}

// Workers write the copies side by side; what a run decides, the order of
// its report (failures included, each after its decision) and what the
// stages hold are those of the run without them.
// The same tree with and without workers, with and without -A, with
// failures in every kind of work the workers do: a listing read ahead, a
// copy staged, a stale file's move, a directory's time at the batch's end.
TEST_F(BackupEngine, WorkersChangeNeitherDecisionsNorReportNorStages) {
  for (const bool keepExtra : {false, true}) {
    std::vector<std::vector<std::string>> reports;
    std::vector<std::string> trees;
    for (const size_t workers : {size_t{0}, size_t{8}}) {
      const std::string top = "w" + std::to_string(workers) + (keepExtra ? "a" : "") + "/";
      // Enough copies for batches to be handed on while the walk goes on.
      for (int i = 0; i < 200; ++i) {
        const std::string name = "d" + std::to_string(i % 5) + "/f" + std::to_string(i);
        Put(top + "src/" + name, "new " + std::to_string(i), 3);
        if (i % 3 == 0) Put(top + "bk1/" + name, "old", 2);
        if (i % 6 == 0) Put(top + "bk2/" + name, "older", 1);
      }
      Put(top + "bk1/d1/stale", "s");
      Put(top + "bk1/gone/deep/stale", "s");
      fs_.sortListings = true;
      fs_.failIf = [](const test::RecordingFileSystem::Call& c) {
        const auto fail = [](test::PlatformError error) {
          test::SetPlatformError(error);  // on the thread that does it
          return true;
        };
        const std::string sep(1, platform::PathDelim);
        if (c.op == "List" && c.path.find("src" + sep + "d3") != std::string::npos) {
          return fail(test::PlatformError::PermissionDenied);
        }
        if (c.op == "StageCopy" && (c.path.ends_with("f7") || c.path.ends_with("f12"))) {
          return fail(test::PlatformError::NoSpace);
        }
        if (c.op == "MoveFile" && c.path.ends_with("d1" + sep + "stale")) {
          return fail(test::PlatformError::IoError);
        }
        if (c.op == "MatchDirectory" && c.to.find("bk1" + sep + "d4") != std::string::npos) {
          return fail(test::PlatformError::IoError);
        }
        return false;
      };
      Options o;
      o.workers = workers;
      o.keepExtra = keepExtra;
      const std::string base = P(top);
      std::vector<std::string> lines = Run(Dirs({(top + "src").c_str(), (top + "bk1").c_str(),
                                                 (top + "bk2").c_str(), (top + "bk3").c_str()}),
                                           o);
      for (std::string& line : lines) line.erase(line.find(base), base.size());
      EXPECT_FALSE(clean_);
      if (workers > 0) {
        EXPECT_LT(1u, fs_.Count("Flush")) << "-A " << keepExtra;
      }
      reports.push_back(lines);
      std::string tree;
      for (const char* stage : {"bk1", "bk2", "bk3"}) {
        for (const std::string& file : Tree(top + stage)) {
          tree +=
              std::string(stage) + "/" + file + "=" + ReadFile(P(top + stage + "/" + file)) + ";";
        }
      }
      trees.push_back(tree);
    }
    EXPECT_EQ(reports[0], reports[1]) << "-A " << keepExtra;
    EXPECT_EQ(trees[0], trees[1]) << "-A " << keepExtra;
    // The listing, two copies and the directory; without -A the stale file too.
    std::vector<std::string> failed;
    std::copy_if(reports[0].begin(), reports[0].end(), std::back_inserter(failed),
                 [](const std::string& l) { return l.starts_with("failed  "); });
    EXPECT_EQ(keepExtra ? 4u : 5u, failed.size())
        << "-A " << keepExtra << ": " << ::testing::PrintToString(failed);
  }
}

}  // namespace
