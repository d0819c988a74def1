// Runs of the built program onto model stages (tests/support/ModelStageFs):
// stages that refuse what exFAT, FAT, SMB and FUSE stages refuse, a switch
// each. A copy is named without rename flags and without links; what a stage
// cannot keep is told once per stage and kind and costs no data; names that
// the stage folds together or refuses never move a generation; a run with
// nothing changed copies nothing at the stage's clock.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "support/ModelStage.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using test::StageCaps;

constexpr long long kSecond = 1000000000;
// 2020-01-01 12:00:00 UTC.
constexpr long long kNoon = 1577880000 * kSecond;

StageCaps With(bool StageCaps::*cap, bool value) {
  StageCaps caps;
  caps.*cap = value;
  return caps;
}

StageCaps Clock(long long ns) {
  StageCaps caps;
  caps.clockNs = ns;
  return caps;
}

bool Starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// What a run said, sorted into its kinds of line.
struct Said {
  std::vector<std::string> copied, deleted, failed, told;  // report lines
  std::vector<std::string> toldOnStderr;                   // beside the failures
};

class ModelStageRun : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  // False, with the reason in why_, where no model stage can be mounted.
  bool Mount(const StageCaps& caps) {
    stage_ = std::make_unique<test::ModelStage>(caps);
    why_ = stage_->why();
    return stage_->mounted();
  }

  std::string Src(const std::string& rel = "") const { return tmp_ / ("src/" + rel); }
  std::string Bk(int k, const std::string& rel = "") const {
    return test::Join(stage_->path(), "bk" + std::to_string(k) + "/" + rel);
  }
  std::string Typed(int k) const { return test::Join(stage_->path(), "bk" + std::to_string(k)); }

  void Put(const std::string& rel, const std::string& content, long long ns = kNoon) {
    test::WriteFile(Src(rel), content);
    test::SetUtcMTime(Src(rel), ns);
  }

  // One run onto two stages, with its report read and removed.
  test::ProgramRun Run(Said& said) {
    const test::ProgramRun run =
        test::RunProgram(exe_, {tmp_ / "src", Typed(1), Typed(2), test::Opt("M")});
    const std::string report = test::ReportPath(exe_, 1);
    said = Said();
    for (const std::string& line :
         test::CrLfLines(test::IsFile(report) ? test::ReadFile(report) : "")) {
      if (line.empty()) continue;
      if (Starts(line, "copied  ")) {
        said.copied.push_back(line);
      } else if (Starts(line, "deleted ")) {
        said.deleted.push_back(line);
      } else if (Starts(line, "failed  ")) {
        said.failed.push_back(line);
      } else {
        said.told.push_back(line);
      }
    }
    std::error_code ec;
    fs::remove(report, ec);
    size_t at = 0;
    for (size_t end; (end = run.stderrText.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = run.stderrText.substr(at, end - at);
      if (!Starts(line, "kovrel: failed  ")) said.toldOnStderr.push_back(line);
    }
    return run;
  }

  // The stage tells, once, that it cannot keep something: one line in the
  // report and one on standard error, each naming stage 1.
  void ExpectToldOnceForStage1(const Said& said) const {
    ASSERT_EQ(1u, said.told.size()) << ::testing::PrintToString(said.told);
    EXPECT_NE(std::string::npos, said.told[0].find(Typed(1))) << said.told[0];
    ASSERT_EQ(1u, said.toldOnStderr.size()) << ::testing::PrintToString(said.toldOnStderr);
    EXPECT_NE(std::string::npos, said.toldOnStderr[0].find(Typed(1))) << said.toldOnStderr[0];
  }

  test::TempDir tmp_;
  std::string exe_;
  std::unique_ptr<test::ModelStage> stage_;
  std::string why_;
};

