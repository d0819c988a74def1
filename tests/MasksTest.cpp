// Mask compiling and matching under the CP932, UTF-8 and single-byte rules.
#include <gtest/gtest.h>

#include <random>

#include "Exceptions.h"
#include "Masks.h"
#include "MasksReference.h"

namespace {

using platform::CharRule;

constexpr CharRule kAllRules[] = {CharRule::Cp932, CharRule::Utf8, CharRule::SingleByte};

bool Fits(std::string_view name, std::string_view mask, CharRule rule) {
  return NameFitsMask(name, mask, rule);
}

// The position that the compiler reports for an invalid mask, 0 when it
// compiles. The message starts with the position.
size_t FaultAt(std::string_view mask, CharRule rule) {
  try {
    TMask m(mask, rule);
  } catch (const EMaskException& e) {
    return std::stoul(e.Message());
  }
  return 0;
}

std::string Repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// CP932 bytes of a few words.
const std::string kHyo932 = "\x95\x5C";              // 表 (trail is '\')
const std::string kShiryo932 = "\x8E\x91\x97\xBF";   // 資料
const std::string kGetsuji932 = "\x8C\x8E\x8E\x9F";  // 月次
const std::string kA932 = "\x83\x41";                // ア (trail is 'A')
// UTF-8 bytes of the same.
const std::string kHyo8 = "\xE8\xA1\xA8";
const std::string kShiryo8 = "\xE8\xB3\x87\xE6\x96\x99";
const std::string kGetsuji8 = "\xE6\x9C\x88\xE6\xAC\xA1";

TEST(Masks, StarsAndAnyBytes) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    for (const char* name : {"", "a", "README", ".profile", "x.y.z"}) {
      EXPECT_TRUE(Fits(name, "*", r)) << name;
      EXPECT_TRUE(Fits(name, "***", r)) << name;
      EXPECT_TRUE(Fits(name, "*?", r)) << name;
    }
    EXPECT_TRUE(Fits("", "", r));
    EXPECT_FALSE(Fits("a", "", r));

    EXPECT_FALSE(Fits("README", "*.*", r));
    EXPECT_TRUE(Fits("a.b", "*.*", r));
    EXPECT_TRUE(Fits("README.", "*.*", r));
    EXPECT_TRUE(Fits(".profile", "*.*", r));

    EXPECT_TRUE(Fits("a.txt", "*.txt", r));
    EXPECT_TRUE(Fits("A.TXT", "*.txt", r));
    EXPECT_TRUE(Fits("x.y.txt", "*.txt", r));
    EXPECT_FALSE(Fits("a.txt.bak", "*.txt", r));

    EXPECT_TRUE(Fits("abc", "a?c", r));
    EXPECT_TRUE(Fits("aXc", "a?c", r));
    EXPECT_FALSE(Fits("ac", "a?c", r));
    EXPECT_FALSE(Fits("abbc", "a?c", r));

    // "?" after "*" asks for nothing; before it, it asks for one byte.
    EXPECT_TRUE(Fits("a", "a*?", r));
    EXPECT_TRUE(Fits("ab", "a*??b", r));
    EXPECT_FALSE(Fits("ab", "a?*b", r));
    EXPECT_TRUE(Fits("axb", "a?*b", r));
    EXPECT_FALSE(Fits("a", "a?", r));
    EXPECT_FALSE(Fits("a", "a[!b]", r));
  }
}

TEST(Masks, StarsBacktrack) {
  for (const CharRule r : kAllRules) {
    // The first place a star's search stops is not always the right one.
    EXPECT_TRUE(Fits("aab", "*ab", r));
    EXPECT_TRUE(Fits("abab", "*ab", r));
    EXPECT_TRUE(Fits("abcbc", "a*bc", r));
    EXPECT_TRUE(Fits("xaxbxaxb", "*a*b*a*b", r));
    EXPECT_FALSE(Fits("xaxbxaxa", "*a*b*a*b", r));
    EXPECT_TRUE(Fits("abbc", "a*b*c", r));
    EXPECT_FALSE(Fits("acb", "a*b*c", r));
    EXPECT_TRUE(Fits("aaab", "*a*a*a*b", r));
    EXPECT_FALSE(Fits(std::string(3000, 'a'), "*a*a*a*b", r));
    EXPECT_TRUE(Fits(std::string(3000, 'a') + "b", "*a*a*a*b", r));
    // Thirty stars over a long name that almost fits: must answer, and soon.
    EXPECT_FALSE(Fits(std::string(250, 'a'), Repeat("*a", 29) + "*b", r));
    EXPECT_TRUE(Fits(std::string(250, 'a') + "b", Repeat("*a", 29) + "*b", r));
  }
}

