// On-disk spelling over real temporary trees, and the executable's directory
// and base name.
#include <gtest/gtest.h>

#include <algorithm>

#include "Characters.h"
#include "DiskSpelling.h"
#include "support/TestSupport.h"

namespace {

using platform::PathDelim;

const std::string d(1, PathDelim);

// The real file system, with every lookup that passes through it recorded.
class FindLog : public platform::FileSystem {
 public:
  std::vector<std::string> finds;

  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const platform::DirEntry&)>& fn) override {
    real_.List(pattern, admit, fn);
  }
  bool Find(const std::string& path, uint32_t admit, platform::DirEntry& out) override {
    finds.push_back(path);
    return real_.Find(path, admit, out);
  }
  bool FileExists(const std::string& p) override { return real_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return real_.DirectoryExists(p); }
  bool LastWriteTime(const std::string& p, platform::FileTime& t) override {
    return real_.LastWriteTime(p, t);
  }
  bool Identity(const std::string& p, platform::FileId& id) override {
    return real_.Identity(p, id);
  }
  bool CreateDir(const std::string& p) override { return real_.CreateDir(p); }
  bool RemoveDir(const std::string& p) override { return real_.RemoveDir(p); }
  platform::PathKind KindOf(const std::string& p) override { return real_.KindOf(p); }
  bool CopyFile(const std::string& a, const std::string& b, bool replace,
                const std::function<bool()>& beforePlace) override {
    return real_.CopyFile(a, b, replace, beforePlace);
  }
  bool MoveFile(const std::string& a, const std::string& b, bool replace) override {
    return real_.MoveFile(a, b, replace);
  }
  bool DeleteFile(const std::string& p) override { return real_.DeleteFile(p); }
  void SaveLines(const std::string& p, const std::vector<std::string>& lines) override {
    real_.SaveLines(p, lines);
  }

 private:
  platform::FileSystem& real_ = platform::RealFileSystem();
};

class DiskSpellingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(tmp / "Tools/Kovrel.exe", "x");
    test::WriteFile(tmp / "Data/.Hidden/Kovrel.exe", "x");
    test::WriteFile(tmp / "Data/.kovrel", "x");
  }
  std::string Spell(const std::string& path) { return DiskSpelling(fs, path); }

  test::TempDir tmp;
  FindLog fs;
};

TEST_F(DiskSpellingTest, WholePathOfAFile) {
  EXPECT_EQ(tmp / "Tools/Kovrel.exe", Spell(tmp / "Tools/Kovrel.exe"));
}

TEST_F(DiskSpellingTest, LooksUpEveryComponentAfterTheHeadOnce) {
  const std::string path = tmp / "Tools/Kovrel.exe";
  Spell(path);
  // One probe per component, each the result so far plus the component.
  ASSERT_EQ(static_cast<size_t>(std::count(path.begin(), path.end(), PathDelim)), fs.finds.size());
  EXPECT_EQ(tmp / "Tools", fs.finds[fs.finds.size() - 2]);
  EXPECT_EQ(path, fs.finds.back());
  for (const std::string& probe : fs.finds) EXPECT_NE(PathDelim, probe.back()) << probe;
}

TEST_F(DiskSpellingTest, DirectoryGetsItsSeparator) {
  EXPECT_EQ(tmp / "Tools" + d, Spell(tmp / "Tools"));
  // With the separator written, nothing after Tools is looked up.
  fs.finds.clear();
  EXPECT_EQ(tmp / "Tools" + d, Spell(tmp / "Tools" + d));
  EXPECT_EQ(tmp / "Tools", fs.finds.back());
}

TEST_F(DiskSpellingTest, HeadAloneIsNeverLookedUp) {
  const platform::CharRule r = platform::PathCharRule();
  const std::string head = CharCopy(tmp.path(), 1, CharPos(d, tmp.path(), r), r);
  EXPECT_EQ(head, Spell(head));
  EXPECT_TRUE(fs.finds.empty());
}

TEST_F(DiskSpellingTest, MissingComponentsShortenTheResult) {
  EXPECT_EQ(tmp / "Tools" + d, Spell(tmp / "Tools/missing.exe"));
  EXPECT_EQ(tmp.path() + d, Spell(tmp / "Nowhere/Tools/Kovrel.exe"));
  // Nothing below the missing directory is probed.
  EXPECT_EQ(tmp / "Nowhere", fs.finds.back());
}

TEST_F(DiskSpellingTest, HiddenDirectoryOnTheWayStopsTheSpelling) {
  EXPECT_EQ(tmp / "Data" + d, Spell(tmp / "Data/.Hidden/Kovrel.exe"));
}

TEST_F(DiskSpellingTest, HiddenLastComponentIsFound) {
  EXPECT_EQ(tmp / "Data/.kovrel", Spell(tmp / "Data/.kovrel"));
}

TEST_F(DiskSpellingTest, PathWithoutSeparatorIsEmpty) {
  EXPECT_EQ("", Spell("Kovrel.exe"));
  EXPECT_EQ("", Spell(""));
  EXPECT_TRUE(fs.finds.empty());
}

