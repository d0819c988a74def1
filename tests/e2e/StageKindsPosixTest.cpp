// Real stages of other kinds, each on a loop image: exFAT through
// exfat-fuse (no rename flags, no links, no O_TMPFILE, no owners, bits or
// fifos, a clock of 1 s) and NTFS through ntfs-3g (no bits). Every file is
// named, a run with nothing changed copies nothing, generations rotate, and
// what the stage cannot keep is told once, as no failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/LoopStage.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Kind = test::LoopStage::Kind;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class StageKinds : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    stage_ = std::make_unique<test::LoopStage>(GetParam(), tmp_.path());
    if (!stage_->Why().empty()) GTEST_SKIP() << stage_->Why();
    exe_ = test::InstallProgram(tmp_ / "bin");
  }
  void TearDown() override { stage_.reset(); }

  std::string S(const std::string& rel) const { return stage_->Mount() + "/" + rel; }
  test::ProgramRun Run() { return test::RunProgram(exe_, {tmp_ / "src", S("1"), S("2"), "-M"}); }
  bool ExFat() const { return GetParam() == Kind::ExFat; }

  test::TempDir tmp_;
  std::unique_ptr<test::LoopStage> stage_;
  std::string exe_;
};

void SetTime(const std::string& path, time_t sec, long nsec) {
  const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

int64_t MTime(const std::string& path) {
  struct stat st = {};
  ::stat(path.c_str(), &st);
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

TEST_P(StageKinds, EveryFileIsNamedANoChangeRunCopiesNothingAndGenerationsRotate) {
  const std::string files[] = {"a.txt", "d/b.txt", "d/e/c.bin", "h1", "d/h2"};
  test::MakeDirs(tmp_ / "src/d/e");
  test::WriteFile(tmp_ / "src/a.txt", "first");
  test::WriteFile(tmp_ / "src/d/b.txt", "bee");
  test::WriteFile(tmp_ / "src/d/e/c.bin", std::string(300000, 'c'));
  test::WriteFile(tmp_ / "src/h1", "one file, two names");
  fs::create_hard_link(tmp_ / "src/h1", tmp_ / "src/d/h2");
  ASSERT_TRUE(test::MakeFifo(tmp_ / "src/p"));
  ::chmod((tmp_ / "src/a.txt").c_str(), 0600);
  for (const std::string& f : files) SetTime(tmp_ / ("src/" + f), 1700000001, 123456789);
  SetTime(tmp_ / "src/d/e", 1600000003, 987654321);

  const int64_t step = ExFat() ? 1000000000 : 100;
  const test::ProgramRun first = Run();
  EXPECT_EQ(0, first.exitCode) << first.stderrText;
  for (const std::string& f : files) {
    EXPECT_EQ(test::ReadFile(tmp_ / ("src/" + f)), test::ReadFile(S("1/" + f))) << f;
    // Cut to the stage's clock: 1 s through exfat-fuse, 100 ns on NTFS.
    EXPECT_EQ(1700000001123456789 / step * step, MTime(S("1/" + f))) << f;
  }
  // A directory keeps its time where the stage keeps no bits.
  EXPECT_EQ(1600000003987654321 / step * step, MTime(S("1/d/e")));
  EXPECT_EQ(!ExFat(), fs::exists(fs::symlink_status(S("1/p"))));
  EXPECT_EQ(!ExFat(), fs::equivalent(S("1/h1"), S("1/d/h2")));
  const std::string told = S("1") + ": keeps no ";
  EXPECT_EQ(1u, Count(first.stderrText, told + "permission bits")) << first.stderrText;
  EXPECT_EQ(ExFat() ? 1u : 0u, Count(first.stderrText, told + "hard links"));
  EXPECT_EQ(ExFat() ? 1u : 0u, Count(first.stderrText, told + "fifos"));
  EXPECT_EQ(0u, Count(first.stderrText, "failed"));
  EXPECT_EQ(1u, Count(test::ReadFile(test::ReportPath(exe_, 1)), "notice  " + told + "perm"));

  const test::ProgramRun again = Run();
  EXPECT_EQ(0, again.exitCode) << again.stderrText;
  EXPECT_EQ(0u, Count(test::ReadFile(test::ReportPath(exe_, 2)), "copied  "));
  EXPECT_FALSE(fs::exists(S("2")));

  test::WriteFile(tmp_ / "src/a.txt", "second, longer");
  const test::ProgramRun rotated = Run();
  EXPECT_EQ(0, rotated.exitCode) << rotated.stderrText;
  EXPECT_EQ("second, longer", test::ReadFile(S("1/a.txt")));
  EXPECT_EQ("first", test::ReadFile(S("2/a.txt")));
  EXPECT_EQ((std::vector<std::string>{"a.txt"}), test::ListTree(S("2")));
}

// What exFAT cannot hold at all: a symbolic link, and names with characters
// it refuses. Each is told failed (exit 2); everything else is backed up and
// nothing moves down for them.
TEST_P(StageKinds, WhatExFatCannotHoldFailsAndMovesNothing) {
  if (!ExFat()) GTEST_SKIP() << "NTFS through ntfs-3g holds links and such names";
  test::MakeDirs(tmp_ / "src");
  test::WriteFile(tmp_ / "src/kept", "kept");
  test::WriteFile(tmp_ / "src/a:b", "colon");
  test::WriteFile(tmp_ / "src/q?", "question");
  ASSERT_EQ(0, ::symlink("kept", (tmp_ / "src/link").c_str()));
  for (int run = 1; run <= 2; ++run) {
    const test::ProgramRun r = Run();
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ(3u, Count(r.stderrText, "failed  ")) << r.stderrText;
    EXPECT_EQ(2u, Count(r.stderrText, "\tthe stage refuses this name\n")) << r.stderrText;
  }
  EXPECT_EQ("kept", test::ReadFile(S("1/kept")));
  EXPECT_FALSE(fs::exists(S("2")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, StageKinds, ::testing::Values(Kind::ExFat, Kind::Ntfs),
                         [](const auto& info) { return test::LoopStage::Name(info.param); });

}  // namespace
