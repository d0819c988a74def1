// The platform layer on real temporary directories, and its portable helpers:
// times, day numbers, the command-line splitter.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <limits>
#include <set>

#include "Exceptions.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using platform::DirEntry;
using platform::FileTime;
using platform::RealFileSystem;

// Names of the entries that a pattern lists, sorted.
std::vector<std::string> Names(const std::string& pattern, uint32_t admit) {
  std::vector<std::string> names;
  RealFileSystem().List(pattern, admit, [&](const DirEntry& e) { names.push_back(e.name); });
  std::sort(names.begin(), names.end());
  return names;
}

FileTime TimeOf(const std::string& path) {
  FileTime t = -1;
  EXPECT_TRUE(RealFileSystem().LastWriteTime(path, t)) << path;
  return t;
}

void MakeReadOnly(const std::string& path) {
  namespace fs = std::filesystem;
  fs::permissions(fs::path(path),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

// ---------------------------------------------------------------------------
// Times and day numbers

constexpr FileTime kLatest = std::numeric_limits<FileTime>::max();
constexpr FileTime kEarliest = std::numeric_limits<FileTime>::min();
constexpr uint64_t kTicksTo1970 = 116444736000000000;

TEST(FileTimes, SecondsAndTicksConvertAndHoldAtTheEnds) {
  const struct {
    FileTime got, want;
  } kCases[] = {
      {platform::TimeFromSeconds(0, 0), 0},
      {platform::TimeFromSeconds(1, 5), 1000000005},
      {platform::TimeFromSeconds(-1, 999999999), -1},
      {platform::TimeFromSeconds(4354819200, 7), 4354819200 * platform::kSecond + 7},  // 2108
      {platform::TimeFromSeconds(int64_t{1} << 40, 0), kLatest},
      {platform::TimeFromSeconds(-(int64_t{1} << 40), 0), kEarliest},
      {platform::TimeFromTicks(kTicksTo1970 + 1), 100},
      {platform::TimeFromTicks(kTicksTo1970 - 1), -100},
      {platform::TimeFromTicks(0), kEarliest},  // 1601
      {platform::TimeFromTicks(UINT64_MAX), kLatest},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) EXPECT_EQ(kCases[i].want, kCases[i].got) << i;
  // Back into ticks, rounded down on both sides of 1970.
  EXPECT_EQ(kTicksTo1970 + 1, platform::TicksFromTime(199));
  EXPECT_EQ(kTicksTo1970 - 1, platform::TicksFromTime(-1));
  EXPECT_EQ(kTicksTo1970 - 1, platform::TicksFromTime(-100));
  EXPECT_LT(0u, platform::TicksFromTime(kEarliest));
}

TEST(FileTimes, LaterOnlyByMoreThanTheCoarserClock) {
  constexpr FileTime s = platform::kSecond;
  constexpr FileTime t = 1589000000 * s;
  const struct {
    FileTime later, earlier, clock;
    bool newer;
  } kCases[] = {
      {t + 2, t, 1, true},
      {t + 1, t, 1, false},
      {t - s, t, 1, false},               // older is never newer
      {t + s + s / 10, t, 1, true},       // ext4: an edit 1.1 s after the copy
      {t + 99, t, 100, false},            // NTFS keeps 100 ns steps
      {t + 999999999, t, s, false},       // exfat-fuse cut the copy to its second
      {t + s + 1, t, s, true},            //   and a second later is an edit
      {t + 2 * s - 1, t, 2 * s, false},   // FAT
      {t + 3 * s, t, 2 * s, true},        //   an edit 3 s later
      {kLatest, kEarliest, 2 * s, true},  // the ends of the range
      {kEarliest, kLatest, 2 * s, false},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const auto& c = kCases[i];
    EXPECT_EQ(c.newer, platform::LaterBy(c.later, c.earlier, c.clock)) << i;
  }
}

TEST(FileTimes, AProbeShowsTheStepOfTheClock) {
  constexpr FileTime s = platform::kSecond;
  constexpr FileTime p = platform::kProbeTime;  // 1000000001.123456789 s
  const struct {
    FileTime kept, clock;
  } kCases[] = {
      {p, 1},
      {p - 89, 100},               // NTFS, cut
      {p + 11, 100},               //   rounded up
      {p - 3456789, 10000000},     // exFAT
      {p - 123456789, s},          // exfat-fuse: the odd second
      {p - 123456789 - s, 2 * s},  // FAT, cut
      {p + 876543211, 2 * s},      // FAT rounded up (or a second rounded up: erring coarse)
      {p - 4 * s, 0},              // not what it was given
      {kEarliest, 0},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    EXPECT_EQ(kCases[i].clock, platform::ClockOfProbe(kCases[i].kept)) << i;
  }
}

TEST(FileTimes, AProbeAgreesWithTheTypeAndLeavesNothing) {
  test::TempDir t;
  test::MakeDirs(t / "d");
  constexpr FileTime kDirTime = 1589000000 * platform::kSecond + 700;
  test::SetUtcMTime(t / "d", kDirTime);
  const std::string dir = t / "d" + platform::PathDelim;
  const FileTime probed = RealFileSystem().ProbeClock(dir);
  EXPECT_GT(probed, 0);
  EXPECT_LE(probed, 100);  // the temporary directory's disk keeps 100 ns or finer
  const FileTime typed = RealFileSystem().TypeClock(dir);
  if (typed != 0) {
    EXPECT_EQ(typed, probed);
  }
  // The probe is gone, and the directory keeps its time.
  EXPECT_EQ((std::vector<std::string>{".", ".."}), Names(t / "d/*.*", platform::faAnyFile));
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "d", platform::faDirectory, e));
  EXPECT_EQ(kDirTime, e.time);
  EXPECT_EQ(0, RealFileSystem().ProbeClock(t / "missing" + platform::PathDelim));
}

