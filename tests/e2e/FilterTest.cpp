// The name and date filters of real runs: include then exclude masks, the
// first fitting mask ending the search, stale files that no filter protects,
// an invalid mask stopping the run, and the calendar days of the date range.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

const std::string d(1, platform::PathDelim);

std::string T(const std::string& utf8) { return platform::ProgramText(utf8); }

class FilterRun : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  void Put(const std::string& rel, int day = 1) {
    test::WriteFile(P(rel), rel);
    test::SetLocalMTime(P(rel), 2020, 1, day);
  }

  test::ProgramRun Run(std::vector<std::string> args, const test::Env& env = {}) {
    for (std::string& a : args) {
      if (a[0] != platform::SwitchChar) a = P(a);
    }
    return test::RunProgram(exe_, args, env);
  }

  void RunOk(std::vector<std::string> args, const test::Env& env = {}) {
    const test::ProgramRun run = Run(std::move(args), env);
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }

  std::vector<std::string> Tree(const std::string& rel) const { return test::ListTree(P(rel)); }

  test::TempDir tmp_;
  std::string exe_;
};

using Files = std::vector<std::string>;

TEST_F(FilterRun, IncludeThenExclude) {
  for (const char* name : {"a.txt", "B.TXT", "c.doc", "keep.bak", "note.txt", "x.txt.bak"}) {
    Put("src/" + std::string(name));
  }
  Put("src/sub/deep.txt");
  Put("src/sub/deep.doc");
  RunOk({"src", "bk", test::Opt("N*.txt;*.doc"), test::Opt("Ec*"), test::Opt("Enote.*")});
  // Masks fold a-z only and never see the directory part of a name.
  EXPECT_EQ((Files{"B.TXT", "a.txt", "sub/deep.doc", "sub/deep.txt"}), Tree("bk"));
}

TEST_F(FilterRun, ExcludeAloneAndSeveralOptions) {
  for (const char* name : {"a.txt", "a.tmp", "b.bak", "c.o", "Makefile"}) {
    Put("src/" + std::string(name));
  }
  RunOk({"src", "bk", test::Opt("E*.tmp"), test::Opt("e*.bak;*.[oa]")});
  EXPECT_EQ((Files{"Makefile", "a.txt"}), Tree("bk"));
}

TEST_F(FilterRun, FirstFittingMaskEndsTheSearch) {
  // The invalid mask after "*.txt" is never reached for a name that fits
  // "*.txt", in the include list and in the exclude list alike.
  Put("src/a.txt");
  Put("src/sub/b.txt");
  RunOk({"src", "bk", test::Opt("N*.txt;["), test::Opt("E*.doc")});
  EXPECT_EQ((Files{"a.txt", "sub/b.txt"}), Tree("bk"));

  Put("src/c.doc");
  RunOk({"src", "bk2", test::Opt("E*.txt;*.doc;[")});
  EXPECT_EQ(Files{}, Tree("bk2"));
}

TEST_F(FilterRun, FiltersNeverProtectStaleFilesOrRemoveKeptOnes) {
  Put("src/kept.txt");
  Put("src/skipped.doc");
  Put("bk1/kept.txt");
  Put("bk1/skipped.doc");
  Put("bk1/gone.txt");
  Put("bk1/gone.doc");
  test::SetLocalMTime(P("src/skipped.doc"), 2021, 1, 1);  // newer, but filtered out
  RunOk({"src", "bk1", "bk2", test::Opt("N*.txt"), test::Opt("E*.doc;gone*")});
  // Stale files leave stage 1 whatever the masks say; a source file that a
  // filter passed over still counts as present, so its copy stays.
  EXPECT_EQ((Files{"kept.txt", "skipped.doc"}), Tree("bk1"));
  EXPECT_EQ((Files{"gone.doc", "gone.txt"}), Tree("bk2"));
  EXPECT_EQ("bk1/skipped.doc", test::ReadFile(P("bk1/skipped.doc")));
}

TEST_F(FilterRun, InvalidMaskStopsTheRunAtTheFirstFileTestedAgainstIt) {
  // Subdirectories are done before the files of their parent, so the file
  // below "sub" is copied before the first top-level file meets the mask.
  Put("src/sub/early.txt");
  Put("src/late.doc");
  const test::ProgramRun run = Run({"src", "bk", test::Opt("N*.txt;a[-z]"), test::Opt("M")});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ((Files{"sub/early.txt"}), Tree("bk"));
  // The run ended before its report: nothing was saved beside the program.
  for (const std::string& file : Tree("bin")) EXPECT_EQ(std::string::npos, file.find("Temp"));
  if (!run.stderrText.empty()) {
    EXPECT_NE(std::string::npos, run.stderrText.find("Exception EMaskException in module "))
        << run.stderrText;
    const std::string message = T("3 番目の文字（'a[-z]'）は正しくないマスク文字です");
    EXPECT_NE(std::string::npos, run.stderrText.find("\n" + message + ".\n")) << run.stderrText;
  }
}

