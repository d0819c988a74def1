// Strings of the version resource: the first translation, the lengths, and
// the program's own values.
#include <gtest/gtest.h>

#include "Exceptions.h"
#include "VersionInfo.h"
#include "platform/Platform.h"
#include "platform/VersionBlock.h"

namespace {

using platform::VersionBlockContents;

std::string WithNul(const std::string& s) { return s + '\0'; }

TEST(ReadVersionString, TheProgramsOwnValues) {
  EXPECT_EQ(WithNul(platform::ProgramText(KOVREL_PRODUCT_NAME)), ReadVersionString(vkProductName));
  EXPECT_EQ(WithNul(platform::ProgramText(KOVREL_PRODUCT_VERSION)),
            ReadVersionString(vkProductVersion));
  EXPECT_EQ(WithNul(platform::ProgramText(KOVREL_FILE_VERSION)), ReadVersionString(vkFileVersion));
}

TEST(ReadVersionString, KeysTheResourceLacksAreEmpty) {
  EXPECT_EQ("", ReadVersionString(vkSpecialBuild));
  EXPECT_EQ("", ReadVersionString(vkComments));
  EXPECT_EQ("", ReadVersionString(-1));
  EXPECT_EQ("", ReadVersionString(12));
}

TEST(ReadVersionString, KeyTable) {
  EXPECT_STREQ("Comments", VersionKeyNames[vkComments]);
  EXPECT_STREQ("FileVersion", VersionKeyNames[3]);
  EXPECT_STREQ("OriginalFilename", VersionKeyNames[7]);
  EXPECT_STREQ("ProductName", VersionKeyNames[9]);
  EXPECT_STREQ("ProductVersion", VersionKeyNames[10]);
  EXPECT_STREQ("SpecialBuild", VersionKeyNames[vkSpecialBuild]);
}

VersionBlockContents Japanese(std::vector<std::pair<std::string, std::string>> strings) {
  VersionBlockContents contents;
  contents.tables.push_back({"041103A4", std::move(strings)});
  contents.translations = {0x03A40411u};
  return contents;
}

TEST(VersionStringFromBlock, WithoutATranslationTableEveryKeyFails) {
  VersionBlockContents contents = Japanese({{"ProductName", "GenBackup"}});
  contents.translations.clear();
  const auto block = platform::BuildVersionBlock(contents);
  for (const int key : {vkProductName, vkFileVersion, vkSpecialBuild}) {
    try {
      VersionStringFromBlock(block, key);
      ADD_FAILURE() << "no error for key " << key;
    } catch (const Exception& e) {
      EXPECT_STREQ("Exception", e.ClassName());
      EXPECT_EQ(platform::ProgramText("情報の取得に失敗しました"), e.Message());
    }
  }
}

TEST(VersionStringFromBlock, ReportedLengthCountsTheNul) {
  const auto block = platform::BuildVersionBlock(Japanese({{"FileVersion", "5.2.2.0"}}));
  const std::string v = VersionStringFromBlock(block, vkFileVersion);
  ASSERT_EQ(8u, v.size());
  EXPECT_EQ('\0', v.back());
  EXPECT_EQ("5.2.2.0", v.substr(0, 7));
}

TEST(VersionStringFromBlock, PaddedWithNulsToTheReportedLength) {
  // A value whose reported length runs past its first NUL.
  const auto block =
      platform::BuildVersionBlock(Japanese({{"Comments", std::string("abc\0\0", 5)}}));
  EXPECT_EQ(std::string("abc\0\0\0", 6), VersionStringFromBlock(block, vkComments));
}

TEST(VersionStringFromBlock, EmptyValueIsItsNul) {
  const auto block = platform::BuildVersionBlock(Japanese({{"ProductName", ""}}));
  EXPECT_EQ(std::string("\0", 1), VersionStringFromBlock(block, vkProductName));
}

TEST(VersionStringFromBlock, OnlyTheFirstTranslationIsRead) {
  VersionBlockContents contents;
  contents.tables.push_back({"040904E4", {{"ProductName", "English"}, {"SpecialBuild", "en"}}});
  contents.tables.push_back({"041103A4", {{"ProductName", "Japanese"}}});
  contents.translations = {0x03A40411u, 0x04E40409u};
  const auto block = platform::BuildVersionBlock(contents);
  EXPECT_EQ(WithNul("Japanese"), VersionStringFromBlock(block, vkProductName));
  // The second language's table is never looked at, even for a key the
  // first one lacks.
  EXPECT_EQ("", VersionStringFromBlock(block, vkSpecialBuild));

  contents.translations = {0x04E40409u, 0x03A40411u};
  const auto english = platform::BuildVersionBlock(contents);
  EXPECT_EQ(WithNul("English"), VersionStringFromBlock(english, vkProductName));
  EXPECT_EQ(WithNul("en"), VersionStringFromBlock(english, vkSpecialBuild));
}

TEST(VersionStringFromBlock, TableNameIsFourUpperCaseHexDigitsEach) {
  // Language 0x0C0A with code page 0x04E4, and a table under that name only.
  VersionBlockContents contents;
  contents.tables.push_back({"0C0A04E4", {{"ProductName", "Spanish"}}});
  contents.translations = {0x04E40C0Au};
  EXPECT_EQ(WithNul("Spanish"),
            VersionStringFromBlock(platform::BuildVersionBlock(contents), vkProductName));
  contents.tables[0].name = "C0A4E4";
  EXPECT_EQ("", VersionStringFromBlock(platform::BuildVersionBlock(contents), vkProductName));
}

TEST(VersionStringFromBlock, TranslationForAnotherLanguageFindsNoJapaneseTable) {
  VersionBlockContents contents = Japanese({{"ProductName", "GenBackup"}});
  contents.translations = {0x04B00409u};
  EXPECT_EQ("", VersionStringFromBlock(platform::BuildVersionBlock(contents), vkProductName));
}

}  // namespace