// A directory time that the stage cut to its clock is the source's there:
// it is not set again on every run. At a finer clock it is set.
TEST(FileTimes, DirectoryTimesMatchAtTheClockGiven) {
  test::TempDir t;
  test::MakeDirs(t / "src");
  test::MakeDirs(t / "bk1");
  constexpr FileTime kSource = 1589000000 * platform::kSecond + 123456700;
  constexpr FileTime kCut = 1589000000 * platform::kSecond;
  test::SetUtcMTime(t / "src", kSource);
  test::SetUtcMTime(t / "bk1", kCut);
  const auto stageTime = [&] {
    DirEntry e;
    EXPECT_TRUE(RealFileSystem().Find(t / "bk1", platform::faDirectory, e));
    return e.time;
  };
  ASSERT_TRUE(RealFileSystem().MatchDirectory(t / "src", t / "bk1", platform::kSecond));
  EXPECT_EQ(kCut, stageTime());
  // A stage time later than the source's by less than the clock is the same too.
  constexpr FileTime kRounded = kCut + platform::kSecond;
  test::SetUtcMTime(t / "bk1", kRounded);
  ASSERT_TRUE(RealFileSystem().MatchDirectory(t / "src", t / "bk1", platform::kSecond));
  EXPECT_EQ(kRounded, stageTime());
  ASSERT_TRUE(RealFileSystem().MatchDirectory(t / "src", t / "bk1", 100));
  EXPECT_EQ(kSource, stageTime());
}

TEST(FoldedNames, NamesThatDifferOnlyInCaseShareAKey) {
  EXPECT_EQ(platform::FoldedName("Read Me.txt"), platform::FoldedName("READ ME.TXT"));
  EXPECT_EQ(platform::FoldedName("\xC3\xA4rger"), platform::FoldedName("\xC3\x84RGER"));  // ä, Ä
  EXPECT_NE(platform::FoldedName("a-b"), platform::FoldedName("a_b"));
  EXPECT_NE(platform::FoldedName("\xC3\xA4"), platform::FoldedName("a"));
}