TEST_F(FilterRun, InvalidMaskWithNoFileToTestIsNeverNoticed) {
  Put("src/a.txt");
  RunOk({"src", "bk", test::Opt("E*.txt;[]")});
  EXPECT_EQ(Files{}, Tree("bk"));
  test::MakeDirs(P("empty"));
  RunOk({"empty", "bk3", test::Opt("N[")});
}

// The UTC seconds of a wall-clock time in Tokyo (UTC+9 all year).
long long TokyoTime(int year, int month, int day, int hour, int minute) {
  const long long days = platform::DayNumber(year, month, day) - platform::DayNumber(1970, 1, 1);
  return days * 86400 + (hour - 9) * 3600LL + minute * 60LL;
}

// Sets a wall-clock last-write time in the zone the program will use: Tokyo
// through TZ on POSIX; under Wine the zone is the host's whatever TZ says,
// so there the time is set in the local zone.
void SetWallClockMTime(const std::string& path, int year, int month, int day, int hour,
                       int minute) {
  if (platform::PathDelim == '/') {
    test::SetMTimeFromNow(path, TokyoTime(year, month, day, hour, minute) - std::time(nullptr));
  } else {
    test::SetLocalMTime(path, year, month, day, hour, minute);
  }
}

TEST_F(FilterRun, RangeCoversWholeCalendarDaysOfLocalTime) {
  const test::Env tokyo = {{"TZ", "Asia/Tokyo"}};
  const struct {
    const char* name;
    int month, day, hour, minute;
  } files[] = {
      {"before.txt", 3, 31, 23, 30},  // the evening before the first day
      {"first.txt", 4, 1, 0, 30},     // early on the first day
      {"last.txt", 4, 30, 23, 30},    // late on the last day
      {"after.txt", 5, 1, 0, 30},     // early on the day after
  };
  for (const auto& f : files) {
    test::WriteFile(P(std::string("src/") + f.name), f.name);
    SetWallClockMTime(P(std::string("src/") + f.name), 2006, f.month, f.day, f.hour, f.minute);
  }
  RunOk({"src", "bk", test::Opt("D06-04-01-06-04-30")}, tokyo);
  EXPECT_EQ((Files{"first.txt", "last.txt"}), Tree("bk"));

  // A single day, and the open ranges on either side.
  RunOk({"src", "one", test::Opt("D2006/4/30")}, tokyo);
  EXPECT_EQ((Files{"last.txt"}), Tree("one"));
  RunOk({"src", "from", test::Opt("D06-05-01-")}, tokyo);
  EXPECT_EQ((Files{"after.txt"}), Tree("from"));
  RunOk({"src", "upto", test::Opt("D-06-03-31")}, tokyo);
  EXPECT_EQ((Files{"before.txt"}), Tree("upto"));
  // A range that ends before it starts selects nothing.
  RunOk({"src", "none", test::Opt("D06-04-30-06-04-01")}, tokyo);
  EXPECT_EQ(Files{}, Tree("none"));
}

TEST_F(FilterRun, DefaultRangeHasNoBoundsAndDaysAfter2099Select) {
  const struct {
    const char* name;
    int year, month, day;
  } files[] = {
      {"epoch.txt", 1970, 1, 2},
      {"y2099.txt", 2099, 12, 31},
      {"y2100.txt", 2100, 1, 1},
      {"y2108.txt", 2108, 1, 1},
  };
  for (const auto& f : files) {
    Put(std::string("src/") + f.name);
    test::SetLocalMTime(P(std::string("src/") + f.name), f.year, f.month, f.day, 0, 0, 1);
  }
  const Files all = {"epoch.txt", "y2099.txt", "y2100.txt", "y2108.txt"};
  RunOk({"src", "bk"});
  EXPECT_EQ(all, Tree("bk"));
  RunOk({"src", "from", test::Opt("D2108-01-01-")});
  EXPECT_EQ(Files{"y2108.txt"}, Tree("from"));
  RunOk({"src", "upto", test::Opt("D-2099-12-31")});
  EXPECT_EQ((Files{"epoch.txt", "y2099.txt"}), Tree("upto"));
  RunOk({"src", "period", test::Opt("D2100-1-1-2108-1-1")});
  EXPECT_EQ((Files{"y2100.txt", "y2108.txt"}), Tree("period"));
  // An unusable value changes nothing.
  RunOk({"src", "bk2", test::Opt("D2006-2-31")});
  EXPECT_EQ(all, Tree("bk2"));
}

}  // namespace
