// The report of a run, end to end: the numbered file beside the executable,
// its bytes, the viewer, and the clean-up of earlier report files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using test::Join;

const std::string d(1, platform::PathDelim);

// Splits saved text at CR LF; false when a line end is anything else.
bool SplitCrLf(const std::string& text, std::vector<std::string>& lines) {
  lines.clear();
  size_t start = 0;
  for (size_t p = 0; p < text.size(); ++p) {
    if (text[p] == '\n') return false;
    if (text[p] != '\r') continue;
    if (p + 1 >= text.size() || text[p + 1] != '\n') return false;
    lines.push_back(text.substr(start, p - start));
    start = ++p + 1;
  }
  return start == text.size();
}

// Returns just after the clock has turned to an odd second, so that a time
// set now minus an odd number of seconds lands on an even second and loses
// nothing to the two-second steps of last-write times.
void WaitForOddSecond() {
  for (int turns = 0; turns < 2; ++turns) {
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (std::time(nullptr) % 2 != 0) return;
  }
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Install("");
    test::WriteFile(tmp / "src/a.txt", "a");
  }

  // Installs the program in bin under `name` (its own name when empty).
  void Install(const std::string& name) {
    exe = test::InstallProgram(tmp / "bin", name);
    dir = exe.substr(0, exe.rfind(platform::PathDelim) + 1);
    const std::string file = exe.substr(dir.size());
    base = file.substr(0, file.rfind('.') == std::string::npos ? file.size() : file.rfind('.'));
  }

  // A run with the report flag over src and bk1.
  test::ProgramRun Run() {
    return test::RunProgram(exe, {tmp / "src", tmp / "bk1", test::Opt("M")});
  }

  // The report file of number `n` (any text) beside the executable.
  std::string Report(const std::string& n) { return dir + base + "Temp" + n + ".txt"; }

  // Writes a file beside the executable, last written `age` seconds ago
  // (negative: in the future).
  std::string Aged(const std::string& name, long long age) {
    const std::string path = dir + name;
    test::WriteFile(path, "old");
    test::SetMTimeFromNow(path, -age);
    return path;
  }

  std::string ExpectedLine(const std::string& name) { return "copied  " + Join(tmp / "src", name); }

  test::TempDir tmp;
  std::string exe, dir, base;
};

TEST_F(ReportTest, FirstReportIsNumberOneWithCrLfAfterEveryLine) {
  test::WriteFile(tmp / "src/b.txt", "b");
  test::WriteFile(tmp / "src/c.txt", "c");
  const test::ProgramRun run = Run();
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  ASSERT_TRUE(test::IsFile(Report("1")));
  const std::string text = test::ReadFile(Report("1"));
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitCrLf(text, lines)) << text;
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{ExpectedLine("a.txt"), ExpectedLine("b.txt"),
                                      ExpectedLine("c.txt")}),
            lines);
  // Nothing but the lines and their line ends: no byte-order mark.
  EXPECT_EQ(3 * (ExpectedLine("a.txt").size() + 2), text.size());
  EXPECT_FALSE(test::IsFile(Report("2")));
  EXPECT_EQ(std::vector<std::string>{Report("1")}, test::OpenedFiles(exe, 1));
}

TEST_F(ReportTest, SecondRunTakesTheNextNumberAndSavesOnlyItsOwnLines) {
  Run();
  ASSERT_EQ(std::vector<std::string>{Report("1")}, test::OpenedFiles(exe, 1));
  test::WriteFile(tmp / "src/b.txt", "b");
  Run();
  EXPECT_EQ(ExpectedLine("b.txt") + "\r\n", test::ReadFile(Report("2")));
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("1")));
  EXPECT_EQ((std::vector<std::string>{Report("1"), Report("2")}), test::OpenedFiles(exe, 2));
}

TEST_F(ReportTest, GapInTheNumbersIsFilledFirst) {
  Aged(base + "Temp1.txt", 60);
  Aged(base + "Temp3.txt", 60);
  Run();
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("2")));
  EXPECT_EQ("old", test::ReadFile(Report("3")));
}

