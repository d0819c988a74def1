// Filters over UTF-8 names and values in a UTF-8 (or the C) locale: a
// multi-byte character is one literal in a mask and one separator in a date.
#include <gtest/gtest.h>

#include <cctype>

#include "support/TestSupport.h"

namespace {

using Files = std::vector<std::string>;

class Utf8FilterRun : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  void Put(const std::string& rel, int year = 2020, int month = 1, int day = 1) {
    test::WriteFile(P(rel), rel);
    test::SetLocalMTime(P(rel), year, month, day);
  }

  test::ProgramRun Run(const std::string& to, const std::string& option) {
    return test::RunProgram(exe_, {P("src"), P(to), option}, {{"LC_ALL", GetParam()}});
  }

  std::vector<std::string> Selected(const std::string& to, const std::string& option) {
    const test::ProgramRun run = Run(to, option);
    EXPECT_EQ(0, run.exitCode) << run.stderrText;
    return test::ListTree(P(to));
  }

  test::TempDir tmp_;
  std::string exe_;
};

TEST_P(Utf8FilterRun, MultiByteCharactersInMasks) {
  for (const char* name : {"資料1.txt", "月次資料.xls", "資料", "表.txt", "a.txt", "abc.txt"}) {
    Put(std::string("src/") + name);
  }
  EXPECT_EQ((Files{"資料", "資料1.txt"}), Selected("b1", "-N資料*"));
  EXPECT_EQ((Files{"月次資料.xls", "資料", "資料1.txt"}), Selected("b2", "-N*資料*"));
  // "?" is one byte; 表 is three of them here.
  EXPECT_EQ((Files{"a.txt"}), Selected("b3", "-N?.txt"));
  EXPECT_EQ((Files{"abc.txt", "表.txt"}), Selected("b4", "-N???.txt"));
  // A character in a set is stepped over and matches nothing.
  EXPECT_EQ((Files{"a.txt", "abc.txt"}), Selected("b5", "-N[表a]*"));
}

TEST_P(Utf8FilterRun, InvalidMaskCountsBytes) {
  Put("src/a.txt");
  const test::ProgramRun run = Run("bk", "-N[表]");
  EXPECT_EQ(1, run.exitCode);
  EXPECT_NE(std::string::npos,
            run.stderrText.find("\n5 番目の文字（'[表]'）は正しくないマスク文字です.\n"))
      << run.stderrText;
  EXPECT_EQ(Files{}, test::ListTree(P("bk")));
}

TEST_P(Utf8FilterRun, MultiByteCharactersSeparateDateFields) {
  Put("src/0401.txt", 2006, 4, 1);
  Put("src/0402.txt", 2006, 4, 2);
  EXPECT_EQ((Files{"0401.txt"}), Selected("b1", "-D2006年4月1日"));

  Put("src/600613.txt", 1960, 6, 13);
  Put("src/600614.txt", 1960, 6, 14);
  Put("src/610928.txt", 1961, 9, 28);
  Put("src/610929.txt", 1961, 9, 29);
  EXPECT_EQ((Files{"600614.txt", "610928.txt"}), Selected("b2", "-D1960/00006/14-1961年9月28"));
  // Full-width digits are separators, so this value changes nothing.
  EXPECT_EQ(6u, Selected("b3", "-D２００６-4-1").size());
}

INSTANTIATE_TEST_SUITE_P(Locales, Utf8FilterRun, ::testing::Values("C.UTF-8", "ja_JP.UTF-8", "C"),
                         [](const auto& info) {
                           std::string name;
                           for (const char* c = info.param; *c; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           }
                           return name;
                         });

}  // namespace
