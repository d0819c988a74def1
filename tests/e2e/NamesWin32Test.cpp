// Every file name and every path length, end to end under code page 932:
// names that the code page lacks, names that Win32 path rules alter, short
// names, a path past MAX_PATH, the report's encoding, and masks and dates
// that keep their meaning in the code page.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Platform.h"
#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

namespace {

using Files = std::vector<std::string>;

const Files kNames = {"plain.txt", "表.txt",    "é.txt",         "한국.txt",
                      "😀.txt",     "—dash.txt", "naïve café.mp3"};

// Names that NTFS holds and Win32 path rules alter: a trailing dot or space
// would be dropped, CON, NUL and aux.txt taken for devices.
const Files kStoredNames = {"dirdot./in.txt", "dirsp /in.txt", "CON/in.txt", "trail.",
                            "trail ",         "NUL",           "aux.txt"};

class Names : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  void Put(const std::string& rel, const std::string& content, int day = 1) {
    test::WriteFile(P(rel), content);
    test::SetLocalMTime(P(rel), 2020, 1, day);
  }

  void Run(const std::vector<std::string>& dirs, const std::vector<std::string>& options = {},
           int exitCode = 0) {
    std::vector<std::string> args;
    for (const std::string& dir : dirs) args.push_back(P(dir));
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(exitCode, test::RunProgram(exe_, args).exitCode);
  }

  std::string Report(int n) const { return test::ReadFile(test::ReportPath(exe_, n)); }

  test::TempDir tmp_;
  std::string exe_;
};

TEST_F(Names, EveryNameIsBackedUpRotatedAndReportedAsItIs) {
  Files tree, copied;
  for (const std::string dir : {"", "über ordner/"}) {
    for (const std::string& name : kNames) {
      Put("src/" + dir + name, dir + name + " 1");
      tree.push_back(dir + name);
      copied.push_back("copied  " + test::Join(P("src"), dir + name));
    }
  }
  std::sort(tree.begin(), tree.end());
  std::sort(copied.begin(), copied.end());
  // Stages named on the command line with characters of both kinds.
  const Files stages = {"src", "表 1", "é 2"};
  Run(stages, {"/M"});
  EXPECT_EQ(tree, test::ListTree(P("表 1")));
  for (const std::string& rel : tree) EXPECT_EQ(rel + " 1", test::ReadFile(P("表 1/" + rel)));
  // Names that code page 932 lacks: UTF-8 after a byte-order mark.
  const std::string report = Report(1);
  ASSERT_EQ("\xEF\xBB\xBF", report.substr(0, 3));
  Files lines = test::CrLfLines(report.substr(3));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(copied, lines);

  for (const std::string& rel : tree) Put("src/" + rel, rel + " 2", 2);
  Run(stages);
  for (const std::string& rel : tree) {
    EXPECT_EQ(rel + " 2", test::ReadFile(P("表 1/" + rel)));
    EXPECT_EQ(rel + " 1", test::ReadFile(P("é 2/" + rel)));
  }
  // Nothing to do: no report is written.
  Run(stages, {"/M"});
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 2)));
  EXPECT_EQ(tree, test::ListTree(P("é 2")));
}

TEST_F(Names, NamesThatWin32RulesAlterAreBackedUpAsStored) {
  const auto put = [&](const std::string& rel, int version) {
    test::WriteStored(P("src/" + rel), rel + " " + std::to_string(version));
    test::SetLocalMTime(test::AsStored(P("src/" + rel)), 2020, 1, version);
  };
  for (const std::string& rel : kStoredNames) put(rel, 1);
  Files tree = kStoredNames;
  std::sort(tree.begin(), tree.end());
  const Files stages = {"src", "b1", "b2"};
  Run(stages, {"/M"});
  EXPECT_EQ(tree, test::ListStoredTree(P("b1")));
  for (const std::string& rel : tree) EXPECT_EQ(rel + " 1", test::ReadStored(P("b1/" + rel)));
  // Nothing changed: nothing is made, moved or removed, so no report.
  Run(stages, {"/M"});
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 2)));
  EXPECT_EQ(Files{}, test::ListStoredTree(P("b2")));
  for (const std::string& rel : tree) put(rel, 2);
  Run(stages);
  for (const std::string& rel : tree) {
    EXPECT_EQ(rel + " 2", test::ReadStored(P("b1/" + rel)));
    EXPECT_EQ(rel + " 1", test::ReadStored(P("b2/" + rel)));
  }
}

