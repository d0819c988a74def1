// Stage-1 folders under Windows: every source folder has one, empty or not,
// with the source folder's last-write time and read-only, hidden and system
// attributes; a run with nothing to do sets none of them again.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

namespace {

constexpr uint32_t kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

TEST(FoldersWin32, StageOneFoldersTakeTheSourceFoldersTimesAndAttributesOnce) {
  test::TempDir tmp;
  const std::string exe = test::InstallProgram(tmp / "bin");
  test::WriteFile(tmp / "src/nest/deep/file.txt", "f");
  test::MakeDirs(tmp / "src/empty");
  const struct {
    const char* rel;
    int day;
    uint32_t attr;
  } kFolders[] = {
      {"empty", 2, FILE_ATTRIBUTE_HIDDEN},
      {"nest/deep", 3, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"nest", 4, FILE_ATTRIBUTE_READONLY},
  };
  for (const auto& f : kFolders) {
    const std::string source = tmp / (std::string("src/") + f.rel);
    test::SetLocalMTime(source, 2019, 6, f.day, 10, 20, 30);
    test::SetAttributes(source, f.attr);
  }
  const std::vector<std::string> args = {tmp / "src", tmp / "bk1", tmp / "bk2"};
  ASSERT_EQ(0, test::RunProgram(exe, args).exitCode);
  EXPECT_EQ("f", test::ReadFile(tmp / "bk1/nest/deep/file.txt"));

  int64_t latest = 0;
  std::vector<std::pair<std::string, int64_t>> before;
  for (const auto& f : kFolders) {
    SCOPED_TRACE(f.rel);
    const std::string source = tmp / (std::string("src/") + f.rel);
    const std::string stage = tmp / (std::string("bk1/") + f.rel);
    EXPECT_TRUE(test::IsDir(stage));
    EXPECT_EQ(test::LocalMTime(source), test::LocalMTime(stage));
    EXPECT_EQ(test::Attributes(source) & kKept, test::Attributes(stage) & kKept);
    before.emplace_back(test::LocalMTime(stage), test::ChangeTime(stage));
    latest = std::max(latest, before.back().second);
  }

  // Nothing changed: no folder's time or attributes are set again.
  test::WaitPastChangeTime(latest);
  ASSERT_EQ(0, test::RunProgram(exe, args).exitCode);
  for (size_t i = 0; i < std::size(kFolders); ++i) {
    SCOPED_TRACE(kFolders[i].rel);
    const std::string stage = tmp / (std::string("bk1/") + kFolders[i].rel);
    EXPECT_EQ(before[i].first, test::LocalMTime(stage));
    EXPECT_EQ(before[i].second, test::ChangeTime(stage));
  }
}

}  // namespace
