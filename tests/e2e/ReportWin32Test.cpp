// Report files take the executable's on-disk spelling however it was started;
// what a run could not do is told there.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "Characters.h"
#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = UpperAscii(c);
  return s;
}

class ReportSpelling : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = test::InstallProgram(tmp / "Long Program Folder");
    test::WriteFile(tmp / "src/a.txt", "a");
  }
  void RunAs(const std::string& path) {
    const test::ProgramRun run = test::RunProgram(path, {tmp / "src", tmp / "bk1", test::Opt("M")});
    EXPECT_EQ(0, run.exitCode);
  }
  test::TempDir tmp;
  std::string exe;
};

TEST_F(ReportSpelling, StartedByItsShortPath) {
  const std::string alias = test::ShortPath(exe);
  ASSERT_FALSE(alias.empty());
  if (alias == exe) GTEST_SKIP() << "no short names on this volume";
  RunAs(alias);
  const std::string report = tmp / "Long Program Folder/KovrelTemp1.txt";
  EXPECT_TRUE(test::IsFile(report));
  EXPECT_EQ(std::vector<std::string>{report}, test::OpenedFiles(alias, 1));
}

TEST_F(ReportSpelling, StartedInOtherLetterCase) {
  const std::string typed = Upper(exe);
  RunAs(typed);
  const std::string report = tmp / "Long Program Folder/KovrelTemp1.txt";
  EXPECT_EQ(std::vector<std::string>{report}, test::OpenedFiles(typed, 1));
}

TEST_F(ReportSpelling, CopyThatCannotBeMadeIsToldAfterItsDecision) {
  // Another program holds the file open and shares it with nobody.
  const std::string locked = tmp / "src/locked.txt";
  test::WriteFile(locked, "l");
  const HANDLE holder =
      ::CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  const test::ProgramRun run = test::RunProgram(exe, {tmp / "src", tmp / "bk1", test::Opt("M")});
  ::CloseHandle(holder);
  EXPECT_EQ(2, run.exitCode);
  const std::vector<std::string> lines =
      test::CrLfLines(test::ReadFile(tmp / "Long Program Folder/KovrelTemp1.txt"));
  const auto copied = std::find(lines.begin(), lines.end(), "copied  " + locked);
  ASSERT_NE(lines.end(), copied);
  ASSERT_NE(lines.end(), copied + 1);
  const std::string failed = "failed  " + locked + "\t";
  EXPECT_EQ(0u, (copied + 1)->rfind(failed, 0)) << *(copied + 1);
  EXPECT_GT((copied + 1)->size(), failed.size()) << "no reason given";
  EXPECT_FALSE(test::IsFile(tmp / "bk1/locked.txt"));
  EXPECT_EQ("a", test::ReadFile(tmp / "bk1/a.txt"));
}

}  // namespace