TEST(Masks, SetsAndRanges) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    EXPECT_TRUE(Fits("Apple", "[a-c]*", r));
    EXPECT_TRUE(Fits("banana", "[a-c]*", r));
    EXPECT_TRUE(Fits("Cherry", "[a-c]*", r));
    EXPECT_FALSE(Fits("date", "[a-c]*", r));
    EXPECT_TRUE(Fits("date", "[!a-c]*", r));
    EXPECT_FALSE(Fits("apple", "[!a-c]*", r));
    EXPECT_FALSE(Fits("", "[!a-c]*", r));

    // "z" is taken as "Z": the range stops at "Z" and leaves "_" out.
    EXPECT_FALSE(Fits("_x", "[A-z]x", r));
    EXPECT_TRUE(Fits("zx", "[A-z]x", r));
    EXPECT_TRUE(Fits("a", "[A]", r));
    EXPECT_TRUE(Fits("A", "[a]", r));

    // The start of a range stays the previous member.
    EXPECT_TRUE(Fits("e", "[a-c-e]", r));
    EXPECT_TRUE(Fits("D", "[a-c-e]", r));
    EXPECT_FALSE(Fits("f", "[a-c-e]", r));
    // A range running backwards adds nothing; its start is still a member.
    EXPECT_TRUE(Fits("z", "[z-a]", r));
    EXPECT_FALSE(Fits("m", "[z-a]", r));
    // "]" may end a range, "!" inside a set is a member, "]" "!" "-" outside
    // a set are plain bytes.
    EXPECT_TRUE(Fits("\\", "[a-]]", r));
    EXPECT_TRUE(Fits("!", "[a!]", r));
    EXPECT_FALSE(Fits("!", "[!!]", r));
    EXPECT_TRUE(Fits("]!-", "]!-", r));
    // Bytes above 0x7F are members as they are.
    EXPECT_TRUE(Fits("\xFF", "[\x01-\xFF]", r));
  }
}

TEST(Masks, CaseFoldsOnlyAToZ) {
  for (const CharRule r : kAllRules) {
    EXPECT_TRUE(Fits("ABC.txt", "abc.TXT", r));
    EXPECT_FALSE(Fits("@", "`", r));  // 0x40 and 0x60 lie just outside a-z
    EXPECT_FALSE(Fits("[", "{", r));
  }
  // Latin-1 and full-width letters compare exactly.
  EXPECT_FALSE(Fits("\xC9", "\xE9", CharRule::SingleByte));
  EXPECT_FALSE(Fits("\xC9", "[\xE9]", CharRule::SingleByte));
  EXPECT_FALSE(Fits("\xEF\xBC\xA1", "\xEF\xBD\x81", CharRule::Utf8));  // Ａ, ａ
  EXPECT_FALSE(Fits("\x82\x60", "\x82\x81", CharRule::Cp932));         // Ａ, ａ
  // A trail byte in the letter range is not folded either.
  EXPECT_FALSE(Fits("\x82\x41", "\x82\x61", CharRule::Cp932));
  EXPECT_TRUE(Fits("\x82\x61", "\x82\x61", CharRule::Cp932));
}