// The test's temporary directory folds case on Windows only; a probe that
// writes leaves nothing behind.
TEST(FoldedNames, AProbeTellsWhetherTheFileSystemFoldsCase) {
  test::TempDir t;
  test::MakeDirs(t / "d");
  const std::string dir = t / "d" + platform::PathDelim;
  EXPECT_EQ(platform::PathDelim == '\\', RealFileSystem().FoldsCase(dir, true));
  if (platform::PathDelim == '/') {  // Windows folds wherever it is asked
    EXPECT_EQ(std::nullopt, RealFileSystem().FoldsCase(t / "missing/", false));
  }
  EXPECT_EQ((std::vector<std::string>{".", ".."}), Names(t / "d/*.*", platform::faAnyFile));
}

TEST(DayNumbers, MatchTheDateValueEpoch) {
  EXPECT_EQ(0, platform::DayNumber(1899, 12, 30));
  EXPECT_EQ(2, platform::DayNumber(1900, 1, 1));
  EXPECT_EQ(61, platform::DayNumber(1900, 3, 1));  // 1900 is not a leap year
  EXPECT_EQ(25569, platform::DayNumber(1970, 1, 1));
  EXPECT_EQ(36951, platform::DayNumber(2001, 3, 1));  // after 2000-02-29
  EXPECT_EQ(73050, platform::DayNumber(2099, 12, 31));
  EXPECT_EQ(-1, platform::DayNumber(1899, 12, 29));
}

TEST(DayNumbers, LocalDayIsTheDayOfTheLocalTimeSet) {
  test::TempDir t;
  const struct {
    int year, month, day, hour, minute;
  } kCases[] = {
      {1970, 1, 2, 0, 30},
      {2006, 4, 1, 23, 59},
      {2024, 7, 1, 0, 30},
      {2108, 1, 1, 0, 0},
  };
  for (const auto& c : kCases) {
    test::WriteFile(t / "f", "");
    test::SetLocalMTime(t / "f", c.year, c.month, c.day, c.hour, c.minute);
    EXPECT_EQ(platform::DayNumber(c.year, c.month, c.day), platform::LocalDay(TimeOf(t / "f")))
        << c.year << "-" << c.month << "-" << c.day;
  }
}

// ---------------------------------------------------------------------------
// Command-line splitting

using Words = std::vector<std::string>;

TEST(SplitCommandLine, BlanksSeparateAndBackslashIsOrdinary) {
  EXPECT_EQ((Words{"a", "b", "c"}), platform::SplitCommandLine("a b\tc"));
  EXPECT_EQ((Words{"C:\\My Docs\\", "D:\\bk"}),
            platform::SplitCommandLine("\"C:\\My Docs\\\" D:\\bk"));
  EXPECT_EQ((Words{"a\\\\b\\"}), platform::SplitCommandLine("a\\\\b\\"));
  EXPECT_EQ(Words{}, platform::SplitCommandLine(""));
  EXPECT_EQ(Words{}, platform::SplitCommandLine(" \t\r\n "));
}

TEST(SplitCommandLine, ControlBytesSeparateHighBytesDoNot) {
  EXPECT_EQ((Words{"a", "b", "c"}), platform::SplitCommandLine("a\x01"
                                                               "b\x1F"
                                                               "c"));
  // Double-byte characters belong to words, whatever their second byte.
  EXPECT_EQ((Words{"\x95\x5C", "\x81\x40x"}), platform::SplitCommandLine("\x95\x5C \x81\x40x"));
  EXPECT_EQ((Words{"\x7F\xFF"}), platform::SplitCommandLine("\x7F\xFF"));
}

TEST(SplitCommandLine, QuotesToggleAndAreRemoved) {
  EXPECT_EQ((Words{"ab"}), platform::SplitCommandLine("a\"\"b"));
  EXPECT_EQ((Words{"a b c"}), platform::SplitCommandLine("a\" b \"c"));
  EXPECT_EQ((Words{"x", "y"}), platform::SplitCommandLine("\"\" x \"\" y \"\""));
  EXPECT_EQ((Words{"x"}), platform::SplitCommandLine("\"\"x"));
  EXPECT_EQ((Words{" x"}), platform::SplitCommandLine("\"\"\" x"));  // unclosed quote runs on
  EXPECT_EQ((Words{"a\tb"}), platform::SplitCommandLine("\"a\tb\""));
}

