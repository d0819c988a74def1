// Character helpers under the CP932, UTF-8 and single-byte rules.
#include <gtest/gtest.h>

#include "Characters.h"

namespace {

const std::string t =
    "a\x95\x5C"
    "b";  // a, a double-byte character ending in 0x5C, b
const std::string u = "a\x95\x5C";

TEST(Characters, Cp932Examples) {
  const CharRule r = CharRule::Cp932;
  EXPECT_EQ(3, CharCount(t, r));
  EXPECT_EQ("\x95\x5C", CharCopy(t, 2, 1, r));
  EXPECT_EQ("b", CharCopy(t, 3, 5, r));
  EXPECT_EQ("", CharCopy(t, 0, 2, r));
  EXPECT_EQ(
      "\x95\x5C"
      "b",
      CharCopy(t, 2, MaxCount, r));
  EXPECT_EQ("", CharCopy(t, 4, MaxCount, r));
  EXPECT_EQ("\x95\x5C", LastChar(u, r));
  EXPECT_EQ(0, CharPos("\\", u, r));
  EXPECT_EQ(2, CharPos("\\", "a\\b", r));
  EXPECT_EQ(2, CharCount("a\x95", r));
  EXPECT_EQ("\x95", LastChar("a\x95", r));
}

TEST(Characters, SingleByteRule) {
  const CharRule r = CharRule::SingleByte;
  EXPECT_EQ(4, CharCount(t, r));
  EXPECT_EQ("\\", LastChar(u, r));
  EXPECT_EQ(3, CharPos("\\", u, r));
  EXPECT_EQ("\x95", CharCopy(t, 2, 1, r));
}

TEST(Characters, Utf8Rule) {
  const CharRule r = CharRule::Utf8;
  const std::string kanji = "\xE8\xA1\xA8";  // one three-byte character
  const std::string s = "a" + kanji + "b";
  EXPECT_EQ(3, CharCount(s, r));
  EXPECT_EQ(kanji, CharCopy(s, 2, 1, r));
  EXPECT_EQ("b", CharCopy(s, 3, 5, r));
  EXPECT_EQ(kanji + "b", CharCopy(s, 2, MaxCount, r));
  EXPECT_EQ(kanji, LastChar("a" + kanji, r));
  EXPECT_EQ(3, CharPos("b", s, r));
  // A lone lead byte and a broken sequence are single bytes.
  EXPECT_EQ(2, CharCount("a\xE8", r));
  EXPECT_EQ("\xE8", LastChar("a\xE8", r));
  EXPECT_EQ(3, CharCount("\xE8\xA1"
                         "b",
                         r));
  // Overlong forms and surrogates are not characters.
  EXPECT_EQ(2, CharCount("\xC0\xAF", r));
  EXPECT_EQ(3, CharCount("\xED\xA0\x80", r));
  EXPECT_EQ(1, CharCount("\xF0\x9F\x98\x80", r));
}

TEST(Characters, CopyBoundsNeverReadPastTheString) {
  for (const CharRule r : {CharRule::Cp932, CharRule::Utf8, CharRule::SingleByte}) {
    EXPECT_EQ("", CharCopy("", 1, 1, r));
    EXPECT_EQ("", CharCopy("", 1, MaxCount, r));
    EXPECT_EQ("", CharCopy("abc", -5, MaxCount, r));
    EXPECT_EQ("", CharCopy("abc", 1, 0, r));
    EXPECT_EQ("", CharCopy("abc", 1, -1, r));
    EXPECT_EQ("abc", CharCopy("abc", 1, MaxCount - 1, r));  // no overflow of i + n
    EXPECT_EQ("c", CharCopy("abc", 3, MaxCount - 1, r));
    EXPECT_EQ("", LastChar("", r));
    EXPECT_EQ(0, CharPos("", "", r));
    EXPECT_EQ(1, CharPos("", "x", r));
    EXPECT_EQ(0, CharPos("abcd", "abc", r));
  }
}

// CharPos and CharCopy split a string at a one-byte separator.
TEST(Characters, SplitAtSeparator) {
  const CharRule r = CharRule::Cp932;
  const std::string s = "C:\\\x95\x5C\\x";
  const int32_t k = CharPos("\\", s, r);
  EXPECT_EQ(3, k);
  EXPECT_EQ("C:", CharCopy(s, 1, k - 1, r));
  const std::string rest = CharCopy(s, k + 1, MaxCount, r);
  EXPECT_EQ("\x95\x5C\\x", rest);
  EXPECT_EQ(2, CharPos("\\", rest, r));
}

}  // namespace
