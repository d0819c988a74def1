// Backup runs of the built program on real temporary trees: what lands in
// which stage, what the report says, and the runs that are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string d(1, platform::PathDelim);

class BackupRun : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }
  // A path as the program spells it in the report: as typed plus the separator.
  std::string Typed(const std::string& rel) const { return P(rel) + d; }

  void Put(const std::string& rel, const std::string& content, int day = 1, int hour = 12) {
    test::WriteFile(P(rel), content);
    test::SetLocalMTime(P(rel), 2020, 1, day, hour);
  }

  // Runs the program over the named trees with extra options; expects exit 0.
  void Run(std::initializer_list<const char*> dirs, std::vector<std::string> options = {}) {
    std::vector<std::string> args;
    for (const char* dir : dirs) args.push_back(P(dir));
    args.insert(args.end(), options.begin(), options.end());
    const test::ProgramRun run = test::RunProgram(exe_, args);
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }

  // The lines of report file n beside the program.
  std::vector<std::string> Report(int n) const {
    return test::CrLfLines(test::ReadFile(test::ReportPath(exe_, n)));
  }

  std::vector<std::string> Tree(const std::string& rel) const { return test::ListTree(P(rel)); }
  std::string Text(const std::string& rel) const { return test::ReadFile(P(rel)); }

  // Everything below a tree: every directory, and every file with its
  // contents and last-write time.
  std::vector<std::string> State(const std::string& rel) const {
    std::vector<std::string> state;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(P(rel), ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      const std::string path = it->path().string();
      const std::string name = fs::relative(it->path(), P(rel)).generic_string();
      if (it->is_directory()) {
        state.push_back(name + "/");
      } else {
        state.push_back(name + " " + test::ReadFile(path) + " " + test::LocalMTime(path));
      }
    }
    std::sort(state.begin(), state.end());
    return state;
  }

  test::TempDir tmp_;
  std::string exe_;
};

TEST_F(BackupRun, FirstRunCopiesNestedTreeAndEmptyDirectories) {
  Put("src/top.txt", "top", 1, 8);
  Put("src/a/b/c/deep.txt", "deep", 2, 9);
  Put("src/a/side.txt", "side");
  test::MakeDirs(P("src/empty/below"));
  Run({"src", "bk1", "bk2"});
  EXPECT_EQ((std::vector<std::string>{"a/b/c/deep.txt", "a/side.txt", "top.txt"}), Tree("bk1"));
  EXPECT_EQ("deep", Text("bk1/a/b/c/deep.txt"));
  EXPECT_EQ("2020-01-02 09:00:00", test::LocalMTime(P("bk1/a/b/c/deep.txt")));
  EXPECT_EQ("2020-01-01 08:00:00", test::LocalMTime(P("bk1/top.txt")));
  EXPECT_TRUE(test::IsDir(P("bk1/empty/below")));
  EXPECT_FALSE(test::IsDir(P("bk2")));
}

TEST_F(BackupRun, FourRunsKeepVersionsFourThreeTwoWithTheirTimes) {
  Put("src/still.txt", "same");
  for (int v = 1; v <= 4; ++v) {
    Put("src/doc/f.txt", std::string(static_cast<size_t>(v), 'v'), v + 1, 10 + v);
    Run({"src", "bk1", "bk2", "bk3"});
  }
  EXPECT_EQ("vvvv", Text("bk1/doc/f.txt"));
  EXPECT_EQ("vvv", Text("bk2/doc/f.txt"));
  EXPECT_EQ("vv", Text("bk3/doc/f.txt"));
  EXPECT_EQ("2020-01-05 14:00:00", test::LocalMTime(P("bk1/doc/f.txt")));
  EXPECT_EQ("2020-01-04 13:00:00", test::LocalMTime(P("bk2/doc/f.txt")));
  EXPECT_EQ("2020-01-03 12:00:00", test::LocalMTime(P("bk3/doc/f.txt")));
  // Version 1 is gone; an unchanged file has a single generation.
  EXPECT_EQ((std::vector<std::string>{"doc/f.txt", "still.txt"}), Tree("bk1"));
  EXPECT_EQ(std::vector<std::string>{"doc/f.txt"}, Tree("bk2"));
  EXPECT_EQ(std::vector<std::string>{"doc/f.txt"}, Tree("bk3"));
}

// Stage paths as a user types them, relative to the current directory:
// short names, nested ones, repeated separators, "." and "..".
TEST_F(BackupRun, StagesInEveryFormAreMadeAndRotated) {
  const std::string base = fs::path(tmp_.path()).filename().string();
  const struct {
    const char* stage1;
    std::string stage2;
  } kForms[] = {
      {"x", "y"},
      {"bk", "xy/z"},
      {"a/b/c", "k3//"},
      {"./d1", "e1/../e2"},
      {"f1//g1", "../" + base + "/h1"},
  };
  const fs::path home = fs::current_path();
  fs::current_path(tmp_.path());
  for (const auto& form : kForms) {
    SCOPED_TRACE(std::string(form.stage1) + " " + form.stage2);
    std::string one = form.stage1, two = form.stage2;
    std::replace(one.begin(), one.end(), '/', platform::PathDelim);
    std::replace(two.begin(), two.end(), '/', platform::PathDelim);
    for (int v = 1; v <= 2; ++v) {
      Put("src/sub/f.txt", "v" + std::to_string(v), v);
      const test::ProgramRun run = test::RunProgram(exe_, {"src", one, two});
      EXPECT_EQ(0, run.exitCode) << run.stderrText;
    }
    EXPECT_EQ("v2", Text(std::string(form.stage1) + "/sub/f.txt"));
    EXPECT_EQ("v1", Text(form.stage2 + "/sub/f.txt"));
  }
  fs::current_path(home);
}

