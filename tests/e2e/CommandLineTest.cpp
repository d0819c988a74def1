// The built program on odd command lines: nothing to do, very long words,
// double-byte characters cut in half.
#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using test::Opt;
using Words = std::vector<std::string>;

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = test::InstallProgram(tmp / "bin");
    name = exe.substr(exe.rfind(platform::PathDelim) + 1);
    test::WriteFile(tmp / "src/a.txt", "a");
    test::WriteFile(tmp / "src/sub/b.txt", "b");
  }

  // Everything below the temporary folder except the program itself.
  Words Tree() {
    Words files = test::ListTree(tmp.path());
    std::erase(files, "bin/" + name);
    return files;
  }

  test::TempDir tmp;
  std::string exe, name;
  const Words sourceOnly{"src/a.txt", "src/sub/b.txt"};
};

TEST_F(CommandLineTest, NoArgumentDoesNothing) {
  EXPECT_EQ(0, test::RunProgram(exe, {}).exitCode);
  EXPECT_EQ(sourceOnly, Tree());
  EXPECT_TRUE(test::OpenedFiles(exe, 0).empty());
}

TEST_F(CommandLineTest, SingleDirectoryDoesNothing) {
  for (const Words& args : {Words{tmp / "src"}, Words{tmp / "src", Opt("M"), Opt("T"), Opt("A")}}) {
    const test::ProgramRun run = test::RunProgram(exe, args);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    EXPECT_EQ("", run.stderrText);
    EXPECT_EQ(sourceOnly, Tree());
  }
  EXPECT_TRUE(test::OpenedFiles(exe, 0).empty());
}

TEST_F(CommandLineTest, OptionsAloneDoNothing) {
  const test::ProgramRun run =
      test::RunProgram(exe, {Opt("X"), Opt("Nfoo;bar"), Opt("D99-01-01"), Opt("M")});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ(sourceOnly, Tree());
}

TEST_F(CommandLineTest, TwoDirectoriesRunTheBackup) {
  // The counterpart of the cases above: the same program does copy.
  const test::ProgramRun run = test::RunProgram(exe, {tmp / "src", tmp / "bk1"});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "bk1/a.txt"));
  EXPECT_EQ("b", test::ReadFile(tmp / "bk1/sub/b.txt"));
}

TEST_F(CommandLineTest, DirectoriesWithBlanksAndAFinalSeparator) {
  // On Windows this is "...\My Docs\" "...\bk 1\": the backslash before the
  // closing quote is an ordinary byte, so these are two words.
  const std::string d(1, platform::PathDelim);
  test::WriteFile(tmp / "My Docs/a.txt", "a");
  const test::ProgramRun run = test::RunProgram(exe, {tmp / "My Docs" + d, tmp / "bk 1" + d});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "bk 1/a.txt"));
}

// A run that ends normally, stops with an error of its own or tells what it
// could not do: not a crash.
bool EndedInOrder(const test::ProgramRun& run) { return run.exitCode >= 0 && run.exitCode <= 2; }

TEST_F(CommandLineTest, VeryLongWordsDoNotCrash) {
  // Far beyond any path length the file system takes; a Windows command line
  // holds 32767 characters in all.
  const std::string longDir = tmp / std::string(12000, 'd');
  const std::string longMask = Opt("N") + std::string(6000, 'a');
  for (const Words& args : {Words{longDir, tmp / "bk1", Opt("M")},
                            Words{tmp / "src", longDir, Opt("E") + std::string(9000, 'x')}}) {
    const test::ProgramRun run = test::RunProgram(exe, args);
    EXPECT_TRUE(EndedInOrder(run)) << run.exitCode << run.stderrText;
  }
  const test::ProgramRun masked = test::RunProgram(
      exe, {tmp / "src", tmp / "bk1", longMask, Opt("D") + std::string(9000, '9')});
  EXPECT_EQ(0, masked.exitCode) << masked.stderrText;
  EXPECT_FALSE(test::IsFile(tmp / "bk1/a.txt"));  // no name is that long
}

TEST_F(CommandLineTest, LoneLeadBytesDoNotCrash) {
  // 0x95 and 0x81 begin double-byte characters in code page 932; here the
  // second byte is missing, or is the separator that the program appends.
  // Where the program's separator completes such a character, the stage's
  // name runs on into the file names; what lands there differs by platform.
  const test::ProgramRun dates = test::RunProgram(
      exe, {tmp / "src", tmp / "bk\x95", tmp / "bk2\x81", Opt("D\x95"), Opt("D06\x81")});
  EXPECT_EQ(0, dates.exitCode) << dates.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "src/a.txt"));
  EXPECT_EQ("b", test::ReadFile(tmp / "src/sub/b.txt"));

  // A mask cut in half may be refused, as an invalid mask is, but not crash.
  const test::ProgramRun masks =
      test::RunProgram(exe, {tmp / "src", tmp / "bk1", Opt("N*\x95"), Opt("E\x81")});
  EXPECT_TRUE(EndedInOrder(masks)) << masks.exitCode;
}

TEST_F(CommandLineTest, TenThousandMaskItemsInOneOption) {
  std::string items;
  for (int i = 0; i < 9999; ++i) items += "x;";
  const test::ProgramRun run =
      test::RunProgram(exe, {tmp / "src", tmp / "bk1", Opt("N") + items + "a.txt"});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "bk1/a.txt"));  // the last item
  EXPECT_FALSE(test::IsFile(tmp / "bk1/sub/b.txt"));
}

TEST_F(CommandLineTest, HundredThousandByteArguments) {
  // A Windows command line holds 32767 characters in all; there each word
  // is as long as still fits.
  const size_t n = platform::PathDelim == '\\' ? 30000 : 100000;
  // A run of stars counts as one: only a.txt fits.
  const std::string mask = Opt("N") + std::string(n - 7, '*') + "a.txt";
  ASSERT_EQ(n, mask.size());
  test::ProgramRun run = test::RunProgram(exe, {tmp / "src", tmp / "bk1", mask});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "bk1/a.txt"));
  EXPECT_FALSE(test::IsFile(tmp / "bk1/sub/b.txt"));

  // Leading zeros do no harm: the single day 2006-04-01.
  test::SetLocalMTime(tmp / "src/a.txt", 2006, 4, 1);
  const std::string date = Opt("D") + std::string(n - 10, '0') + "2006-4-1";
  ASSERT_EQ(n, date.size());
  run = test::RunProgram(exe, {tmp / "src", tmp / "bk2", date});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "bk2/a.txt"));
  EXPECT_FALSE(test::IsFile(tmp / "bk2/sub/b.txt"));

  // A stage no file system takes: refused or skipped, never a crash, and the
  // source stays as it was.
  const std::string stage = tmp / std::string(n - tmp.path().size() - 1, 'd');
  ASSERT_EQ(n, stage.size());
  run = test::RunProgram(exe, {tmp / "src", tmp / "bk3", stage, Opt("M")});
  EXPECT_TRUE(EndedInOrder(run)) << run.exitCode << run.stderrText;
  EXPECT_EQ("a", test::ReadFile(tmp / "src/a.txt"));
  EXPECT_EQ("b", test::ReadFile(tmp / "src/sub/b.txt"));
}

}  // namespace