TEST(EscapeControlBytes, WritesControlBytesAsHexAndDoublesABackslashOnlyWhereItWouldRead) {
  const struct {
    const char* name;
    const char* shown;
  } kCases[] = {
      {"plain/name.txt", "plain/name.txt"},
      {"evil\ncopied  x", "evil\\x0Acopied  x"},
      {"tab\there\x7F\x01", "tab\\x09here\\x7F\\x01"},
      {"a\\b\\", "a\\b\\"},            // a lone backslash stays one
      {"\\x0A", "\\\\x0A"},            // it would read as an escape
      {"\\\\", "\\\\\\"},              // it would read as one backslash
      {"\\\n", "\\\\\\x0A"},           // before an escape
      {"caf\xC3\xA9", "caf\xC3\xA9"},  // other bytes stay as they are
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.shown, platform::EscapeControlBytes(c.name, platform::CharRule::Utf8)) << c.name;
  }
  // In CP932 a 0x5C trail byte is part of its character, never a backslash.
  EXPECT_EQ("\x95\x5Cx", platform::EscapeControlBytes("\x95\x5Cx", platform::CharRule::Cp932));
  // No two names are shown alike: every name of up to four of these bytes.
  std::vector<std::string> names = {""};
  for (size_t at = 0; at < names.size() && names[at].size() < 4; ++at) {
    for (const char c : std::string("\\x\nA0")) names.push_back(names[at] + c);
  }
  std::set<std::string> shown;
  for (const std::string& name : names) {
    shown.insert(platform::EscapeControlBytes(name, platform::CharRule::SingleByte));
  }
  EXPECT_EQ(names.size(), shown.size());
}

// ---------------------------------------------------------------------------
// File system: listing

TEST(Listing, YieldsDotEntriesAndAppliesTheAttributeFilter) {
  test::TempDir t;
  test::WriteFile(t / "a.txt", "abc");
  test::MakeDirs(t / "sub");
  const std::string all = t / "*.*";
  EXPECT_EQ((Words{".", "..", "a.txt", "sub"}), Names(all, platform::faAnyFile));
  // Only dot-less names here: on POSIX "." and ".." count as hidden.
  Words plain = Names(all, platform::faDirectory);
  std::erase_if(plain, [](const std::string& n) { return n[0] == '.'; });
  EXPECT_EQ((Words{"a.txt", "sub"}), plain);
  EXPECT_EQ((Words{"a.txt"}), Names(all, 0));
}

TEST(Listing, GivesTheEntryData) {
  test::TempDir t;
  test::WriteFile(t / "a.txt", "abcde");
  test::SetUtcMTime(t / "a.txt", 1057655411123456700);
  test::MakeDirs(t / "sub");
  std::vector<DirEntry> entries;
  RealFileSystem().List(t / "*.*", 0, [&](const DirEntry& e) { entries.push_back(e); });
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("a.txt", entries[0].name);
  EXPECT_EQ(5u, entries[0].size);
  EXPECT_EQ(1057655411123456700, entries[0].time);
  EXPECT_EQ(0u, entries[0].attr & (platform::faDirectory | platform::faReadOnly));

  DirEntry dir;
  ASSERT_TRUE(RealFileSystem().Find(t / "sub", platform::faDirectory, dir));
  EXPECT_EQ("sub", dir.name);
  EXPECT_NE(0u, dir.attr & platform::faDirectory);
  EXPECT_FALSE(RealFileSystem().Find(t / "sub", 0, dir));
}

TEST(Listing, MatchesPatternsAndExactPaths) {
  test::TempDir t;
  test::WriteFile(t / "KovrelTemp1.txt", "");
  test::WriteFile(t / "KovrelTemp12.txt", "");
  test::WriteFile(t / "Kovrel.txt", "");
  test::WriteFile(t / "other.log", "");
  EXPECT_EQ((Words{"KovrelTemp1.txt", "KovrelTemp12.txt"}),
            Names(t / "KovrelTemp*.txt", platform::faAnyFile));
  EXPECT_EQ((Words{"Kovrel.txt"}), Names(t / "Kovrel.txt", platform::faAnyFile));
  EXPECT_EQ(Words{}, Names(t / "missing.txt", platform::faAnyFile));
  EXPECT_EQ(Words{}, Names(t / "nodir/*.*", platform::faAnyFile));
}