TEST_F(BackupRun, ComparisonRule) {
  Put("src/same", "abc", 2);
  Put("bk1/same", "xyz", 2);
  Put("src/resized", "abcd", 2);
  Put("bk1/resized", "abc", 2);
  Put("src/older", "longer text", 2);
  Put("bk1/older", "new", 3);
  Put("src/kept", "abc", 2);
  Put("bk1/kept", "xyz", 3);
  test::WriteFile(P("src/step"), "s1");
  test::WriteFile(P("bk1/step"), "s2");
  test::SetLocalMTime(P("bk1/step"), 2020, 1, 2, 12, 0, 0);
  test::SetLocalMTime(P("src/step"), 2020, 1, 2, 12, 0, 1);
  // Same time and size, or stage 1 newer with the same size: left alone.
  // Another size: rotated, also when stage 1's copy is the newer one (a file
  // put back with an older time). The dry run tells the same.
  Run({"src", "bk1", "bk2"}, {test::Opt("T")});
  const std::vector<std::string> dry = Report(1);
  Run({"src", "bk1", "bk2"}, {test::Opt("M")});
  EXPECT_EQ(dry, Report(2));
  EXPECT_EQ("xyz", Text("bk1/same"));
  EXPECT_EQ("xyz", Text("bk1/kept"));
  EXPECT_EQ("abcd", Text("bk1/resized"));
  EXPECT_EQ("abc", Text("bk2/resized"));
  EXPECT_EQ("longer text", Text("bk1/older"));
  EXPECT_EQ("new", Text("bk2/older"));
  EXPECT_EQ("s2", Text("bk1/step"));
  EXPECT_EQ((std::vector<std::string>{"older", "resized"}), Tree("bk2"));
  std::vector<std::string> lines = Report(1);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"copied  " + Typed("src") + "older",
                                      "copied  " + Typed("src") + "resized"}),
            lines);
}

TEST_F(BackupRun, DeletedFileWithOneStageIsDeleted) {
  Put("src/keep", "k");
  Put("src/gone", "g");
  Run({"src", "bk1"});
  fs::remove(P("src/gone"));
  Run({"src", "bk1"}, {test::Opt("M")});
  EXPECT_EQ(std::vector<std::string>{"keep"}, Tree("bk1"));
  EXPECT_EQ(std::vector<std::string>{"deleted " + Typed("bk1") + "gone"}, Report(1));
}

TEST_F(BackupRun, DeletedFileWithThreeStagesMovesDown) {
  Put("src/keep", "k");
  Put("src/gone", "g1", 1);
  Run({"src", "bk1", "bk2", "bk3"});
  Put("src/gone", "g2", 2);
  Run({"src", "bk1", "bk2", "bk3"});
  fs::remove(P("src/gone"));
  Run({"src", "bk1", "bk2", "bk3"}, {test::Opt("m")});
  EXPECT_EQ(std::vector<std::string>{"deleted " + Typed("bk1") + "gone"}, Report(1));
  EXPECT_EQ(std::vector<std::string>{"keep"}, Tree("bk1"));
  EXPECT_EQ("g2", Text("bk2/gone"));
  EXPECT_EQ("g1", Text("bk3/gone"));
}

TEST_F(BackupRun, DeletedDirectoryMovesDownThenGoesDeepestFirst) {
  Put("src/keep", "k");
  Put("src/old/x/y/f1", "1");
  Put("src/old/f2", "2");
  Run({"src", "bk1", "bk2", "bk3"});
  fs::remove_all(P("src/old"));
  Run({"src", "bk1", "bk2", "bk3"}, {test::Opt("M")});
  const std::string old = Typed("bk1") + "old" + d;
  EXPECT_EQ((std::vector<std::string>{
                "deleted " + old + "x" + d + "y" + d + "f1",
                "deleted " + old + "f2",
                "deleted " + old + "x" + d + "y" + d,
                "deleted " + old + "x" + d,
                "deleted " + old,
            }),
            Report(1));
  EXPECT_EQ(std::vector<std::string>{"keep"}, Tree("bk1"));
  EXPECT_FALSE(test::IsDir(P("bk1/old")));
  EXPECT_EQ((std::vector<std::string>{"old/f2", "old/x/y/f1"}), Tree("bk2"));
}