// Windows finds a file by its 8.3 short name too. A file whose name is the
// short name of another's is a file of its own: it never stands for the
// other's copy in a stage, nor the other for it in the source.
TEST_F(Names, AShortNameNeverStandsForAnotherFile) {
  const std::string longName = "foobarbaz-long-name.txt";
  test::WriteFile(P("probe/" + longName), "");
  const std::string shortPath = test::ShortPath(P("probe/" + longName));
  const std::string alias = shortPath.substr(shortPath.find_last_of('\\') + 1);
  if (shortPath.empty() || alias == longName) GTEST_SKIP() << "no short names on this volume";
  const Files stages = {"src", "b1", "b2"};
  platform::FileSystem& fs = platform::RealFileSystem();
  Put("src/" + alias, "short 1");
  Run(stages);
  // The short-named file goes as the long one comes: its copy leaves stage 1.
  ASSERT_TRUE(fs.DeleteFile(P("src/" + alias)));
  Put("src/" + longName, "long 1");
  Run(stages);
  EXPECT_EQ(Files{longName}, test::ListTree(P("b1")));
  EXPECT_EQ(Files{alias}, test::ListTree(P("b2")));
  // It comes back, newer, while stage 1's long copy holds its name as a
  // short name: it is told, and no generation moves for it.
  ASSERT_TRUE(fs.DeleteFile(P("src/" + longName)));
  Put("src/" + alias, "short 2", 2);
  Put("src/" + longName, "long 1");
  Run(stages, {"/M"}, 2);
  EXPECT_EQ("long 1", test::ReadFile(P("b1/" + longName)));
  EXPECT_EQ(Files{alias}, test::ListTree(P("b2")));
  EXPECT_EQ("short 1", test::ReadFile(P("b2/" + alias)));
  EXPECT_NE(std::string::npos, Report(1).find("its short name")) << Report(1);
}

TEST_F(Names, ReportOfCodePage932NamesStaysInIt) {
  Put("src/表.txt", "x");
  Run({"src", "bk1"}, {"/M"});
  EXPECT_EQ("copied  " + P("src") + "\\\x95\x5C.txt\r\n", Report(1));
}

TEST_F(Names, PathPastThreeHundredCharactersIsBackedUpAndRotated) {
  std::string rel;
  while (P("bk2/" + rel).size() < 300) rel += std::string(40, 'd') + " über/";
  rel += "😀 deep.txt";
  Put("src/" + rel, "1");
  Run({"src", "bk1", "bk2"});
  Put("src/" + rel, "2", 2);
  Run({"src", "bk1", "bk2"});
  EXPECT_EQ("2", test::ReadFile(P("bk1/" + rel)));
  EXPECT_EQ("1", test::ReadFile(P("bk2/" + rel)));
}

TEST_F(Names, MasksAndDatesMeanWhatTheyMeanInCodePage932) {
  for (const std::string name : {"表.txt", "é.txt", "e.txt", "資料1.txt", "abc.txt"}) {
    Put("src/" + name, name);
  }
  const auto selected = [&](const std::string& to, const std::string& option) {
    Run({"src", to}, {option});
    return test::ListTree(P(to));
  };
  // 表 is two bytes in code page 932; é is its default character, one byte.
  EXPECT_EQ(Files{"表.txt"}, selected("b1", "/N??.txt"));
  EXPECT_EQ((Files{"e.txt", "é.txt"}), selected("b2", "/N?.txt"));
  EXPECT_EQ(5u, selected("b3", "/N*.txt").size());
  EXPECT_EQ(Files{"e.txt"}, selected("b4", "/Ne.txt"));  // no best fit
  EXPECT_EQ(Files{"資料1.txt"}, selected("b5", "/N資料*"));
  EXPECT_EQ((Files{"abc.txt", "表.txt", "資料1.txt"}), selected("b6", "/E?.txt"));

  Put("src/0401.txt", "a");
  Put("src/0402.txt", "b");
  test::SetLocalMTime(P("src/0401.txt"), 2006, 4, 1);
  test::SetLocalMTime(P("src/0402.txt"), 2006, 4, 2);
  EXPECT_EQ(Files{"0401.txt"}, selected("b7", "/D2006年4月1日"));
}

}  // namespace