// No rename flags, no links, neither, and FAT: a copy gets its name, a new
// version moves the old one down, and no temporary name is left.
TEST_F(ModelStageRun, CopiesAreNamedWithoutRenameFlagsOrLinks) {
  StageCaps neither = With(&StageCaps::links, false);
  neither.renameFlags = false;
  const struct {
    const char* what;
    StageCaps caps;
  } kStages[] = {
      {"no rename flags", With(&StageCaps::renameFlags, false)},
      {"no links", With(&StageCaps::links, false)},
      {"neither", neither},
      {"harshest", StageCaps::Harshest()},
  };
  for (const auto& s : kStages) {
    SCOPED_TRACE(s.what);
    if (!Mount(s.caps)) GTEST_SKIP() << why_;
    Put("a.txt", "one");
    Put("sub/b.txt", "bee");
    Said said;
    test::ProgramRun run = Run(said);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    EXPECT_EQ(2u, said.copied.size());
    Put("a.txt", "two", kNoon + 10 * kSecond);
    run = Run(said);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub/b.txt"}), test::ListTree(Bk(1)));
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), test::ListTree(Bk(2)));
    EXPECT_EQ("two", test::ReadFile(Bk(1, "a.txt")));
    EXPECT_EQ("one", test::ReadFile(Bk(2, "a.txt")));
    EXPECT_EQ("bee", test::ReadFile(Bk(1, "sub/b.txt")));
    stage_.reset();
    fs::remove_all(Src());
  }
}

// With -A a stage-1 directory whose source is a file now moves down whole;
// where rename flags are refused, a link cannot move a directory (NFS, 9p).
TEST_F(ModelStageRun, DirectoryMovesDownWithoutRenameFlags) {
  if (!Mount(With(&StageCaps::renameFlags, false))) GTEST_SKIP() << why_;
  // Not into the last stage, whose entries are replaced rather than moved on.
  const std::vector<std::string> args = {tmp_ / "src", Typed(1), Typed(2), Typed(3),
                                         test::Opt("A")};
  Put("d/x", "x");
  test::ProgramRun run = test::RunProgram(exe_, args);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  fs::remove_all(Src("d"));
  Put("d", "file");
  run = test::RunProgram(exe_, args);
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ((std::vector<std::string>{"d"}), test::ListTree(Bk(1)));
  EXPECT_EQ((std::vector<std::string>{"d/x"}), test::ListTree(Bk(2)));
}