TEST(Listing, ExistenceTestsTellFilesFromDirectories) {
  test::TempDir t;
  test::WriteFile(t / "f", "x");
  test::MakeDirs(t / "d");
  platform::FileSystem& fs = RealFileSystem();
  EXPECT_TRUE(fs.FileExists(t / "f"));
  EXPECT_FALSE(fs.FileExists(t / "d"));
  EXPECT_FALSE(fs.FileExists(t / "none"));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_TRUE(fs.DirectoryExists(t / "d"));
  EXPECT_TRUE(fs.DirectoryExists(t.path()));
  EXPECT_FALSE(fs.DirectoryExists(t / "f"));
  EXPECT_FALSE(fs.DirectoryExists(t / "none"));
  FileTime time;
  EXPECT_FALSE(fs.LastWriteTime(t / "d", time));
  EXPECT_FALSE(fs.LastWriteTime(t / "none", time));
}

// ---------------------------------------------------------------------------
// File system: times

TEST(LastWriteTimes, KeepTheirFullResolutionInUtc) {
  test::TempDir t;
  // The finest step both builds keep is 100 ns (Windows' ticks).
  const FileTime kCases[] = {
      1589000000 * platform::kSecond,              // 2020
      1589000000 * platform::kSecond + 100,        // 100 ns later
      1589000001 * platform::kSecond + 100000000,  // 1.1 s later
      86400 * platform::kSecond + 123456700,       // 1970-01-02
      4354819200 * platform::kSecond + 999999900,  // 2108-01-01
      -86400 * platform::kSecond,                  // 1969-12-31
  };
  for (const FileTime want : kCases) {
    test::WriteFile(t / "f", "");
    test::SetUtcMTime(t / "f", want);
    EXPECT_EQ(want, TimeOf(t / "f"));
  }
}

// ---------------------------------------------------------------------------
// File system: copy, move, delete

TEST(CopyFile, KeepsContentsTimeAndReadOnlyAndReplacesTheTarget) {
  test::TempDir t;
  test::WriteFile(t / "src", "new contents");
  test::SetLocalMTime(t / "src", 2004, 2, 29, 13, 14, 16);
  MakeReadOnly(t / "src");
  test::WriteFile(t / "dst", "an older and longer copy");
  ASSERT_TRUE(RealFileSystem().CopyFile(t / "src", t / "dst", true, nullptr));
  EXPECT_EQ("new contents", test::ReadFile(t / "dst"));
  EXPECT_EQ("2004-02-29 13:14:16", test::LocalMTime(t / "dst"));
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "dst", 0, e));
  EXPECT_NE(0u, e.attr & platform::faReadOnly);
  EXPECT_EQ("new contents", test::ReadFile(t / "src"));
  EXPECT_EQ((Words{"dst", "src"}), test::ListTree(t.path()));  // no temporary left behind
}

TEST(CopyFile, FailsWithoutTouchingTheTarget) {
  test::TempDir t;
  test::WriteFile(t / "dst", "kept");
  EXPECT_FALSE(RealFileSystem().CopyFile(t / "missing", t / "dst", true, nullptr));
  EXPECT_EQ("kept", test::ReadFile(t / "dst"));
  EXPECT_FALSE(RealFileSystem().CopyFile(t / "dst", t / "nodir/dst", true, nullptr));
}