TEST_F(DiskSpellingTest, NetworkStyleDoubleSeparatorGivesTheSeparator) {
  // The empty first component's probe is the bare separator, which has no
  // entry of its own.
  EXPECT_EQ(d, Spell(d + d + "server" + d + "share"));
  ASSERT_EQ(1u, fs.finds.size());
  EXPECT_EQ(d, fs.finds[0]);
}

TEST_F(DiskSpellingTest, EmptyInnerComponentStops) {
  EXPECT_EQ(tmp / "Tools" + d, Spell(tmp / "Tools" + d + d + "Kovrel.exe"));
}

TEST_F(DiskSpellingTest, DoubleByteDirectoryNameIsOneComponent) {
  // In code page 932 this character's trail byte is 0x5C, the Windows
  // separator.
  const std::string name = platform::ProgramText("表");
  ASSERT_TRUE(fs.CreateDir(tmp / name));
  fs.SaveLines(tmp / name + d + "Kovrel.exe", {"x"});
  EXPECT_EQ(tmp / name + d + "Kovrel.exe", Spell(tmp / name + d + "Kovrel.exe"));
  EXPECT_EQ(tmp / name + d, Spell(tmp / name));
}

TEST_F(DiskSpellingTest, LetterCaseComesFromTheDisk) {
  const std::string typed = tmp.path() + d + "TOOLS" + d + "KOVREL.EXE";
  if (!fs.FileExists(typed)) GTEST_SKIP() << "file names are case-sensitive here";
  EXPECT_EQ(tmp / "Tools/Kovrel.exe", Spell(typed));
}

TEST_F(DiskSpellingTest, HeadKeepsTheCaseItIsWrittenIn) {
  std::string path = tmp / "Tools/Kovrel.exe";
  const platform::CharRule r = platform::PathCharRule();
  const std::string head = CharCopy(path, 1, CharPos(d, path, r), r);
  if (head.size() < 2 || head[1] != ':') GTEST_SKIP() << "no drive letter";
  path[0] = static_cast<char>(path[0] ^ 0x20);
  EXPECT_EQ(path.substr(0, head.size()), Spell(path).substr(0, head.size()));
  EXPECT_EQ((tmp / "Tools/Kovrel.exe").substr(head.size()), Spell(path).substr(head.size()));
}

TEST(SplitExecutablePath, DirectoryAndBaseName) {
  std::string dir, base;
  SplitExecutablePath(d + "Tools" + d + "Kovrel.exe", dir, base);
  EXPECT_EQ(d + "Tools" + d, dir);
  EXPECT_EQ("Kovrel", base);
  SplitExecutablePath(d + "Tools" + d + "back.up.exe", dir, base);
  EXPECT_EQ("back.up", base);
  SplitExecutablePath(d + "Tools" + d + "kovrel", dir, base);
  EXPECT_EQ(d + "Tools" + d, dir);
  EXPECT_EQ("kovrel", base);
}

TEST(SplitExecutablePath, WithoutExtensionsTheWholeNameIsTheBase) {
  std::string dir, base;
  SplitExecutablePath(d + "Tools" + d + "back.up", dir, base, false);
  EXPECT_EQ(d + "Tools" + d, dir);
  EXPECT_EQ("back.up", base);
}

TEST(SplitExecutablePath, DotBeforeTheLastSeparatorIsNoExtension) {
  std::string dir, base;
  SplitExecutablePath(d + "v1.2" + d + "kovrel", dir, base);
  EXPECT_EQ(d + "v1.2" + d, dir);
  EXPECT_EQ("kovrel", base);
}

TEST(SplitExecutablePath, RootGetsOneSeparator) {
  std::string dir, base;
  SplitExecutablePath(d + "Kovrel.exe", dir, base);
  EXPECT_EQ(d, dir);
  EXPECT_EQ("Kovrel", base);
}

TEST(SplitExecutablePath, DriveColonEndsTheDirectoryOnlyWhereItIsOne) {
  std::string dir, base;
  SplitExecutablePath("C:Kovrel.exe", dir, base);
  if (PathDelim == '\\') {
    EXPECT_EQ("C:\\", dir);
    EXPECT_EQ("Kovrel", base);
  } else {
    EXPECT_EQ(d, dir);
    EXPECT_EQ("C:Kovrel", base);
  }
}

TEST(SplitExecutablePath, DoubleByteDirectoryKeepsItsLastByte) {
  const std::string name = platform::ProgramText("表");
  std::string dir, base;
  SplitExecutablePath(d + name + d + "Kovrel.exe", dir, base);
  EXPECT_EQ(d + name + d, dir);
  EXPECT_EQ("Kovrel", base);
  // A directory ending in the character, as the whole path: the separator
  // is appended, not found inside the character.
  SplitExecutablePath(d + name, dir, base);
  EXPECT_EQ(d, dir);
  EXPECT_EQ(name, base);
}

TEST(ExecutableDirAndBase, RunningTestProgram) {
  std::string dir, base;
  ExecutableDirAndBase(platform::RealFileSystem(), dir, base);
  EXPECT_EQ("kovrel_tests", base);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(d, LastChar(dir, platform::PathCharRule()));
  EXPECT_TRUE(test::IsFile(dir + platform::ExecutableFileName()));
}

}  // namespace
