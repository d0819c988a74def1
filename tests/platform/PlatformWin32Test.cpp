// What only the Windows layer does: code page 932, attributes as the file
// system stores them, names with a 0x5C trail byte, the module's own path.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#undef CopyFile
#undef MoveFile
#undef DeleteFile

#include <gtest/gtest.h>

#include <algorithm>

#include "Exceptions.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

using platform::DirEntry;
using platform::RealFileSystem;
using Words = std::vector<std::string>;

const std::string kHyo = "\x95\x5C";  // a double-byte character whose trail byte is '\'

Words Names(const std::string& pattern, uint32_t admit) {
  Words names;
  RealFileSystem().List(pattern, admit, [&](const DirEntry& e) { names.push_back(e.name); });
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Win32CodePage, IsJapaneseUnderTheTestPrefix) {
  EXPECT_EQ(932u, ::GetACP());
  EXPECT_EQ(platform::CharRule::Cp932, platform::ActiveCharRule());
}

TEST(Win32CodePage, ProgramTextsComeOutAsCp932) {
  EXPECT_EQ("\x83\x74\x83\x40\x83\x43\x83\x8B", platform::ProgramText("ファイル"));
  EXPECT_EQ("\x95\x5C", platform::ProgramText("表"));
  EXPECT_EQ("a \x8D\xEC\x90\xAC b", platform::ProgramText("a 作成 b"));
}

TEST(Win32Listing, FiltersHiddenAndSystemByAttribute) {
  test::TempDir t;
  test::WriteFile(t / "plain", "");
  test::WriteFile(t / "hidden", "");
  test::WriteFile(t / "system", "");
  ASSERT_TRUE(::SetFileAttributesA((t / "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::SetFileAttributesA((t / "system").c_str(), FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ((Words{"plain"}), Names(t / "*.*", 0));
  EXPECT_EQ((Words{"hidden", "plain"}), Names(t / "*.*", platform::faHidden));
  EXPECT_EQ((Words{".", "..", "hidden", "plain", "system"}), Names(t / "*.*", platform::faAnyFile));
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "system", platform::faAnyFile, e));
  EXPECT_EQ(platform::faSysFile, e.attr & (platform::faSysFile | platform::faHidden));
  EXPECT_FALSE(RealFileSystem().Find(t / "system", platform::faHidden, e));
}

TEST(Win32Listing, NamesAreFoundWithoutRegardToCase) {
  test::TempDir t;
  test::WriteFile(t / "MixedCase.TXT", "x");
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "mixedcase.txt", 0, e));
  EXPECT_EQ("MixedCase.TXT", e.name);  // the name as stored
  EXPECT_TRUE(RealFileSystem().FileExists(t / "MIXEDCASE.txt"));
  platform::FileId a, b;
  test::MakeDirs(t / "Dir");
  ASSERT_TRUE(RealFileSystem().Identity(t / "Dir", a));
  ASSERT_TRUE(RealFileSystem().Identity(t / "dIR\\.", b));
  EXPECT_EQ(a, b);
}

TEST(Win32Listing, WildcardsNeverPassForAnExactPath) {
  test::TempDir t;
  test::WriteFile(t / "a.txt", "x");
  DirEntry e;
  EXPECT_FALSE(RealFileSystem().FileExists(t / "*.txt"));
  EXPECT_FALSE(RealFileSystem().Find(t / "?.txt", platform::faAnyFile, e));
  platform::FileTime time;
  EXPECT_FALSE(RealFileSystem().LastWriteTime(t / "*", time));
}

TEST(Win32Names, TrailByte5CIsNoSeparator) {
  test::TempDir t;
  const std::string dir = t.path() + "\\" + kHyo;
  platform::CreateDirChain(RealFileSystem(), dir + "\\sub\\");
  EXPECT_TRUE(RealFileSystem().DirectoryExists(dir + "\\sub"));
  // Only the one directory: no stray one named by the lead byte alone.
  EXPECT_EQ((Words{".", "..", kHyo}), Names(t / "*.*", platform::faAnyFile));

  platform::CreateDirChain(RealFileSystem(), t.path() + "\\x" + kHyo + "\\");
  EXPECT_TRUE(RealFileSystem().DirectoryExists(t.path() + "\\x" + kHyo));

  RealFileSystem().SaveLines(dir + "\\" + kHyo + ".txt", {kHyo});
  EXPECT_EQ((Words{".", "..", "sub", kHyo + ".txt"}), Names(dir + "\\*.*", platform::faAnyFile));
}

TEST(Win32Paths, RootsOfDrivesAndShares) {
  const struct {
    const char* path;
    size_t root;
  } kCases[] = {
      {"C:", 2},
      {"C:\\", 3},
      {"C:\\x", 3},
      {"C:x", 2},
      {"\\", 1},
      {"\\x", 1},
      {"\\\\server\\share", 14},
      {"\\\\server\\share\\", 15},
      {"\\\\server\\share\\x", 15},
      {"\\\\?\\C:\\x", 7},
      {"\\\\?\\UNC\\server\\share\\x", 21},
      {"bk", 0},
      {"x\\y", 0},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.root, platform::RootLength(c.path)) << c.path;
}

TEST(Win32Module, KnowsItsOwnPathAndName) {
  EXPECT_EQ("kovrel_tests.exe", platform::ExecutableFileName());
  const std::string path = platform::ExecutablePath();
  ASSERT_GT(path.size(), 3u);
  EXPECT_EQ(":\\", path.substr(1, 2));
  EXPECT_TRUE(RealFileSystem().FileExists(path));
}

TEST(Win32Now, IsTheLocalTime) {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  const double today = static_cast<double>(platform::DayNumber(st.wYear, st.wMonth, st.wDay));
  const platform::DateValue now = platform::Now();
  // Around midnight the two calls may fall on different days.
  EXPECT_GE(now, today);
  EXPECT_LT(now, today + 2);
}

TEST(Win32SaveLines, RaisesEWriteErrorOnAShortWrite) {
  // Wine maps drive Z: to the host's root, where /dev/full takes no byte.
  const std::string full = "Z:\\dev\\full";
  if (!RealFileSystem().DirectoryExists("Z:\\dev")) GTEST_SKIP() << "not under Wine";
  try {
    RealFileSystem().SaveLines(full, {"x"});
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(platform::ProgramText("ストリームへの書き込みエラー"), e.Message());
    EXPECT_STREQ("EWriteError", e.ClassName());
  }
}

// The state directory is Kovrel under %LOCALAPPDATA%, made when missing;
// the probe for whether a directory takes files leaves nothing behind.
TEST(Win32StateDirectory, KovrelUnderLocalAppDataAndAProbeThatLeavesNothing) {
  test::TempDir t;
  std::wstring old(32768, L'\0');
  const DWORD had = ::GetEnvironmentVariableW(L"LOCALAPPDATA", old.data(), 32768);
  old.resize(had);
  ::SetEnvironmentVariableA("LOCALAPPDATA", t.path().c_str());
  const std::string dir = platform::UserStateDirectory();
  ::SetEnvironmentVariableW(L"LOCALAPPDATA", had ? old.c_str() : nullptr);
  EXPECT_EQ(t.path() + "\\Kovrel\\", dir);
  EXPECT_TRUE(test::IsDir(t / "Kovrel"));
  EXPECT_TRUE(platform::DirectoryTakesNewFiles(t.path() + "\\"));
  EXPECT_EQ((Words{".", "..", "Kovrel"}), Names(t / "*.*", platform::faAnyFile));
}

}  // namespace