// The copy is complete before the caller's step runs and takes its name only
// after it; a copy that is not to be placed, or may not replace, is discarded.
TEST(CopyFile, PlacesTheCopyOnlyAfterTheCallersStep) {
  test::TempDir t;
  test::WriteFile(t / "src", "new");
  test::SetLocalMTime(t / "src", 2001, 2, 3, 4, 5, 6);
  MakeReadOnly(t / "src");
  test::WriteFile(t / "dst", "old");

  EXPECT_FALSE(RealFileSystem().CopyFile(t / "src", t / "dst", false, nullptr));
  bool asked = false;
  EXPECT_FALSE(RealFileSystem().CopyFile(t / "src", t / "dst", true, [&] {
    asked = true;
    return false;
  }));
  EXPECT_TRUE(asked);
  EXPECT_EQ("old", test::ReadFile(t / "dst"));
  EXPECT_EQ((Words{"dst", "src"}), test::ListTree(t.path()));

  // The step moves the old file away; the copy then takes the free name.
  ASSERT_TRUE(RealFileSystem().CopyFile(t / "src", t / "dst", false, [&] {
    return test::ReadFile(t / "dst") == "old" &&
           RealFileSystem().MoveFile(t / "dst", t / "prev", false);
  }));
  EXPECT_EQ("new", test::ReadFile(t / "dst"));
  EXPECT_EQ("2001-02-03 04:05:06", test::LocalMTime(t / "dst"));
  EXPECT_EQ("old", test::ReadFile(t / "prev"));
  EXPECT_EQ((Words{"dst", "prev", "src"}), test::ListTree(t.path()));
}

TEST(KindOf, TellsGoneFromThere) {
  test::TempDir t;
  test::WriteFile(t / "d/f", "x");
  EXPECT_EQ(platform::PathKind::File, RealFileSystem().KindOf(t / "d/f"));
  EXPECT_EQ(platform::PathKind::Directory, RealFileSystem().KindOf(t / "d"));
  EXPECT_EQ(platform::PathKind::Directory,
            RealFileSystem().KindOf(t / "d" + std::string(1, platform::PathDelim)));
  EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(t / "d/gone"));
  EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(t / "gone/f"));
}

TEST(MoveFile, NeverReplacesAnExistingTarget) {
  test::TempDir t;
  test::WriteFile(t / "a", "first");
  test::WriteFile(t / "b", "second");
  EXPECT_FALSE(RealFileSystem().MoveFile(t / "a", t / "b", false));
  EXPECT_EQ("first", test::ReadFile(t / "a"));
  EXPECT_EQ("second", test::ReadFile(t / "b"));
}

TEST(MoveFile, ReplacesAFileOnlyWhenAskedAndNeverADirectory) {
  test::TempDir t;
  test::WriteFile(t / "a", "first");
  test::SetLocalMTime(t / "a", 2003, 4, 5, 6, 7, 8);
  test::WriteFile(t / "b", "second");
  test::WriteFile(t / "d/x", "inside");
  EXPECT_FALSE(RealFileSystem().MoveFile(t / "a", t / "d", true));
  EXPECT_EQ("first", test::ReadFile(t / "a"));
  EXPECT_EQ("inside", test::ReadFile(t / "d/x"));
  ASSERT_TRUE(RealFileSystem().MoveFile(t / "a", t / "b", true));
  EXPECT_EQ("first", test::ReadFile(t / "b"));
  EXPECT_EQ("2003-04-05 06:07:08", test::LocalMTime(t / "b"));
  EXPECT_EQ((Words{"b", "d/x"}), test::ListTree(t.path()));
}

TEST(MoveFile, MovesIntoAnotherDirectoryKeepingTheTime) {
  test::TempDir t;
  test::WriteFile(t / "s1/f", "data");
  test::MakeDirs(t / "s2");
  test::SetLocalMTime(t / "s1/f", 1999, 12, 31, 23, 59, 58);
  ASSERT_TRUE(RealFileSystem().MoveFile(t / "s1/f", t / "s2/f", false));
  EXPECT_FALSE(test::IsFile(t / "s1/f"));
  EXPECT_EQ("data", test::ReadFile(t / "s2/f"));
  EXPECT_EQ("1999-12-31 23:59:58", test::LocalMTime(t / "s2/f"));
  EXPECT_FALSE(RealFileSystem().MoveFile(t / "s1/f", t / "s2/g", false));
}

