// On-disk spelling where the file system has short aliases and hidden and
// system attributes of its own.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#undef CopyFile
#undef MoveFile
#undef DeleteFile

#include <gtest/gtest.h>

#include "DiskSpelling.h"
#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

namespace {

void AddAttributes(const std::string& path, DWORD attr) {
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), ::GetFileAttributesA(path.c_str()) | attr));
}

class DiskSpellingWin32 : public ::testing::Test {
 protected:
  std::string Spell(const std::string& path) {
    return DiskSpelling(platform::RealFileSystem(), path);
  }
  test::TempDir tmp;
};

TEST_F(DiskSpellingWin32, ShortAliasesGiveTheLongNames) {
  const std::string full = tmp / "Long Directory Name/Kovrel Program.exe";
  test::WriteFile(full, "x");
  const std::string alias = test::ShortPath(full);
  ASSERT_FALSE(alias.empty());
  if (alias == full) GTEST_SKIP() << "no short names on this volume";
  EXPECT_EQ(full, Spell(alias));
}

TEST_F(DiskSpellingWin32, SystemDirectoryOnTheWayStops) {
  test::WriteFile(tmp / "Data/Sys/Kovrel.exe", "x");
  AddAttributes(tmp / "Data/Sys", FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(tmp / "Data\\", Spell(tmp / "Data/Sys/Kovrel.exe"));
}

TEST_F(DiskSpellingWin32, HiddenAttributeOnTheWayStops) {
  test::WriteFile(tmp / "Data/Hidden/Kovrel.exe", "x");
  AddAttributes(tmp / "Data/Hidden", FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(tmp / "Data\\", Spell(tmp / "Data/Hidden/Kovrel.exe"));
}

TEST_F(DiskSpellingWin32, HiddenOrSystemLastComponentIsFound) {
  test::WriteFile(tmp / "Data/Kovrel.exe", "x");
  AddAttributes(tmp / "Data/Kovrel.exe", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(tmp / "Data/Kovrel.exe", Spell(tmp / "Data/KOVREL.EXE"));
}

TEST_F(DiskSpellingWin32, ReadOnlyDirectoryOnTheWayIsFollowed) {
  test::WriteFile(tmp / "Data/Kept/Kovrel.exe", "x");
  AddAttributes(tmp / "Data/Kept", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(tmp / "Data/Kept/Kovrel.exe", Spell(tmp / "data/kept/kovrel.exe"));
}

}  // namespace