// Two names of one file each become a copy of their own; fifos are passed
// over as sockets are; owners, set-id bits and extended attributes that the
// stage refuses leave the copies whole. Each is told once, and the run ends 0.
TEST_F(ModelStageRun, WhatTheStageCannotKeepIsToldOnceAndCostsNoData) {
  const struct {
    const char* what;
    StageCaps caps;
    // Makes the two source files (a.txt, sub/b.txt) carry what the stage
    // refuses; false where this machine cannot.
    bool (*give)(const std::string& a, const std::string& b, const std::string& src);
  } kCases[] = {
      {"links", With(&StageCaps::links, false),
       [](const std::string& a, const std::string& b, const std::string& src) {
         return ::link(a.c_str(), (src + "/a2.txt").c_str()) == 0 &&
                ::link(b.c_str(), (src + "/sub/b2.txt").c_str()) == 0;
       }},
      {"fifos", With(&StageCaps::mknod, false),
       [](const std::string&, const std::string&, const std::string& src) {
         return test::MakeFifo(src + "/p1") && test::MakeFifo(src + "/sub/p2");
       }},
      {"owners", With(&StageCaps::owners, false),
       [](const std::string& a, const std::string& b, const std::string&) {
         return test::IsSuperUser() && ::chown(a.c_str(), 65534, 65534) == 0 &&
                ::chown(b.c_str(), 65534, 65534) == 0;
       }},
      {"set-id bits", With(&StageCaps::modes, false),
       [](const std::string& a, const std::string& b, const std::string&) {
         return ::chmod(a.c_str(), 02755) == 0 && ::chmod(b.c_str(), 04755) == 0;
       }},
      {"extended attributes", With(&StageCaps::xattrs, false),
       [](const std::string& a, const std::string& b, const std::string&) {
         return ::setxattr(a.c_str(), "user.k", "1", 1, 0) == 0 &&
                ::setxattr(b.c_str(), "user.k", "2", 1, 0) == 0;
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    if (!Mount(c.caps)) GTEST_SKIP() << why_;
    Put("a.txt", "aaa", kNoon + 3);
    Put("sub/b.txt", "bb", kNoon + 5);
    if (!c.give(Src("a.txt"), Src("sub/b.txt"), tmp_ / "src")) {
      std::printf("%s: not on this machine\n", c.what);
    } else {
      Said said;
      const test::ProgramRun run = Run(said);
      EXPECT_EQ(0, run.exitCode) << run.stderrText;
      EXPECT_TRUE(said.failed.empty()) << said.failed[0];
      ExpectToldOnceForStage1(said);
      EXPECT_EQ("aaa", test::ReadFile(Bk(1, "a.txt")));
      EXPECT_EQ("bb", test::ReadFile(Bk(1, "sub/b.txt")));
      EXPECT_EQ(test::LocalMTime(Src("a.txt")), test::LocalMTime(Bk(1, "a.txt")));
      struct stat a, a2;
      if (::stat(Bk(1, "a2.txt").c_str(), &a2) == 0 && ::stat(Bk(1, "a.txt").c_str(), &a) == 0) {
        EXPECT_NE(a.st_ino, a2.st_ino) << "two names, one file, on a stage without links";
        EXPECT_EQ("aaa", test::ReadFile(Bk(1, "a2.txt")));
      }
      EXPECT_FALSE(fs::exists(fs::symlink_status(Bk(1, "p1"))));
    }
    stage_.reset();
    fs::remove_all(Src());
  }
}

// A symbolic link that the stage cannot hold is data not kept: failed.
TEST_F(ModelStageRun, SymbolicLinkTheStageRefusesFails) {
  if (!Mount(With(&StageCaps::symlinks, false))) GTEST_SKIP() << why_;
  Put("a.txt", "aaa");
  fs::create_symlink("a.txt", Src("l"));
  Said said;
  const test::ProgramRun run = Run(said);
  EXPECT_EQ(2, run.exitCode) << run.stderrText;
  ASSERT_EQ(1u, said.failed.size());
  EXPECT_TRUE(Starts(said.failed[0], ("failed  " + Src("l")).c_str()) ||
              Starts(said.failed[0], ("failed  " + Typed(1) + "/l").c_str()))
      << said.failed[0];
  EXPECT_EQ((std::vector<std::string>{"a.txt"}), test::ListTree(Bk(1)));
}

// A.txt and a.txt on a stage that folds case: one of them has the copy,
// the other is told failed, run after run, and neither replaces the other's
// copy nor moves it down.
TEST_F(ModelStageRun, NamesThatDifferOnlyInCaseNeverShareACopy) {
  if (!Mount(With(&StageCaps::foldsCase, true))) GTEST_SKIP() << why_;
  Put("A.txt", "upper");
  Put("a.txt", "lower case");
  Put("sub/f.txt", "f");
  std::string kept, held;
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    Said said;
    const test::ProgramRun result = Run(said);
    EXPECT_EQ(2, result.exitCode) << result.stderrText;
    EXPECT_EQ(1u, said.failed.size()) << result.stderrText;
    const std::string failed = said.failed.empty() ? "" : said.failed[0];
    const bool upperFailed = Starts(failed, ("failed  " + Src("A.txt")).c_str());
    EXPECT_TRUE(upperFailed || Starts(failed, ("failed  " + Src("a.txt")).c_str())) << failed;
    EXPECT_NE(std::string::npos, failed.find('\t')) << "no reason: " << failed;
    const std::vector<std::string> names = test::ListTree(Bk(1));
    ASSERT_EQ(2u, names.size()) << ::testing::PrintToString(names);
    EXPECT_EQ(upperFailed ? "a.txt" : "A.txt", names[0]);
    EXPECT_EQ(upperFailed ? "lower case" : "upper", test::ReadFile(Bk(1, names[0])));
    if (run == 1) kept = names[0];
    EXPECT_EQ(kept, names[0]) << "the copies swapped";
    EXPECT_TRUE(test::ListTree(Bk(2)).empty()) << "a copy moved down for the other name";
  }
}

// A name whose case alone changed in the source is the same name on such a
// stage: nothing moves down, nothing is copied again, nothing fails.
TEST_F(ModelStageRun, ACaseRenameInTheSourceMovesNoGeneration) {
  if (!Mount(With(&StageCaps::foldsCase, true))) GTEST_SKIP() << why_;
  Put("Docs/Note.txt", "note");
  Said said;
  EXPECT_EQ(0, Run(said).exitCode);
  fs::rename(Src("Docs"), Src("docs"));
  fs::rename(Src("docs/Note.txt"), Src("docs/NOTE.txt"));
  const test::ProgramRun second = Run(said);
  EXPECT_EQ(0, second.exitCode) << second.stderrText;
  EXPECT_TRUE(said.copied.empty()) << said.copied[0];
  EXPECT_EQ("note", test::ReadFile(Bk(1, "docs/NOTE.txt")));
  EXPECT_TRUE(test::ListTree(Bk(2)).empty()) << ::testing::PrintToString(test::ListTree(Bk(2)));
}

// Times that the stage cuts to its clock: a second run copies nothing, and an
// edit later than the clock is still a change.
TEST_F(ModelStageRun, NothingChangedCopiesNothingAtTheStageClock) {
  for (const long long clock : {2 * kSecond, kSecond, kSecond / 100}) {
    SCOPED_TRACE(clock);
    if (!Mount(Clock(clock))) GTEST_SKIP() << why_;
    Put("odd.txt", "1", kNoon + kSecond + 999999999);
    Put("even.txt", "2", kNoon + 2 * kSecond + 5000000);
    Put("sub/ns.txt", "3", kNoon + 123456789);
    Said said;
    test::ProgramRun run = Run(said);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    EXPECT_EQ(3u, said.copied.size());
    run = Run(said);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    EXPECT_TRUE(said.copied.empty()) << said.copied[0];
    EXPECT_TRUE(test::ListTree(Bk(2)).empty());
    // Same size, later by more than the clock.
    Put("odd.txt", "9", kNoon + kSecond + 999999999 + clock + kSecond / 10);
    run = Run(said);
    EXPECT_EQ((std::vector<std::string>{"copied  " + Src("odd.txt")}), said.copied);
    EXPECT_EQ("9", test::ReadFile(Bk(1, "odd.txt")));
    EXPECT_EQ("1", test::ReadFile(Bk(2, "odd.txt")));
    stage_.reset();
    fs::remove_all(Src());
  }
}

// Names that FAT refuses are failed, each once; the rest is backed up, and
// nothing moves for them, run after run.
TEST_F(ModelStageRun, RefusedNameFailsAndNothingElseMoves) {
  if (!Mount(With(&StageCaps::refusesNames, true))) GTEST_SKIP() << why_;
  const std::vector<std::string> kRefused = {"co:lon", "ques?", "st*r",     "quo\"te", "lt<",
                                             "gt>",    "pi|pe", "back\\sl", "dot.",    "space "};
  Put("ok.txt", "ok");
  for (const std::string& name : kRefused) Put(name, name);
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    Said said;
    const test::ProgramRun result = Run(said);
    EXPECT_EQ(2, result.exitCode) << result.stderrText;
    EXPECT_EQ(kRefused.size(), said.failed.size()) << result.stderrText;
    for (const std::string& name : kRefused) {
      EXPECT_EQ(1, std::count_if(said.failed.begin(), said.failed.end(),
                                 [&](const std::string& l) {
                                   return l.find("/" + name + "\t") != std::string::npos;
                                 }))
          << name;
    }
    EXPECT_EQ((std::vector<std::string>{"ok.txt"}), test::ListTree(Bk(1)));
    EXPECT_TRUE(test::ListTree(Bk(2)).empty());
    EXPECT_TRUE(said.deleted.empty()) << said.deleted[0];
  }
}

}  // namespace