TEST_F(BackupRun, KeepExtraLetsNothingLeaveStageOne) {
  Put("src/f", "v1", 1);
  Put("src/gone/g", "g");
  Run({"src", "bk1", "bk2"});
  fs::remove_all(P("src/gone"));
  Put("src/f", "v2", 2);
  test::MakeDirs(P("bk1/empty"));
  Run({"src", "bk1", "bk2"}, {test::Opt("A"), test::Opt("M")});
  EXPECT_EQ(std::vector<std::string>{"copied  " + Typed("src") + "f"}, Report(1));
  EXPECT_EQ((std::vector<std::string>{"f", "gone/g"}), Tree("bk1"));
  EXPECT_TRUE(test::IsDir(P("bk1/empty")));
  EXPECT_EQ("v2", Text("bk1/f"));
  EXPECT_EQ("v1", Text("bk2/f"));
}

TEST_F(BackupRun, DryRunChangesNothingAndReportsTheSameWalk) {
  Put("src/f", "v1", 1);
  Put("src/gone/deep/g", "g");
  Put("src/stays", "s");
  Run({"src", "bk1", "bk2", "bk3"});
  fs::remove_all(P("src/gone"));
  Put("src/f", "v2", 2);
  Put("src/new/n", "n");
  const auto before = std::vector<std::vector<std::string>>{State("src"), State("bk1")};

  Run({"src", "bk1", "bk2", "bk3"}, {test::Opt("T")});
  EXPECT_EQ(before, (std::vector<std::vector<std::string>>{State("src"), State("bk1")}));
  EXPECT_FALSE(test::IsDir(P("bk2")));
  EXPECT_FALSE(test::IsDir(P("bk3")));
  const auto dry = Report(1);

  Run({"src", "bk1", "bk2", "bk3"}, {test::Opt("M")});
  const auto real = Report(2);
  // The walk's lines are the same; only the real run empties directories.
  ASSERT_EQ(3u, dry.size());
  ASSERT_GE(real.size(), dry.size());
  EXPECT_EQ(dry, std::vector<std::string>(real.begin(), real.begin() + 3));
  EXPECT_EQ((std::vector<std::string>{"deleted " + Typed("bk1") + "gone" + d + "deep" + d,
                                      "deleted " + Typed("bk1") + "gone" + d}),
            std::vector<std::string>(real.begin() + 3, real.end()));
}

TEST_F(BackupRun, DotDirectoriesAreSkippedOnlyOnWindowsAndDotFilesBackedUp) {
  Put("src/.rc", "rc");
  Put("src/.git/HEAD", "h");
  Put("src/sub/.hidden", "x");
  Put("bk1/.trash/junk", "j");
  Run({"src", "bk1", "bk2"});
  if (platform::IsWalkedDirName(".git")) {
    // A leading dot only hides: a dot directory is backed up, and one that
    // the source lacks retires like any other.
    EXPECT_EQ((std::vector<std::string>{".git/HEAD", ".rc", "sub/.hidden"}), Tree("bk1"));
    EXPECT_EQ((std::vector<std::string>{".trash/junk"}), Tree("bk2"));
  } else {
    EXPECT_EQ((std::vector<std::string>{".rc", ".trash/junk", "sub/.hidden"}), Tree("bk1"));
  }
}

TEST_F(BackupRun, MissingSourceIsRefusedAndNothingChanges) {
  Put("bk1/f", "keep");
  const auto before = State("bk1");
  const test::ProgramRun run =
      test::RunProgram(exe_, {P("nosuch"), P("bk1"), P("bk2"), test::Opt("M")});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(before, State("bk1"));
  EXPECT_FALSE(test::IsDir(P("bk2")));
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 1)));
  if (platform::PathDelim == '/') {
    EXPECT_NE(std::string::npos,
              run.stderrText.find("元ディレクトリが見つかりません: " + Typed("nosuch")))
        << run.stderrText;
  }
}

TEST_F(BackupRun, StageThatIsTheSourceIsRefused) {
  Put("src/f", "1");
  Put("bk1/g", "2");
  const auto before = std::vector<std::vector<std::string>>{State("src"), State("bk1")};
  const std::string again = P("src") + d + ".";
  const test::ProgramRun run = test::RunProgram(exe_, {P("src"), P("bk1"), again});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(before, (std::vector<std::vector<std::string>>{State("src"), State("bk1")}));
  if (platform::PathDelim == '/') {
    EXPECT_NE(
        std::string::npos,
        run.stderrText.find("元ディレクトリとバックアップディレクトリが同じです: " + again + d))
        << run.stderrText;
  }
}

TEST_F(BackupRun, StageInsideTheSourceIsNotCopiedIntoItself) {
  Put("src/f", "1");
  Put("src/sub/g", "2");
  for (int run = 0; run < 2; ++run) Run({"src", "src/bk"});
  Put("src/f", "changed", 3);
  Run({"src", "src/bk"});
  EXPECT_EQ((std::vector<std::string>{"f", "sub/g"}), Tree("src/bk"));
  EXPECT_EQ("changed", Text("src/bk/f"));
}

}  // namespace
