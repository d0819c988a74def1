// What only the Windows layer does: UTF-8 paths of every name and length,
// code page 932 for masks, dates and saved text, attributes as the file
// system stores them, folders that take their source's, copies of a source
// that changes, the module's own path.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#undef CopyFile
#undef MoveFile
#undef DeleteFile

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "Exceptions.h"
#include "platform/Platform.h"
#include "platform/Win32Files.h"
#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

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

// Where the volume gives them, a file is told by its 64-bit serial number
// and 128-bit id: on ReFS the 64-bit index of the older call is not unique.
TEST(Win32Listing, IdentityIsTheWholeFileIdWhereTheVolumeGivesIt) {
  test::TempDir t;
  test::MakeDirs(t / "d");
  const platform::win32::FileHandle h(::CreateFileW(
      platform::win32::SystemPath(t / "d").c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_ID_INFO info;
  if (!::GetFileInformationByHandleEx(h.get(), FileIdInfo, &info, sizeof info))
    GTEST_SKIP() << "no 128-bit file ids here";
  platform::FileId id, want{info.VolumeSerialNumber};
  std::memcpy(&want.index, info.FileId.Identifier, 8);
  std::memcpy(&want.indexHigh, info.FileId.Identifier + 8, 8);
  ASSERT_TRUE(RealFileSystem().Identity(t / "d", id));
  EXPECT_EQ(want, id);
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
  // 表 ends in 0x5C in code page 932; the others are not in it at all. Win32
  // rules would drop a trailing dot or space and take CON, NUL or aux.txt
  // for a device.
  const Words names = {"é.txt",  "—dash.txt", "表",  "한국.txt", "😀.txt",
                       "trail.", "trail ",    "CON", "NUL",      "aux.txt"};
  std::string deep = t.path();
  while (deep.size() < 300) deep += "\\über ordner " + std::string(40, 'x');
  for (const std::string& dir : {t / "names", deep}) {
    SCOPED_TRACE(dir.size());
    ASSERT_TRUE(platform::CreateDirChain(RealFileSystem(), dir + "\\表\\sub\\"));
    EXPECT_TRUE(RealFileSystem().DirectoryExists(dir + "\\表\\sub"));
    for (const std::string folder : {"\\dirdot.\\", "\\dirsp \\", "\\NUL\\"}) {
      ASSERT_TRUE(platform::CreateDirChain(RealFileSystem(), dir + folder + "in"));
      EXPECT_TRUE(RealFileSystem().RemoveDir(dir + folder + "in"));
      EXPECT_TRUE(RealFileSystem().RemoveDir(dir + folder));
      EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(dir + folder));
    }
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
    EXPECT_TRUE(RealFileSystem().FileExists(dir + "\\trail "));
    EXPECT_EQ("trail.\r\n", test::ReadStored(dir + "\\trail."));
    EXPECT_TRUE(RealFileSystem().CopyFile(dir + "\\é.txt", dir + "\\表\\é.txt", false, nullptr));
    EXPECT_TRUE(RealFileSystem().MoveFile(dir + "\\表\\é.txt", dir + "\\表\\sub\\é.txt", false));
    EXPECT_EQ("\xEF\xBB\xBFé.txt\r\n", test::ReadFile(dir + "\\表\\sub\\é.txt"));
    EXPECT_TRUE(RealFileSystem().DeleteFile(dir + "\\表\\sub\\é.txt"));
    EXPECT_TRUE(RealFileSystem().RemoveDir(dir + "\\表\\sub"));
    EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(dir + "\\表\\sub"));
  }
}

// A move to another volume is a copy and a delete, and Windows deletes no
// read-only file. Under Wine another host file system is another volume.
TEST(Win32Moves, ReadOnlyFilesMoveToAnotherVolumeAndKeepTheirAttribute) {
  if (!RealFileSystem().DirectoryExists("Z:\\dev\\shm")) GTEST_SKIP() << "no second volume";
  test::TempDir local, other("Z:\\dev\\shm");
  for (const char* name : {"new", "old", "taken"}) {
    test::WriteFile(local / name, name);
    test::SetAttributes(local / name, FILE_ATTRIBUTE_READONLY);
  }
  test::WriteFile(other / "old", "older");
  test::SetAttributes(other / "old", FILE_ATTRIBUTE_READONLY);
  test::WriteFile(other / "taken", "there");
  EXPECT_TRUE(RealFileSystem().MoveFile(local / "new", other / "new", false));
  EXPECT_TRUE(RealFileSystem().MoveFile(local / "old", other / "old", true));
  // One that fails is left where it was, as it was.
  EXPECT_FALSE(RealFileSystem().MoveFile(local / "taken", other / "taken", false));
  EXPECT_EQ((Words{"taken"}), Names(local / "*", 0));
  EXPECT_EQ("new old there", test::ReadFile(other / "new") + " " + test::ReadFile(other / "old") +
                                 " " + test::ReadFile(other / "taken"));
  for (const std::string& path : {other / "new", other / "old", local / "taken"}) {
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, test::Attributes(path) & FILE_ATTRIBUTE_READONLY) << path;
  }
}