TEST(Masks, DoubleByteLiteralsCp932) {
  const CharRule r = CharRule::Cp932;
  EXPECT_FALSE(Fits(kHyo932 + ".txt", "?.txt", r));
  EXPECT_TRUE(Fits(kHyo932 + ".txt", "??.txt", r));
  EXPECT_TRUE(Fits(kShiryo932 + "1.txt", kShiryo932 + "*", r));
  EXPECT_TRUE(Fits(kGetsuji932 + kShiryo932 + ".xls", "*" + kShiryo932 + "*", r));
  EXPECT_TRUE(Fits(kShiryo932, "*" + kShiryo932 + "*", r));
  EXPECT_TRUE(Fits(kHyo932, kHyo932, r));
  EXPECT_FALSE(Fits("\x95\x7C", kHyo932, r));

  // A single-byte element after "*" is searched byte by byte and can fit a
  // trail byte: "*A" takes the trail of ア.
  EXPECT_TRUE(Fits(kA932, "*A", r));
  EXPECT_TRUE(Fits(kA932, "*a", r));
  EXPECT_TRUE(Fits(kHyo932, "*\\", r));
  EXPECT_FALSE(Fits(kA932, "A", r));
  // A double-byte literal after "*" is searched a character at a time, so
  // it never starts on a trail byte: 月次 is 8C 8E | 8E 9F.
  EXPECT_FALSE(Fits(kGetsuji932, "*\x8E\x8E*", r));
  EXPECT_TRUE(Fits(kGetsuji932, "?*\x8E\x8E*", r));
  EXPECT_TRUE(Fits(kGetsuji932, "?\x8E\x8E?", r));
  // In a run of lead bytes the phase is set by where the search starts.
  EXPECT_TRUE(Fits("\x81\x81\x81\x81", "*\x81\x81", r));
  EXPECT_FALSE(Fits("\x81\x81\x81\x81", "?*\x81\x81", r));
  EXPECT_TRUE(Fits("\x81\x81\x81\x81\x81", "?*\x81\x81", r));
  // So a search that failed from one place may still succeed from a later
  // one out of phase with it: here only the second "a" leads to a match.
  const std::string name =
      "baba\x81"
      "a\x81\x81\x81";
  EXPECT_TRUE(Fits(name, "*a?*\x81\x81", r));
  EXPECT_TRUE(maskref::Match(maskref::Compile("*a?*\x81\x81", r), name, r));

  // Inside a set a double-byte character is stepped over, never a member.
  EXPECT_TRUE(Fits("a", "[" + kHyo932 + "a]", r));
  EXPECT_FALSE(Fits("\\", "[" + kHyo932 + "a]", r));
  EXPECT_FALSE(Fits("\x95", "[" + kHyo932 + "a]", r));
  // A lead byte ending a range is taken alone; its trail is a member.
  EXPECT_TRUE(Fits("\x90", "[a-" + kHyo932 + "]", r));
  EXPECT_TRUE(Fits("\\", "[a-" + kHyo932 + "]", r));
  EXPECT_FALSE(Fits("\x96", "[a-" + kHyo932 + "]", r));
}

TEST(Masks, MultiByteLiteralsUtf8) {
  const CharRule r = CharRule::Utf8;
  EXPECT_FALSE(Fits(kHyo8 + ".txt", "?.txt", r));
  EXPECT_TRUE(Fits(kHyo8 + ".txt", "???.txt", r));
  EXPECT_TRUE(Fits(kShiryo8 + "1.txt", kShiryo8 + "*", r));
  EXPECT_TRUE(Fits(kGetsuji8 + kShiryo8 + ".xls", "*" + kShiryo8 + "*", r));
  EXPECT_TRUE(Fits(kShiryo8, "*" + kShiryo8 + "*", r));
  EXPECT_FALSE(Fits(kGetsuji8, "*" + kShiryo8 + "*", r));
  EXPECT_TRUE(Fits("\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", r));  // four bytes, one literal
  EXPECT_TRUE(Fits("x\xF0\x9F\x98\x80y", "*\xF0\x9F\x98\x80*", r));
  // A single byte after "*" can fit inside a character, as in CP932.
  EXPECT_TRUE(Fits(kHyo8, "*\xA8", r));
  // In a set a character is stepped over, never a member.
  EXPECT_TRUE(Fits("a", "[" + kHyo8 + "a]", r));
  EXPECT_FALSE(Fits("\xA8", "[" + kHyo8 + "a]", r));
  // Bytes that form no character are single bytes everywhere.
  EXPECT_TRUE(Fits("\xE8", "[\xE8]", r));
  EXPECT_TRUE(
      Fits("\xE8"
           "a",
           "\xE8?", r));
}