TEST(DeleteAndRemove, RemoveOnlyWhatTheyMay) {
  test::TempDir t;
  test::WriteFile(t / "d/f", "x");
  platform::FileSystem& fs = RealFileSystem();
  EXPECT_FALSE(fs.RemoveDir(t / "d"));  // not empty
  EXPECT_TRUE(fs.DeleteFile(t / "d/f"));
  EXPECT_FALSE(fs.DeleteFile(t / "d/f"));
  EXPECT_TRUE(fs.RemoveDir(t / "d"));
  EXPECT_FALSE(test::IsDir(t / "d"));
  EXPECT_FALSE(fs.RemoveDir(t / "d"));
}

// ---------------------------------------------------------------------------
// File system: directories

TEST(CreateDirChain, MakesEveryMissingLevel) {
  test::TempDir t;
  platform::CreateDirChain(RealFileSystem(), t / "a/b/c/");
  EXPECT_TRUE(test::IsDir(t / "a/b/c"));
  test::WriteFile(t / "a/b/keep", "x");
  platform::CreateDirChain(RealFileSystem(), t / "a/b");
  EXPECT_EQ("x", test::ReadFile(t / "a/b/keep"));
  platform::CreateDirChain(RealFileSystem(), t / "a/b/d");
  EXPECT_TRUE(test::IsDir(t / "a/b/d"));
}

TEST(CreateDirChain, StopsAtAFileInTheWay) {
  test::TempDir t;
  test::WriteFile(t / "f", "x");
  platform::CreateDirChain(RealFileSystem(), t / "f/sub/");
  EXPECT_EQ("x", test::ReadFile(t / "f"));
  EXPECT_FALSE(test::IsDir(t / "f/sub"));
}

// Knows a set of directories and records what is created, in order.
class DirRecorder : public platform::FileSystem {
 public:
  explicit DirRecorder(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}
  std::vector<std::string> created;

  bool DirectoryExists(const std::string& path) override {
    return std::find(dirs_.begin(), dirs_.end(), path) != dirs_.end();
  }
  bool CreateDir(const std::string& path) override {
    created.push_back(path);
    dirs_.push_back(path);
    return true;
  }
  void List(const std::string&, uint32_t, const std::function<void(const DirEntry&)>&) override {}
  bool Find(const std::string&, uint32_t, DirEntry&) override { return false; }
  bool FileExists(const std::string&) override { return false; }
  bool LastWriteTime(const std::string&, FileTime&) override { return false; }
  bool Identity(const std::string&, platform::FileId&) override { return false; }
  bool RemoveDir(const std::string&) override { return false; }
  platform::PathKind KindOf(const std::string&) override { return platform::PathKind::Missing; }
  bool CopyFile(const std::string&, const std::string&, bool,
                const std::function<bool()>&) override {
    return false;
  }
  bool MoveFile(const std::string&, const std::string&, bool) override { return false; }
  bool DeleteFile(const std::string&) override { return false; }
  void SaveLines(const std::string&, const std::vector<std::string>&) override {}

 private:
  std::vector<std::string> dirs_;
};

// A path with the platform's separator in place of '/'.
std::string P(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::PathDelim);
  return path;
}

TEST(CreateDirChain, CreatesParentsFirstAndStopsOnlyAtTheRoot) {
  DirRecorder fs({P("root")});
  platform::CreateDirChain(fs, P("root/a/b/"));
  EXPECT_EQ((Words{P("root/a"), P("root/a/b")}), fs.created);

  // Short relative names are directories like any other; repeated
  // separators count as one; the root itself is never made.
  const struct {
    const char* path;
    Words created;
  } kCases[] = {
      {"x", {"x"}},
      {"xy/z", {"xy", "xy/z"}},
      {"a/b/c/", {"a", "a/b", "a/b/c"}},
      {"k3//", {"k3"}},
      {"xy//z//", {"xy", "xy//z"}},
      {"", {}},
      {"/", {}},
      {"//", {}},
      {"/x", {"/x"}},
  };
  for (const auto& c : kCases) {
    DirRecorder none({});
    EXPECT_TRUE(platform::CreateDirChain(none, P(c.path)));
    Words want;
    for (const std::string& dir : c.created) want.push_back(P(dir));
    EXPECT_EQ(want, none.created) << c.path;
  }
}

