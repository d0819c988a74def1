// The program's own splitting of the raw Windows command line, end to end:
// quotes toggle wherever they stand and are removed, backslash is ordinary.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

class CommandLineWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = test::InstallProgram(tmp / "bin");
    test::WriteFile(tmp / "src/a.txt", "a");
  }

  test::TempDir tmp;
  std::string exe;
};

// RunProgram hands a word holding a double quote over as raw command-line text.
TEST_F(CommandLineWin32Test, QuotedStretchesInsideWordsAreJoined) {
  const std::string src = tmp / "src";
  const std::string bk = tmp / "b k";
  const size_t cut = bk.size() - 2;  // inside "b k"
  const test::ProgramRun run = test::RunProgram(
      exe, {"\"\"" + src, bk.substr(0, cut) + "\"" + bk.substr(cut) + "\"", "\"\"", "/\"M\""});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ("a", test::ReadFile(tmp / "b k/a.txt"));
  EXPECT_EQ(1u, test::OpenedFiles(exe, 1).size());  // "/"M"" is /M
}

TEST_F(CommandLineWin32Test, BackslashesBeforeQuotesStayAsTheyAre) {
  // The C runtime would read \" as a quote and \\ as one backslash.
  const std::string run1 = "\"" + tmp / "src" + "\\\\\"";
  const test::ProgramRun run =
      test::RunProgram(exe, {run1, "\"" + tmp / "bk" + "\\\"", "\"" + tmp / "bk2\""});
  EXPECT_EQ(0, run.exitCode);
  // "...\src\\" names src; "...\bk\" is stage 1.
  EXPECT_EQ("a", test::ReadFile(tmp / "bk/a.txt"));
}

}  // namespace
