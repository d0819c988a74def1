// Report files take the executable's on-disk spelling however it was started.
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"
#include "Characters.h"

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

}  // namespace
