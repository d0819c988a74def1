// Version blocks: the layout that is built is the one the platform's version
// library reads (VerQueryValueA under Windows, the POSIX reader elsewhere).
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Platform.h"
#include "platform/VersionBlock.h"

using platform::VersionBlockContents;

namespace {

VersionBlockContents SampleContents() {
  VersionBlockContents contents;
  platform::ParseVersionNumbers("5.2.2.0", contents.fileVersion);
  contents.tables.push_back(
      {"041103A4", {{"FileVersion", "5.2.2.0"}, {"ProductName", "GenBackup"}}});
  contents.tables.push_back({"040904E4", {{"Comments", "english"}}});
  contents.translations = {0x03A40411u, 0x04E40409u};
  return contents;
}

// The value and its reported length, through the platform's query and the
// portable reader alike; both must agree.
std::string Query(const std::vector<unsigned char>& block, const std::string& path, bool& found) {
  const void* v1 = nullptr;
  const void* v2 = nullptr;
  uint32_t len1 = 99, len2 = 99;
  found = platform::VersionQuery(block, path, v1, len1);
  const bool found2 = platform::QueryVersionBlock(block, path, v2, len2);
  EXPECT_EQ(found, found2) << path;
  EXPECT_EQ(len1, len2) << path;
  if (!found) return {};
  EXPECT_EQ(0, std::memcmp(v1, v2, len1)) << path;
  return std::string(static_cast<const char*>(v1), len1);
}

TEST(VersionBlock, StringsOfATableWithTheirTerminatingNul) {
  const auto block = platform::BuildVersionBlock(SampleContents());
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(0u, block.size() % 4);
  bool found = false;
  EXPECT_EQ(std::string("GenBackup\0", 10),
            Query(block, "\\StringFileInfo\\041103A4\\ProductName", found));
  EXPECT_TRUE(found);
  EXPECT_EQ(std::string("5.2.2.0\0", 8),
            Query(block, "\\StringFileInfo\\041103A4\\FileVersion", found));
  EXPECT_EQ(std::string("english\0", 8),
            Query(block, "\\StringFileInfo\\040904E4\\Comments", found));
}

TEST(VersionBlock, KeysIgnoreAsciiCase) {
  const auto block = platform::BuildVersionBlock(SampleContents());
  bool found = false;
  EXPECT_EQ(std::string("GenBackup\0", 10),
            Query(block, "\\stringfileinfo\\041103a4\\PRODUCTNAME", found));
  EXPECT_TRUE(found);
}

TEST(VersionBlock, TranslationTableListsEveryEntryInOrder) {
  const auto block = platform::BuildVersionBlock(SampleContents());
  bool found = false;
  const std::string t = Query(block, "\\VarFileInfo\\Translation", found);
  ASSERT_TRUE(found);
  EXPECT_EQ(std::string("\x11\x04\xA4\x03\x09\x04\xE4\x04", 8), t);
}

TEST(VersionBlock, RootHoldsTheFixedFileInfo) {
  const auto block = platform::BuildVersionBlock(SampleContents());
  bool found = false;
  const std::string fixed = Query(block, "\\", found);
  ASSERT_TRUE(found);
  ASSERT_EQ(52u, fixed.size());
  EXPECT_EQ(std::string("\xBD\x04\xEF\xFE", 4), fixed.substr(0, 4));
  // 5.2 and 2.0 as two 32-bit halves, most significant first.
  EXPECT_EQ(std::string("\x02\x00\x05\x00\x00\x00\x02\x00", 8), fixed.substr(8, 8));
}

TEST(VersionBlock, MissingPathsAreNotFound) {
  const auto block = platform::BuildVersionBlock(SampleContents());
  bool found = true;
  Query(block, "\\StringFileInfo\\041103A4\\SpecialBuild", found);
  EXPECT_FALSE(found);
  Query(block, "\\StringFileInfo\\041203A4\\ProductName", found);
  EXPECT_FALSE(found);
  // The English table's key is not in the Japanese one.
  Query(block, "\\StringFileInfo\\041103A4\\Comments", found);
  EXPECT_FALSE(found);
}

TEST(VersionBlock, WithoutTranslationsThereIsNoVarFileInfo) {
  VersionBlockContents contents = SampleContents();
  contents.translations.clear();
  const auto block = platform::BuildVersionBlock(contents);
  bool found = true;
  Query(block, "\\VarFileInfo\\Translation", found);
  EXPECT_FALSE(found);
  Query(block, "\\VarFileInfo", found);
  EXPECT_FALSE(found);
  EXPECT_EQ(std::string("GenBackup\0", 10),
            Query(block, "\\StringFileInfo\\041103A4\\ProductName", found));
}

TEST(VersionBlock, EmptyValueCountsItsNul) {
  VersionBlockContents contents;
  contents.tables.push_back({"041103A4", {{"ProductName", ""}, {"ProductVersion", "x"}}});
  contents.translations = {0x03A40411u};
  const auto block = platform::BuildVersionBlock(contents);
  bool found = false;
  EXPECT_EQ(std::string("\0", 1), Query(block, "\\StringFileInfo\\041103A4\\ProductName", found));
  EXPECT_EQ(std::string("x\0", 2),
            Query(block, "\\StringFileInfo\\041103A4\\ProductVersion", found));
}

TEST(VersionBlock, ValuesTooLongForTheLayoutGiveNoBlock) {
  VersionBlockContents contents;
  contents.tables.push_back({"041103A4", {{"Comments", std::string(70000, 'x')}}});
  EXPECT_TRUE(platform::BuildVersionBlock(contents).empty());
}

// The portable reader must stay inside any block it is given, cut or damaged.
TEST(VersionBlock, ReaderStaysInsideDamagedBlocks) {
  const auto whole = platform::BuildVersionBlock(SampleContents());
  for (size_t n = 0; n < whole.size(); ++n) {
    const std::vector<unsigned char> cut(whole.begin(), whole.begin() + static_cast<long>(n));
    const void* v = nullptr;
    uint32_t len = 0;
    if (platform::QueryVersionBlock(cut, "\\StringFileInfo\\041103A4\\ProductName", v, len)) {
      const auto* p = static_cast<const unsigned char*>(v);
      EXPECT_LE(p + len, cut.data() + cut.size()) << n;
    } else {
      EXPECT_EQ(nullptr, v);
      EXPECT_EQ(0u, len);
    }
  }
  for (size_t at = 0; at < whole.size(); ++at) {
    std::vector<unsigned char> damaged = whole;
    damaged[at] = 0xFF;
    const void* v = nullptr;
    uint32_t len = 0;
    if (platform::QueryVersionBlock(damaged, "\\VarFileInfo\\Translation", v, len)) {
      const auto* p = static_cast<const unsigned char*>(v);
      EXPECT_LE(p + len, damaged.data() + damaged.size()) << at;
    }
  }
}

TEST(VersionBlock, VersionNumbers) {
  uint16_t v[4];
  platform::ParseVersionNumbers("5.2.2.0", v);
  EXPECT_EQ((std::vector<int>{5, 2, 2, 0}), (std::vector<int>{v[0], v[1], v[2], v[3]}));
  platform::ParseVersionNumbers("1.10", v);
  EXPECT_EQ((std::vector<int>{1, 10, 0, 0}), (std::vector<int>{v[0], v[1], v[2], v[3]}));
  platform::ParseVersionNumbers("x.3..99999.7", v);
  EXPECT_EQ((std::vector<int>{0, 3, 0, 65535}), (std::vector<int>{v[0], v[1], v[2], v[3]}));
}

TEST(VersionBlock, OnlyTheRunningProgramHasABlockOfItsOwn) {
  const std::string self = platform::ExecutablePath();
  EXPECT_GT(platform::VersionInfoSize(self), 0u);
  std::vector<unsigned char> block;
  ASSERT_TRUE(platform::VersionInfo(self, block));
  EXPECT_EQ(platform::VersionInfoSize(self), block.size());
  const std::string missing = self + ".missing";
  EXPECT_EQ(0u, platform::VersionInfoSize(missing));
  EXPECT_FALSE(platform::VersionInfo(missing, block));
}

}  // namespace
