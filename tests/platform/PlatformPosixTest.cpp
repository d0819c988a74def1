// What only the POSIX layer does: which kinds of entries are listed, the
// attributes it derives, writes that fall short, moves across file systems.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "Exceptions.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using platform::DirEntry;
using platform::RealFileSystem;
using Words = std::vector<std::string>;

Words Names(const std::string& pattern, uint32_t admit) {
  Words names;
  RealFileSystem().List(pattern, admit, [&](const DirEntry& e) { names.push_back(e.name); });
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PosixListing, ListsFilesDirectoriesAndLinksToFilesOnly) {
  test::TempDir t;
  test::WriteFile(t / "file", "12345");
  test::MakeDirs(t / "dir");
  ASSERT_EQ(0, ::mkfifo((t / "fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("file", (t / "tofile").c_str()));
  ASSERT_EQ(0, ::symlink("dir", (t / "todir").c_str()));
  ASSERT_EQ(0, ::symlink("nowhere", (t / "dangling").c_str()));
  EXPECT_EQ((Words{".", "..", "dir", "file", "tofile"}), Names(t / "*.*", platform::faAnyFile));

  // A link to a file is that file, under the link's name.
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "tofile", 0, e));
  EXPECT_EQ("tofile", e.name);
  EXPECT_EQ(5u, e.size);
  EXPECT_EQ(platform::faArchive, e.attr);
  EXPECT_FALSE(RealFileSystem().Find(t / "fifo", platform::faAnyFile, e));
  EXPECT_FALSE(RealFileSystem().FileExists(t / "fifo"));
  EXPECT_FALSE(RealFileSystem().FileExists(t / "dangling"));
  platform::FileTime time;
  EXPECT_FALSE(RealFileSystem().LastWriteTime(t / "fifo", time));
}

// The kinds-only listing names the same entries with the same kinds, and
// still follows links (a link to a file is a file, a link to a directory is
// not listed).
TEST(PosixListing, KindsOnlyListingAgreesWithTheFullOne) {
  test::TempDir t;
  test::WriteFile(t / "file", "12345");
  test::WriteFile(t / ".dot", "");
  test::MakeDirs(t / "dir");
  ASSERT_EQ(0, ::mkfifo((t / "fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("file", (t / "tofile").c_str()));
  ASSERT_EQ(0, ::symlink("dir", (t / "todir").c_str()));
  using Kinds = std::vector<std::pair<std::string, uint32_t>>;
  const auto kinds = [&](bool kindsOnly, uint32_t admit) {
    Kinds out;
    const auto add = [&](const DirEntry& e) {
      out.emplace_back(e.name, e.attr & (platform::faDirectory | platform::faHidden));
    };
    if (kindsOnly) {
      RealFileSystem().ListKinds(t / "*.*", admit, add);
    } else {
      RealFileSystem().List(t / "*.*", admit, add);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const Kinds all = kinds(false, platform::faAnyFile);
  EXPECT_EQ(6u, all.size());  // ".", "..", ".dot", "dir", "file", "tofile"
  EXPECT_EQ(all, kinds(true, platform::faAnyFile));
  EXPECT_EQ(kinds(false, platform::faDirectory), kinds(true, platform::faDirectory));
  EXPECT_EQ(kinds(false, 0), kinds(true, 0));
}

TEST(PosixListing, DerivesTheAttributes) {
  test::TempDir t;
  test::WriteFile(t / ".hidden", "");
  test::WriteFile(t / "locked", "");
  test::MakeDirs(t / ".git");
  ASSERT_EQ(0, ::chmod((t / "locked").c_str(), 0444));
  EXPECT_EQ((Words{"locked"}), Names(t / "*.*", 0));
  EXPECT_EQ((Words{".hidden", "locked"}), Names(t / "*.*", platform::faHidden));
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "locked", 0, e));
  EXPECT_EQ(platform::faReadOnly | platform::faArchive, e.attr);
  ASSERT_TRUE(RealFileSystem().Find(t / ".git", platform::faAnyFile, e));
  EXPECT_EQ(platform::faDirectory | platform::faHidden, e.attr);
}

TEST(PosixListing, PatternsFoldOnlyAsciiLetters) {
  test::TempDir t;
  test::WriteFile(t / "KovrelTemp1.txt", "");
  test::WriteFile(t / "kovreltemp2.TXT", "");
  EXPECT_EQ((Words{"KovrelTemp1.txt", "kovreltemp2.TXT"}), Names(t / "kovrelTEMP*.txt", 0));
  test::WriteFile(t / "KovrelTemp12.txt", "");
  EXPECT_EQ((Words{"KovrelTemp1.txt", "kovreltemp2.TXT"}), Names(t / "K?vrelTemp?.txt", 0));
}

TEST(PosixSaveLines, RaisesEWriteErrorOnAShortWrite) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  try {
    RealFileSystem().SaveLines("/dev/full", {"x"});
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(platform::ProgramText("ストリームへの書き込みエラー"), e.Message());
  }
}

TEST(PosixSaveLines, ReplacesAReadOnlyFileOnlyWhenItMay) {
  test::TempDir t;
  test::WriteFile(t / "out.txt", "old");
  ASSERT_EQ(0, ::chmod((t / "out.txt").c_str(), 0444));
  if (::access((t / "out.txt").c_str(), W_OK) == 0) GTEST_SKIP() << "running with privileges";
  EXPECT_THROW(RealFileSystem().SaveLines(t / "out.txt", {"new"}), EFCreateError);
  EXPECT_EQ("old", test::ReadFile(t / "out.txt"));
}

TEST(PosixMoveFile, AcrossFileSystemsKeepsTheTimeAndNeverReplaces) {
  const std::string other = "/dev/shm";
  test::TempDir t;
  struct stat a, b;
  if (::stat(other.c_str(), &b) != 0 || ::stat(t.path().c_str(), &a) != 0 || a.st_dev == b.st_dev ||
      ::access(other.c_str(), W_OK) != 0)
    GTEST_SKIP() << "no second file system at hand";
  const std::string target = other + "/kovrel-move-" + std::to_string(::getpid());
  test::WriteFile(t / "f", "data");
  test::SetLocalMTime(t / "f", 2001, 2, 3, 4, 5, 6);
  ASSERT_TRUE(RealFileSystem().MoveFile(t / "f", target));
  EXPECT_FALSE(test::IsFile(t / "f"));
  EXPECT_EQ("data", test::ReadFile(target));
  EXPECT_EQ("2001-02-03 04:05:06", test::LocalMTime(target));
  test::WriteFile(t / "g", "other");
  EXPECT_FALSE(RealFileSystem().MoveFile(t / "g", target));
  EXPECT_EQ("data", test::ReadFile(target));
  EXPECT_EQ("other", test::ReadFile(t / "g"));
  ::unlink(target.c_str());
}

TEST(PosixCodeset, NamesMapToRules) {
  using platform::CharRule;
  using platform::CharRuleForCodeset;
  for (const char* name : {"SHIFT_JIS", "sjis", "CP932", "WINDOWS-31J"})
    EXPECT_EQ(CharRule::Cp932, CharRuleForCodeset(name)) << name;
  for (const char* name : {"UTF-8", "utf8", "ANSI_X3.4-1968", ""})
    EXPECT_EQ(CharRule::Utf8, CharRuleForCodeset(name)) << name;
  for (const char* name : {"ISO-8859-1", "EUC-JP", "KOI8-R"})
    EXPECT_EQ(CharRule::SingleByte, CharRuleForCodeset(name)) << name;
}

}  // namespace
