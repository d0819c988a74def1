// Backup runs of the built program, for what only the program shows; the
// engine's own cases are in tests/BackupTest.cpp. Held here: stage
// directories typed on the command line in every form, relative ones
// included, and refused runs: the exit status, the message of the process,
// and no report file beside the program.
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
  // A path as the program spells it in its messages: as typed plus the separator.
  std::string Typed(const std::string& rel) const { return P(rel) + d; }

  void Put(const std::string& rel, const std::string& content, int day = 1, int hour = 12) {
    test::WriteFile(P(rel), content);
    test::SetLocalMTime(P(rel), 2020, 1, day, hour);
  }

  std::string Text(const std::string& rel) const { return test::ReadFile(P(rel)); }

  test::TempDir tmp_;
  std::string exe_;
};

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

TEST_F(BackupRun, MissingSourceIsRefusedWithExitOneAndNoReport) {
  Put("bk1/f", "keep");
  const test::ProgramRun run =
      test::RunProgram(exe_, {P("nosuch"), P("bk1"), P("bk2"), test::Opt("M")});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 1)));
  if (platform::PathDelim == '/') {
    EXPECT_NE(std::string::npos,
              run.stderrText.find("元ディレクトリが見つかりません: " + Typed("nosuch")))
        << run.stderrText;
  }
}

// The stage is typed without its separator; the message shows the one the
// program gave it.
TEST_F(BackupRun, StageThatIsTheSourceIsRefusedWithExitOne) {
  Put("src/f", "1");
  Put("bk1/g", "2");
  const std::string again = P("src") + d + ".";
  const test::ProgramRun run = test::RunProgram(exe_, {P("src"), P("bk1"), again});
  EXPECT_EQ(1, run.exitCode);
  if (platform::PathDelim == '/') {
    EXPECT_NE(
        std::string::npos,
        run.stderrText.find("元ディレクトリとバックアップディレクトリが同じです: " + again + d))
        << run.stderrText;
  }
}

// One directory typed as two stages, as a user types it (the engine's test
// holds the spellings of stages that exist and that do not).
TEST_F(BackupRun, StageNamedTwiceIsRefusedWithExitOneAndNoReport) {
  Put("src/f", "1");
  const std::string again = d == "\\" ? "B1" : "./b1";
  const fs::path home = fs::current_path();
  fs::current_path(tmp_.path());
  const test::ProgramRun run = test::RunProgram(exe_, {"src", "b1", again, test::Opt("M")});
  fs::current_path(home);
  EXPECT_EQ(1, run.exitCode);
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 1)));
  EXPECT_FALSE(test::IsDir(P("b1")));
  if (platform::PathDelim == '/') {
    EXPECT_NE(std::string::npos,
              run.stderrText.find("同じバックアップディレクトリが二度指定されています: ./b1/"))
        << run.stderrText;
  }
}

}  // namespace