// A stage folder takes the read-only, hidden and system attributes of its
// source folder, each as the file system stores it (Wine keeps no read-only
// folder), when made and when done with; once done with, its last-write time
// too. A second call finds nothing to set and sets nothing: any set would
// move the folder's change time.
TEST(Win32Folders, TakeTheSourcesAttributesAndTimeAndSetNothingTwice) {
  constexpr uint32_t kKept =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const struct {
    const char* name;
    uint32_t source;  // asked for the source folder
    uint32_t stage;   // the stage folder's before the call
    bool done;        // MatchDirectory; KeepDirAttributes when false
  } kCases[] = {
      {"hidden and read-only", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, 0, true},
      {"system over hidden", FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN, true},
      {"none over hidden and system", 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, true},
      {"hidden when made, time left", FILE_ATTRIBUTE_HIDDEN, 0, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::TempDir t;
    const std::string from = t / "src", to = t / "bk1";
    test::MakeDirs(from);
    test::MakeDirs(to);
    test::SetLocalMTime(from, 2019, 5, 6, 7, 8, 10);
    test::SetLocalMTime(to, 2021, 1, 2);
    test::SetAttributes(from, c.source);
    test::SetAttributes(to, c.stage);
    const uint32_t want = test::Attributes(from) & kKept;
    ASSERT_NE(want, test::Attributes(to) & kKept);
    const std::string expectedTime = test::LocalMTime(c.done ? from : to);
    const auto call = [&] {
      return c.done ? RealFileSystem().MatchDirectory(from, to, 1)
                    : RealFileSystem().KeepDirAttributes(from, to, true);
    };
    ASSERT_TRUE(call());
    EXPECT_EQ(want, test::Attributes(to) & kKept);
    EXPECT_EQ(expectedTime, test::LocalMTime(to));
    const int64_t changed = test::ChangeTime(to);
    ASSERT_NE(0, changed);
    test::WaitPastChangeTime(changed);
    ASSERT_TRUE(call());
    EXPECT_EQ(changed, test::ChangeTime(to));
  }
}

// A copy whose source changed while it was made (grew, or took another
// last-write time) is discarded and made again, three times at most; the
// copy kept is one its source stood still for, and it carries the source's
// time. A source that changes under every try is told.
TEST(Win32Copy, ASourceThatChangesIsCopiedAgainAndToldWhenItKeepsChanging) {
  const struct {
    const char* name;
    int changes;  // the first copies made while the source changes
    bool grows;   // the change: more bytes, or only another time
    bool kept;
  } kCases[] = {
      {"still", 0, true, true},
      {"grew three times", 3, true, true},
      {"touched three times", 3, false, true},
      {"grew every time", 4, true, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::TempDir t;
    const std::string source = t / "source.txt";
    test::WriteFile(source, "v");
    const platform::win32::FileHandle watched(platform::win32::OpenToWatch(source));
    ASSERT_TRUE(watched.ok());
    int copies = 0;
    const auto copyOnce = [&] {
      const std::string name = t / ("copy" + std::to_string(++copies));
      if (copies <= c.changes && c.grows) test::WriteFile(source, std::string(copies + 1, 'v'));
      if (copies <= c.changes && !c.grows) test::SetLocalMTime(source, 2020, 1, copies);
      const std::wstring copy = platform::win32::SystemPath(name);
      return ::CopyFileW(platform::win32::SystemPath(source).c_str(), copy.c_str(), TRUE)
                 ? copy
                 : std::wstring();
    };
    uint64_t size = 0;
    const std::wstring kept = platform::win32::CopyWhileUnchanged(watched.get(), copyOnce, size);
    const DWORD error = ::GetLastError();
    EXPECT_EQ(std::min(c.changes + 1, 4), copies);
    const std::string last = "copy" + std::to_string(copies);
    if (!c.kept) {
      EXPECT_TRUE(kept.empty());
      EXPECT_EQ(platform::kChangedWhileCopied, error);
      EXPECT_EQ((Words{"source.txt"}), Names(t / "*.*", 0));  // every copy discarded
      continue;
    }
    EXPECT_EQ(platform::win32::SystemPath(t / last), kept);
    EXPECT_EQ((Words{last, "source.txt"}), Names(t / "*.*", 0));
    EXPECT_EQ(test::ReadFile(source), test::ReadFile(t / last));
    EXPECT_EQ(test::ReadFile(source).size(), size);
    EXPECT_EQ(test::LocalMTime(source), test::LocalMTime(t / last));
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

// Only what depends on a current directory is the system's to resolve;
// the names after it stay as they are stored.
TEST(Win32Names, SystemPathsKeepEveryNameAsStored) {
  std::wstring cwd(MAX_PATH, L'\0');
  cwd.resize(::GetCurrentDirectoryW(MAX_PATH, cwd.data()));
  if (cwd.back() != L'\\') cwd += L'\\';
  const struct {
    const char* path;
    std::wstring want;
  } kCases[] = {
      {"C:\\a\\dirdot.\\b ", L"\\\\?\\C:\\a\\dirdot.\\b "},
      {"C:\\a\\CON", L"\\\\?\\C:\\a\\CON"},
      {"C:/a//./x\\..\\aux.txt\\", L"\\\\?\\C:\\a\\aux.txt\\"},
      {"C:\\..\\..", L"\\\\?\\C:\\"},
      {"C:\\a\\*.*", L"\\\\?\\C:\\a\\*.*"},
      {"\\\\server\\share\\NUL", L"\\\\?\\UNC\\server\\share\\NUL"},
      {"\\\\?\\C:\\x.", L"\\\\?\\C:\\x."},
      {"rel.\\in", L"\\\\?\\" + cwd + L"rel.\\in"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.want, platform::win32::SystemPath(c.path)) << c.path;
}

// Below the run's roots a lookup matches an entry's long name (in any case),
// never another's 8.3 short name; the roots and other paths go by either.
TEST(Win32Names, ShortNamesNeverStandForAnotherEntryBelowTheRoots) {
  for (const bool folder : {false, true}) {
    test::TempDir t;
    const std::string full = t / "foobarbaz-long-name.txt";
    if (folder) test::MakeDirs(full);
    if (!folder) test::WriteFile(full, "long");
    const std::string shortPath = test::ShortPath(full);
    const std::string alias = t / shortPath.substr(shortPath.find_last_of('\\') + 1);
    if (shortPath.empty() || alias == full) GTEST_SKIP() << "no short names on this volume";
    EXPECT_EQ(!folder, RealFileSystem().FileExists(alias));  // no run: found by either name
    RealFileSystem().SetRoots({t.path()});
    DirEntry e;
    platform::FileTime time;
    EXPECT_FALSE(RealFileSystem().Find(alias, platform::faAnyFile, e));
    EXPECT_FALSE(RealFileSystem().FileExists(alias));
    EXPECT_FALSE(RealFileSystem().LastWriteTime(alias, time));
    EXPECT_FALSE(RealFileSystem().DirectoryExists(alias));
    EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(alias));
    if (folder) {
      test::WriteFile(full + "\\in.txt", "in");
      EXPECT_EQ(Words{}, Names(alias + "\\*.*", platform::faAnyFile));
    }
    EXPECT_EQ(folder ? platform::PathKind::Directory : platform::PathKind::File,
              RealFileSystem().KindOf(t / "FOOBARBAZ-Long-Name.TXT"));
    // A move that replaces what the name finds would replace another's file.
    test::WriteFile(t / "new", "new");
    EXPECT_FALSE(RealFileSystem().MoveFile(t / "new", alias, true));
    EXPECT_EQ(platform::win32::kShortNameTaken, ::GetLastError());
    if (!folder) {
      EXPECT_EQ("long", test::ReadFile(full));
    }
    RealFileSystem().SetRoots({});
  }
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

// A program below %ProgramFiles% or %SystemRoot% is installed, whatever the
// case its path is spelled in; a folder whose name only begins alike is not.
TEST(Win32InstalledProgram, BelowProgramFilesAndTheSystemRootOnly) {
  const auto env = [](const char* name) {
    char value[1024];
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n && n < sizeof value ? std::string(value, n) : std::string();
  };
  const std::string programs = env("ProgramFiles");
  const std::string system = env("SystemRoot");
  ASSERT_FALSE(programs.empty());
  ASSERT_FALSE(system.empty());
  std::string lower = programs;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  const struct {
    std::string dir;
    bool installed;
  } cases[] = {
      {programs + "\\Kovrel\\", true}, {lower + "\\Kovrel\\", true},
      {system + "\\System32\\", true}, {programs + " Extra\\Kovrel\\", false},
      {"C:\\Tools\\", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.installed, platform::InstalledProgramDirectory(c.dir)) << c.dir;
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
