// The entry's reading of the command line: directories, options by their
// first two bytes, mask lists, the help option.
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "support/TestSupport.h"

namespace {

using test::Opt;
using Words = std::vector<std::string>;

const std::string d(1, platform::PathDelim);

struct Reading {
  OptionSet options;
  int usageCalls = 0;
};

Reading Read(const Words& words) {
  Reading r;
  ReadArguments(words, r.options, [&] { ++r.usageCalls; });
  return r;
}

bool Untouched(const OptionSet& o) {
  const OptionSet fresh;
  return o.dirList.empty() && o.includeMasks.empty() && o.excludeMasks.empty() &&
         o.firstDay == fresh.firstDay && o.lastDay == fresh.lastDay && !o.reportOn &&
         !o.keepExtra && !o.dryRun;
}

TEST(ReadArguments, StartsFromTheDefaults) {
  const Reading r = Read({});
  EXPECT_TRUE(Untouched(r.options));
  EXPECT_EQ(kNoFirstDay, r.options.firstDay);
  EXPECT_EQ(kNoLastDay, r.options.lastDay);
  EXPECT_EQ(0, r.usageCalls);
}

TEST(ReadArguments, DirectoriesKeepTheirOrderAndGetOneSeparator) {
  const Reading r = Read({"src", Opt("M"), "bk1" + d, "bk1", "bk2" + d + d, "C:"});
  EXPECT_EQ((Words{"src" + d, "bk1" + d, "bk1" + d, "bk2" + d + d, "C:" + d}), r.options.dirList);
  EXPECT_TRUE(r.options.reportOn);
}

TEST(ReadArguments, DirectoriesAreTakenAsTyped) {
  const std::string odd = std::string("..") + d + "Mixed Case" + d + "x*y";
  const Reading r = Read({odd});
  EXPECT_EQ(Words{odd + d}, r.options.dirList);
}

TEST(ReadArguments, DoubleByteEndingIn5CStillGetsItsSeparator) {
  if (platform::PathCharRule() != platform::CharRule::Cp932)
    GTEST_SKIP() << "paths are not code page 932 in this process";
  const std::string hyo = "\x95\x5C";
  const Reading r = Read({"C:\\" + hyo, "a\\" + hyo + "\\"});
  EXPECT_EQ((Words{"C:\\" + hyo + "\\", "a\\" + hyo + "\\"}), r.options.dirList);
}

TEST(ReadArguments, OnlyTheFirstTwoBytesChooseTheOption) {
  for (const char* t : {"t", "T", "Txyz"}) {
    const Reading r = Read({Opt(t)});
    EXPECT_TRUE(r.options.dryRun) << t;
    EXPECT_TRUE(r.options.reportOn) << t;
    EXPECT_FALSE(r.options.keepExtra) << t;
  }
  const Reading m = Read({Opt("Mfoo")});
  EXPECT_TRUE(m.options.reportOn);
  EXPECT_FALSE(m.options.dryRun);
  const Reading a = Read({Opt("a")});
  EXPECT_TRUE(a.options.keepExtra);
  EXPECT_FALSE(a.options.reportOn);
}

TEST(ReadArguments, UnknownOptionsAreIgnored) {
  for (const std::string& word : Words{Opt("X"), Opt(""), Opt("-"), Opt("/"), Opt("x*.txt")}) {
    const Reading r = Read({word});
    EXPECT_TRUE(Untouched(r.options)) << word;
    EXPECT_EQ(0, r.usageCalls) << word;
  }
}

TEST(ReadArguments, HelpIsCalledAtOnceForEveryHelpOption) {
  Reading r;
  Words seen;
  ReadArguments({"src", Opt("?"), "bk1", Opt("?x")}, r.options, [&] {
    ++r.usageCalls;
    seen = r.options.dirList;
  });
  EXPECT_EQ(2, r.usageCalls);
  // The second call came after "bk1" was read.
  EXPECT_EQ((Words{"src" + d, "bk1" + d}), seen);
}

TEST(ReadArguments, MaskValuesSplitAtSemicolons) {
  EXPECT_EQ((Words{"*.txt", "*.doc"}), Read({Opt("N*.txt;*.doc")}).options.includeMasks);
  EXPECT_EQ((Words{"*.txt"}), Read({Opt("N*.txt;")}).options.includeMasks);
  EXPECT_EQ((Words{"", "*.txt"}), Read({Opt("N;*.txt")}).options.includeMasks);
  EXPECT_EQ((Words{"a", "", "b"}), Read({Opt("Na;;b")}).options.includeMasks);
  EXPECT_EQ(Words{}, Read({Opt("N")}).options.includeMasks);
  EXPECT_EQ((Words{"*.txt", "*.doc"}), Read({Opt("N*.txt"), Opt("N*.doc")}).options.includeMasks);
  EXPECT_EQ((Words{"*.TXT"}), Read({Opt("n*.TXT")}).options.includeMasks);
}

TEST(ReadArguments, ExcludeMasksGoToTheirOwnList) {
  const Reading r = Read({Opt("e*.bak;~*"), Opt("N*.c"), Opt("E;")});
  EXPECT_EQ((Words{"*.bak", "~*", ""}), r.options.excludeMasks);
  EXPECT_EQ((Words{"*.c"}), r.options.includeMasks);
}

TEST(ReadArguments, DateOptionSetsTheRange) {
  const Reading r = Read({Opt("d06-04-01-06-04-30")});
  EXPECT_EQ(platform::DayNumber(2006, 4, 1), r.options.firstDay);
  EXPECT_EQ(platform::DayNumber(2006, 4, 30), r.options.lastDay);
  const Reading bad = Read({Opt("D06-13-01")});
  EXPECT_TRUE(Untouched(bad.options));
}

TEST(ReadArguments, FlagsStaySet) {
  const Reading r = Read({Opt("T"), Opt("M"), Opt("A"), Opt("X")});
  EXPECT_TRUE(r.options.dryRun);
  EXPECT_TRUE(r.options.reportOn);
  EXPECT_TRUE(r.options.keepExtra);
}

TEST(ReadArguments, EmptyWordsAreNoDirectories) {
  EXPECT_TRUE(Read({"", ""}).options.dirList.empty());
}

TEST(KovrelMain, FewerThanTwoDirectoriesEndAtOnce) {
  test::TempDir t;
  test::WriteFile(t / "src/a.txt", "a");
  EXPECT_EQ(0, KovrelMain({}));
  EXPECT_EQ(0, KovrelMain({t / "src", Opt("M"), Opt("T")}));
  EXPECT_EQ((Words{"src/a.txt"}), test::ListTree(t.path()));
}

}  // namespace