TEST_F(ReportTest, NumbersGrowPastNineInPlainDecimal) {
  for (int n = 1; n <= 9; ++n) Aged(base + "Temp" + std::to_string(n) + ".txt", 60);
  Run();
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("10")));
  EXPECT_FALSE(test::IsFile(Report("010")));
  EXPECT_EQ(std::vector<std::string>{Report("10")}, test::OpenedFiles(exe, 1));
}

TEST_F(ReportTest, OldReportGoesAndItsNumberIsTakenAgain) {
  Aged(base + "Temp1.txt", 3 * 60);
  Aged(base + "Temp2.txt", 25 * 60);
  Run();
  EXPECT_EQ("old", test::ReadFile(Report("1")));
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("2")));
  EXPECT_FALSE(test::IsFile(Report("3")));
}

TEST_F(ReportTest, AgeIsCountedInWholeMinutes) {
  WaitForOddSecond();
  Aged(base + "Temp1.txt", 9 * 60 + 59);
  Aged(base + "Temp2.txt", 10 * 60 + 2);
  Run();
  EXPECT_EQ("old", test::ReadFile(Report("1")));
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("2")));
}

TEST_F(ReportTest, TimeInTheFutureCountsAsAgeToo) {
  Aged(base + "Temp1.txt", -15 * 60);
  Aged(base + "Temp2.txt", -5 * 60);
  Run();
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("1")));
  EXPECT_EQ("old", test::ReadFile(Report("2")));
}

TEST_F(ReportTest, CleanUpTakesEveryNameOfThePatternAndNothingElse) {
  const std::vector<std::string> gone = {base + "TempOld.txt", base + "Temp.txt",
                                         base + "TEMP7.TXT"};
  const std::vector<std::string> kept = {base + "Temp1.log", base + ".txt", "Temp1.txt",
                                         base + "Temp1.txt.bak", "x" + base + "Temp1.txt"};
  for (const std::string& name : gone) Aged(name, 60 * 60);
  for (const std::string& name : kept) Aged(name, 60 * 60);
  Aged(base + "TempYoung.txt", 60);
  Run();
  for (const std::string& name : gone) EXPECT_FALSE(test::IsFile(dir + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(test::IsFile(dir + name)) << name;
  // Other names with the prefix never block a number.
  EXPECT_TRUE(test::IsFile(dir + base + "TempYoung.txt"));
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("1")));
}

TEST_F(ReportTest, OldDirectoryOfThePatternStays) {
  test::MakeDirs(Report("Dir"));
  Run();
  EXPECT_TRUE(test::IsDir(Report("Dir")));
}

TEST_F(ReportTest, EmptyReportWritesAndOpensNothingButStillClears) {
  // Stage 1 holds the same file already: nothing to copy, nothing stale.
  test::WriteFile(tmp / "bk1/a.txt", "a");
  test::SetLocalMTime(tmp / "src/a.txt", 2020, 1, 2);
  test::SetLocalMTime(tmp / "bk1/a.txt", 2020, 1, 2);
  Aged(base + "Temp1.txt", 25 * 60);
  Aged(base + "Temp2.txt", 60);
  const test::ProgramRun run = Run();
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_FALSE(test::IsFile(Report("1")));
  EXPECT_EQ("old", test::ReadFile(Report("2")));
  EXPECT_FALSE(test::IsFile(Report("3")));
  EXPECT_TRUE(test::OpenedFiles(exe, 0).empty());
}