TEST(Masks, SingleByteRuleHasNoDoubleByteCharacters) {
  const CharRule r = CharRule::SingleByte;
  EXPECT_TRUE(Fits(kHyo932 + ".txt", "??.txt", r));
  EXPECT_TRUE(Fits("\\", "[" + kHyo932 + "]", r));  // both bytes are members
  EXPECT_EQ(0u, FaultAt("[" + kHyo932 + "]", r));
  // Byte by byte, "*8E 8E*" finds the pair straddling the two characters.
  EXPECT_TRUE(Fits(kGetsuji932, "*\x8E\x8E*", r));
}

TEST(Masks, LoneLeadByteAtTheEnd) {
  // A mask cut in the middle of a character: the lead byte stands for itself.
  EXPECT_TRUE(Fits("a\x95", "a\x95", CharRule::Cp932));
  EXPECT_FALSE(Fits("a" + kHyo932, "a\x95", CharRule::Cp932));
  // Anywhere else a lead byte takes the next byte along, even a "*".
  EXPECT_FALSE(Fits("a" + kHyo932, "a\x95*", CharRule::Cp932));
  EXPECT_TRUE(Fits("a\x95*", "a\x95*", CharRule::Cp932));
  EXPECT_TRUE(Fits("\xE8\xA1", "\xE8\xA1", CharRule::Utf8));
  EXPECT_FALSE(Fits(kHyo8, "\xE8\xA1", CharRule::Utf8));
  // A name cut the same way: the search stops at its end.
  EXPECT_FALSE(Fits("ab\x95", "*" + kHyo932, CharRule::Cp932));
  EXPECT_FALSE(Fits("ab\xE8\xA1", "*" + kHyo8, CharRule::Utf8));
  // Inside a set the mask ends after the lead byte: the set is not closed.
  EXPECT_EQ(3u, FaultAt("[\x95", CharRule::Cp932));
  EXPECT_EQ(4u, FaultAt("[a\x95", CharRule::Cp932));
  EXPECT_EQ(4u, FaultAt("[\xE8\xA1", CharRule::Utf8));
}

TEST(Masks, FaultPositions) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    EXPECT_EQ(2u, FaultAt("[", r));
    EXPECT_EQ(3u, FaultAt("[!", r));
    EXPECT_EQ(2u, FaultAt("[]", r));
    EXPECT_EQ(3u, FaultAt("[!]", r));
    EXPECT_EQ(3u, FaultAt("a[-z]", r));
    EXPECT_EQ(2u, FaultAt("[-]", r));
    EXPECT_EQ(5u, FaultAt("[a-]", r));  // "]" ends the range; the set stays open
    EXPECT_EQ(4u, FaultAt("[a-", r));
    EXPECT_EQ(10u, FaultAt("*.txt[abc", r));
    EXPECT_EQ(0u, FaultAt("[a-]]", r));
    EXPECT_EQ(0u, FaultAt("]", r));
    EXPECT_EQ(0u, FaultAt("[z-a]", r));
    // The first fault met is the one reported.
    EXPECT_EQ(2u, FaultAt("[]x[", r));
  }
  EXPECT_EQ(4u, FaultAt("[" + kHyo932 + "]", CharRule::Cp932));
  EXPECT_EQ(5u, FaultAt("[" + kHyo8 + "]", CharRule::Utf8));
  EXPECT_EQ(4u, FaultAt("[" + kHyo932 + "-a]", CharRule::Cp932));  // no member before "-"
}

TEST(Masks, StarLimit) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    const std::string thirty = Repeat("*x", 30);
    EXPECT_EQ(0u, FaultAt(thirty, r));
    EXPECT_TRUE(Fits(std::string(30, 'x'), thirty, r));
    EXPECT_TRUE(Fits(Repeat("ax", 30), thirty, r));
    EXPECT_FALSE(Fits(std::string(29, 'x'), thirty, r));
    // The 31st starred element is reported at the byte that completes it.
    EXPECT_EQ(62u, FaultAt(thirty + "*x", r));
    EXPECT_EQ(62u, FaultAt(thirty + "*", r));  // the end element
    EXPECT_EQ(65u, FaultAt(thirty + "*[ab]", r));
    EXPECT_EQ(64u, FaultAt(thirty + "**?x", r));
    // Runs of "*" and a "?" after them count once.
    EXPECT_EQ(0u, FaultAt(Repeat("**?x", 30), r));
    EXPECT_EQ(0u, FaultAt(Repeat("*x", 29) + "*", r));
    // A fault in a set wins over the star limit, wherever it stands.
    EXPECT_EQ(64u, FaultAt(thirty + "*x[", r));
    EXPECT_EQ(64u, FaultAt(thirty + "*x[]", r));
  }
  EXPECT_EQ(63u, FaultAt(Repeat("*x", 30) + "*" + kHyo932, CharRule::Cp932));
  EXPECT_EQ(64u, FaultAt(Repeat("*x", 30) + "*" + kHyo8, CharRule::Utf8));
}

