// What only the Windows layer does: UTF-8 paths of every name and length,
// code page 932 for masks, dates and saved text, attributes as the file
// system stores them, the module's own path.
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

TEST(Win32CodePage, TextsAreKeptAsUtf8AndSavedInTheAnsiCodePageWhenTheyFit) {
  EXPECT_EQ(platform::CharRule::Utf8, platform::PathCharRule());
  EXPECT_EQ("表", platform::ProgramText("表"));
  EXPECT_EQ("\x83\x74\x83\x40\x83\x43\x83\x8B\r\n\x95\x5C\r\na \x8D\xEC\x90\xAC b\r\n",
            platform::SavedText({"ファイル", "表", "a 作成 b"}));
  // One line that code page 932 lacks a character of: all of it as UTF-8.
  EXPECT_EQ("\xEF\xBB\xBF表\r\nnaïve café\r\n", platform::SavedText({"表", "naïve café"}));
  EXPECT_EQ("\xEF\xBB\xBF—\r\n", platform::SavedText({"—"}));  // no best fit to "-"
  EXPECT_EQ("plain\r\n", platform::SavedText({"plain"}));
}

TEST(Win32CodePage, NamesAndValuesAsTheAnsiCodePageSpellsThem) {
  EXPECT_EQ("\x95\x5C.txt", platform::AnsiSpelling("表.txt"));
  EXPECT_EQ(
      "2006\x94\x4E"
      "4\x8C\x8E"
      "1\x93\xFA",
      platform::AnsiSpelling("2006年4月1日"));
  // No best fit: é is no e, and what the code page lacks is its default character.
  EXPECT_EQ("?.txt", platform::AnsiSpelling("é.txt"));
  EXPECT_EQ("??.txt", platform::AnsiSpelling("한국.txt"));
  EXPECT_EQ("表", platform::FromAnsiSpelling("\x95\x5C"));
  EXPECT_EQ("plain", platform::FromAnsiSpelling("plain"));
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

TEST(Win32Names, EveryNameAndPathLengthReachesTheDisk) {
  test::TempDir t;
  // 表 ends in 0x5C in code page 932; the others are not in it at all.
  const Words names = {"é.txt", "—dash.txt", "表", "한국.txt", "😀.txt"};
  std::string deep = t.path();
  while (deep.size() < 300) deep += "\\über ordner " + std::string(40, 'x');
  for (const std::string& dir : {t / "names", deep}) {
    SCOPED_TRACE(dir.size());
    ASSERT_TRUE(platform::CreateDirChain(RealFileSystem(), dir + "\\表\\sub\\"));
    EXPECT_TRUE(RealFileSystem().DirectoryExists(dir + "\\表\\sub"));
    for (const std::string& name : names) {
      if (name != "表") RealFileSystem().SaveLines(dir + "\\" + name, {name});
    }
    Words listed = names;
    listed.insert(listed.begin(), {".", ".."});
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, Names(dir + "\\*.*", platform::faAnyFile));
    DirEntry e;
    ASSERT_TRUE(RealFileSystem().Find(dir + "\\😀.txt", platform::faAnyFile, e));
    EXPECT_EQ("😀.txt", e.name);
    EXPECT_TRUE(RealFileSystem().CopyFile(dir + "\\é.txt", dir + "\\表\\é.txt", false, nullptr));
    EXPECT_TRUE(RealFileSystem().MoveFile(dir + "\\表\\é.txt", dir + "\\表\\sub\\é.txt", false));
    EXPECT_EQ("\xEF\xBB\xBFé.txt\r\n", test::ReadFile(dir + "\\表\\sub\\é.txt"));
    EXPECT_TRUE(RealFileSystem().DeleteFile(dir + "\\表\\sub\\é.txt"));
    EXPECT_TRUE(RealFileSystem().RemoveDir(dir + "\\表\\sub"));
    EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(dir + "\\表\\sub"));
  }
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

TEST(Win32Names, PathsGivenInTheLongFormAreTakenAsTheyAre) {
  test::TempDir t;
  test::WriteFile(t / "a.txt", "x");
  const std::string longForm = "\\\\?\\" + t / "a.txt";
  EXPECT_TRUE(RealFileSystem().FileExists(longForm));
  platform::FileTime time;
  EXPECT_TRUE(RealFileSystem().LastWriteTime(longForm, time));
}

TEST(Win32Errors, ReasonsAreUtf8AsTheReportLinesAre) {
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string reason = platform::LastErrorText();
  ASSERT_FALSE(reason.empty());
  EXPECT_GT(::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reason.data(),
                                  static_cast<int>(reason.size()), nullptr, 0),
            0)
      << reason;
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