TEST_F(ReportTest, DirectoryBearingTheNameStopsTheRun) {
  test::MakeDirs(Report("1"));
  Aged(base + "Temp2.txt", 25 * 60);
  const test::ProgramRun run = Run();
  EXPECT_EQ(1, run.exitCode);
  EXPECT_TRUE(test::IsDir(Report("1")));
  // The clean-up ran before the save failed, and the number was not skipped.
  EXPECT_FALSE(test::IsFile(Report("2")));
  if (platform::PathDelim == '/') {
    const std::string message = "ファイル " + Report("1") + " を作成できません";
    EXPECT_NE(std::string::npos, run.stderrText.find(message)) << run.stderrText;
    EXPECT_NE(std::string::npos, run.stderrText.find("EFCreateError")) << run.stderrText;
  }
  EXPECT_TRUE(test::OpenedFiles(exe, 0).empty());
}

// A report is a file of its own, never written through a link: a name that
// a dangling link holds is passed by for the next, and the clean-up deletes
// a link itself, never the old file it leads to.
TEST_F(ReportTest, LinksNamedLikeReportsLeadNowhere) {
  namespace fs = std::filesystem;
  const std::string planted = tmp / "outside/planted.txt";
  const std::string old = tmp / "outside/old.txt";
  test::WriteFile(old, "keep");
  test::SetMTimeFromNow(old, -3600);
  std::error_code ec;
  fs::create_symlink(planted, Report("1"), ec);
  if (!ec) fs::create_symlink(old, Report("3"), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const test::ProgramRun run = Run();
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_FALSE(fs::exists(fs::symlink_status(planted)));
  EXPECT_TRUE(fs::is_symlink(Report("1")));
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(Report("2")));
  EXPECT_EQ("keep", test::ReadFile(old));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Report("3"))));
  EXPECT_EQ(std::vector<std::string>{Report("2")}, test::OpenedFiles(exe, 1));
}

TEST_F(ReportTest, ReadOnlyOldReportThatCannotGoIsPassedBy) {
  const std::string old = Aged(base + "Temp1.txt", 25 * 60);
  std::filesystem::permissions(old,
                               std::filesystem::perms::owner_write |
                                   std::filesystem::perms::group_write |
                                   std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  const test::ProgramRun run = Run();
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  // Whether a read-only file can be deleted is the platform's matter; the
  // number follows what is left.
  const bool stayed = test::ReadFile(old) == "old";
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(stayed ? Report("2") : Report("1")));
}

TEST_F(ReportTest, RenamedProgramUsesItsOwnName) {
  const std::string ext = exe.substr(dir.size() + base.size());
  const std::string theirs = Aged(base + "Temp1.txt", 25 * 60);
  Install("other" + ext);
  ASSERT_EQ("other", base);
  Run();
  EXPECT_EQ(ExpectedLine("a.txt") + "\r\n", test::ReadFile(dir + "otherTemp1.txt"));
  EXPECT_TRUE(test::IsFile(theirs));
  EXPECT_EQ(std::vector<std::string>{dir + "otherTemp1.txt"}, test::OpenedFiles(exe, 1));
}

TEST(ReportPlace, ProgramBelowAHiddenDirectoryReportsBesideItself) {
  test::TempDir tmp;
  const std::string exe = test::InstallProgram(tmp / ".hidden/bin");
  const std::string dir = exe.substr(0, exe.rfind(platform::PathDelim) + 1);
  std::string base = exe.substr(dir.size());
  base = base.substr(0, base.rfind('.') == std::string::npos ? base.size() : base.rfind('.'));
  // Files of nobody's report in the ancestor that a stopped spelling names.
  test::WriteFile(tmp / "Temp1.txt", "x");
  test::SetMTimeFromNow(tmp / "Temp1.txt", -3600);
  test::WriteFile(tmp / "src/a.txt", "a");
  test::RunProgram(exe, {tmp / "src", tmp / "bk1", test::Opt("M")});
  EXPECT_TRUE(test::IsFile(dir + base + "Temp1.txt"));
  EXPECT_TRUE(test::IsFile(tmp / "Temp1.txt"));
  EXPECT_EQ(std::vector<std::string>{dir + base + "Temp1.txt"}, test::OpenedFiles(exe, 1));
}

}  // namespace