TEST(Identity, TwoSpellingsOfOneDirectoryAreEqual) {
  test::TempDir t;
  test::MakeDirs(t / "d/sub");
  test::MakeDirs(t / "e");
  platform::FileId a, b, c;
  ASSERT_TRUE(RealFileSystem().Identity(t / "d", a));
  ASSERT_TRUE(RealFileSystem().Identity(t / "d/sub/..", b));
  ASSERT_TRUE(RealFileSystem().Identity(t / "e", c));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  ASSERT_TRUE(RealFileSystem().Identity(t / "d/", b));
  EXPECT_EQ(a, b);
  EXPECT_FALSE(RealFileSystem().Identity(t / "missing", b));
}

// ---------------------------------------------------------------------------
// Save lines

// A second lock waits for the first, says so once before it waits, and
// takes the stage 1 that is there once the first is done: one removed and
// made anew meanwhile (the run before found it empty) is locked anew, and
// a third lock waits for it. (Windows keeps a deleted file that is open
// until it is closed, and its directory with it.)
TEST(LockStage, ALockThatWaitsSaysSoAndTakesTheStageThatIsThereThen) {
  for (const bool remade : {false, true}) {
    if (remade && platform::PathDelim == '\\') continue;
    SCOPED_TRACE(remade ? "stage 1 made anew" : "the same stage 1");
    test::TempDir t;
    test::MakeDirs(t / "bk1");
    const std::string bk1 = t / "bk1" + std::string(1, platform::PathDelim);
    auto first = platform::LockStage(bk1, true, nullptr);
    ASSERT_TRUE(first);
    // Taken in a thread of its own, which says when it has to wait.
    const auto waiter = [&](int& told, std::promise<void>& waits) {
      return std::async(std::launch::async, [&] {
        return platform::LockStage(bk1, true, [&] {
          if (++told == 1) waits.set_value();
        });
      });
    };
    int told = 0;
    std::promise<void> waits;
    auto second = waiter(told, waits);
    waits.get_future().wait();
    if (remade) {
      std::filesystem::remove_all(t / "bk1");
      test::MakeDirs(t / "bk1");
    }
    first.reset();
    auto taken = second.get();
    ASSERT_TRUE(taken);
    EXPECT_EQ(1, told);
    EXPECT_TRUE(test::IsFile(bk1 + platform::RunLockName));
    int thirdTold = 0;
    std::promise<void> thirdWaits;
    auto third = waiter(thirdTold, thirdWaits);
    thirdWaits.get_future().wait();
    taken.reset();
    EXPECT_TRUE(third.get());
    EXPECT_EQ(1, thirdTold);
  }
}

TEST(SaveLines, EndsEveryLineWithCrLfAndReplacesTheFile) {
  test::TempDir t;
  test::WriteFile(t / "out.txt", "an older, longer file that must go away entirely");
  RealFileSystem().SaveLines(t / "out.txt", {"one", "", "three"});
  EXPECT_EQ("one\r\n\r\nthree\r\n", test::ReadFile(t / "out.txt"));
  RealFileSystem().SaveLines(t / "empty.txt", {});
  EXPECT_TRUE(test::IsFile(t / "empty.txt"));
  EXPECT_EQ("", test::ReadFile(t / "empty.txt"));
}

TEST(SaveLines, RaisesEFCreateErrorWithThePath) {
  test::TempDir t;
  test::MakeDirs(t / "dir.txt");
  for (const std::string& path : {t / "dir.txt", t / "missing/out.txt"}) {
    try {
      RealFileSystem().SaveLines(path, {"x"});
      ADD_FAILURE() << "no error for " << path;
    } catch (const EFCreateError& e) {
      EXPECT_EQ(
          platform::ProgramText("ファイル ") + path + platform::ProgramText(" を作成できません"),
          e.Message());
      EXPECT_STREQ("EFCreateError", e.ClassName());
    }
  }
  EXPECT_TRUE(test::IsDir(t / "dir.txt"));
}

TEST(ProgramText, KeepsAsciiAsItIs) {
  EXPECT_EQ("Exception in module", platform::ProgramText("Exception in module"));
  EXPECT_EQ("", platform::ProgramText(""));
}

}  // namespace