TEST(Masks, ErrorText) {
  try {
    NameFitsMask("a.txt", "[", CharRule::Cp932);
    FAIL() << "no error";
  } catch (const EMaskException& e) {
    EXPECT_STREQ("EMaskException", e.ClassName());
    EXPECT_EQ(platform::ProgramText("2 番目の文字（'['）は正しくないマスク文字です"), e.Message());
  }
  // The mask is inserted as typed, even when it looks like a placeholder.
  try {
    TMask m(std::string("%1:d%0:s["), CharRule::Utf8);
    FAIL() << "no error";
  } catch (const EMaskException& e) {
    EXPECT_EQ(platform::ProgramText("10 番目の文字（'%1:d%0:s['）は正しくないマスク文字です"),
              e.Message());
  }
  // The message has no final "." of its own; the fatal text adds one.
  const EMaskException e(platform::ProgramText("2 番目の文字（'['）は正しくないマスク文字です"));
  const std::string text = FormatFatalError(e, "kovrel");
  EXPECT_EQ(0u, text.find("Exception EMaskException in module kovrel at "));
  EXPECT_NE(std::string::npos, text.find(e.Message() + ".\r\n"));
}

// Every mask and name over a small alphabet rich in the bytes that matter
// (letters of both cases, set syntax, lead and trail bytes) agrees with the
// plain matcher, under every rule.
TEST(Masks, AgreesWithPlainMatcher) {
  const std::string maskBytes[] = {
      "*", "?", "a", "B", "[", "]", "-", "!", "\x81", "\x95\\", "\xE8\xA1\xA8", "\xA1", "A", "\\"};
  const std::string nameBytes[] = {"a",  "A",    "b",    "\x81", "\x95",
                                   "\\", "\xE8", "\xA1", "\xA8", "]"};
  std::mt19937 rng(20240601);
  for (const CharRule r : kAllRules) {
    for (int round = 0; round < 20000; ++round) {
      std::string mask, name;
      for (int i = rng() % 9; i > 0; --i) mask += maskBytes[rng() % std::size(maskBytes)];
      for (int i = rng() % 11; i > 0; --i) name += nameBytes[rng() % std::size(nameBytes)];
      const maskref::Compiled ref = maskref::Compile(mask, r);
      SCOPED_TRACE(::testing::PrintToString(mask) + " / " + ::testing::PrintToString(name));
      ASSERT_EQ(ref.error, FaultAt(mask, r));
      if (ref.error == 0) {
        ASSERT_EQ(maskref::Match(ref, name, r), Fits(name, mask, r));
      }
    }
  }
}

// Many stars and names that defeat the first choices, where cutting short
// the searches that cannot succeed matters.
TEST(Masks, AgreesWithPlainMatcherOnStarHeavyMasks) {
  const std::string maskBytes[] = {"*", "*", "a", "a", "?", "[a\x81]", "\x81\x81", "b"};
  const std::string nameBytes[] = {"a", "a", "a", "\x81", "b"};
  std::mt19937 rng(7);
  for (const CharRule r : kAllRules) {
    for (int round = 0; round < 20000; ++round) {
      std::string mask, name;
      for (int i = rng() % 12; i > 0; --i) mask += maskBytes[rng() % std::size(maskBytes)];
      for (int i = rng() % 16; i > 0; --i) name += nameBytes[rng() % std::size(nameBytes)];
      SCOPED_TRACE(::testing::PrintToString(mask) + " / " + ::testing::PrintToString(name));
      const maskref::Compiled ref = maskref::Compile(mask, r);
      ASSERT_EQ(ref.error, FaultAt(mask, r));
      if (ref.error == 0) {
        ASSERT_EQ(maskref::Match(ref, name, r), Fits(name, mask, r));
      }
    }
  }
}

}  // namespace
