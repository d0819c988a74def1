// Input no one should type but anyone can: words of 100 000 bytes, thousands
// of mask items in one option, masks at the star limit, and characters cut in
// half or not characters at all at the ends of masks, dates and paths, under
// every character rule. Bytes are handed over in blocks of exactly their size
// where the code takes a view, so that the sanitizer build catches a read
// past the end that a std::string's spare capacity would hide.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Backup.h"
#include "Characters.h"
#include "CommandLine.h"
#include "Dates.h"
#include "DiskSpelling.h"
#include "Exceptions.h"
#include "Masks.h"
#include "support/TestSupport.h"

namespace {

using platform::CharRule;
using platform::DateValue;
using test::Opt;
using Words = std::vector<std::string>;

constexpr CharRule kAllRules[] = {CharRule::Cp932, CharRule::Utf8, CharRule::SingleByte};
constexpr size_t kLong = 100000;
const std::string d(1, platform::PathDelim);

// A copy of the bytes in a heap block of exactly their size.
class Exact {
 public:
  explicit Exact(std::string_view s) : bytes_(new char[s.size()]), size_(s.size()) {
    std::memcpy(bytes_.get(), s.data(), s.size());
  }
  operator std::string_view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_;
};

bool Fits(std::string_view name, std::string_view mask, CharRule rule) {
  const Exact n(name), m(mask);
  return NameFitsMask(n, m, rule);
}

// The position that an invalid mask is refused at, 0 when it compiles.
size_t FaultAt(std::string_view mask, CharRule rule) {
  const Exact m(mask);
  try {
    TMask compiled(m, rule);
  } catch (const EMaskException& e) {
    return std::stoul(e.Message());
  }
  return 0;
}

std::string Repeat(std::string_view s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

OptionSet Read(const Words& words) {
  OptionSet options;
  ReadArguments(words, options, [] { FAIL() << "no help option was given"; });
  return options;
}

DateValue Day(int y, int m, int dd) {
  return static_cast<DateValue>(platform::DayNumber(y, m, dd));
}

// Endings that are no whole character under at least one rule: lone lead
// bytes of CP932 and UTF-8, a UTF-8 sequence cut short, bytes that never begin
// a UTF-8 character, an overlong form and a surrogate. With the number of
// characters each is under CP932, UTF-8 and single bytes.
struct Ending {
  std::string bytes;
  int32_t chars[3];
};
const Ending kEndings[] = {
    {"\x81", {1, 1, 1}}, {"\x95", {1, 1, 1}},     {"\xFC", {1, 1, 1}},         {"\xE8", {1, 1, 1}},
    {"\xC3", {1, 1, 1}}, {"\xE8\xA1", {1, 2, 2}}, {"\xF0\x9F\x98", {2, 3, 3}}, {"\x80", {1, 1, 1}},
    {"\xFF", {1, 1, 1}}, {"\xC0\xAF", {2, 2, 2}}, {"\xED\xA0\x80", {2, 3, 3}},
};

int32_t CharsOf(const Ending& e, CharRule rule) {
  return e.chars[rule == CharRule::Cp932 ? 0 : rule == CharRule::Utf8 ? 1 : 2];
}

TEST(HostileArguments, HundredThousandByteWords) {
  const std::string dir(kLong, 'd');
  const std::string dirWithDelim = std::string(kLong - 1, 'e') + d;
  const std::string mask = std::string(kLong - 2 - 5, '*') + "a.txt";
  const std::string zeros(kLong - 2 - 8, '0');
  const OptionSet o = Read({dir, Opt("N") + mask, dirWithDelim, Opt("D") + zeros + "2006-4-1"});
  EXPECT_EQ((Words{dir + d, dirWithDelim}), o.dirList);
  EXPECT_EQ(Words{mask}, o.includeMasks);
  // Leading zeros do no harm, however many.
  EXPECT_EQ(Day(2006, 4, 1), o.firstDay);
  EXPECT_EQ(Day(2006, 4, 1), o.lastDay);

  // Fifty thousand separators: the open range from the first date, the rest
  // after its third separator ignored.
  const OptionSet open = Read({Opt("D") + Repeat("1-", (kLong - 2) / 2)});
  EXPECT_EQ(Day(2001, 1, 1), open.firstDay);
  EXPECT_EQ(OptionSet().lastDay, open.lastDay);

  // Digits alone: one field, no date, nothing set.
  const OptionSet nines = Read({Opt("D") + std::string(kLong - 2, '9')});
  EXPECT_EQ(OptionSet().firstDay, nines.firstDay);
  EXPECT_EQ(OptionSet().lastDay, nines.lastDay);
}

TEST(HostileArguments, TenThousandMaskItemsInOneOption) {
  Words items;
  std::string value;
  for (int i = 0; i < 10000; ++i) {
    items.push_back(i % 100 == 0 ? std::string() : "*." + std::to_string(i));
    value += (i > 0 ? ";" : "") + items.back();
  }
  const OptionSet o = Read({Opt("N") + value, Opt("e") + value + ";"});
  EXPECT_EQ(items, o.includeMasks);
  EXPECT_EQ(items, o.excludeMasks);  // the final ";" adds nothing

  const OptionSet empties = Read({Opt("N") + std::string(10000, ';')});
  EXPECT_EQ(Words(10000, ""), empties.includeMasks);
}

TEST(HostileMasks, HundredThousandByteMasks) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    const std::string stars(kLong, '*');  // one star, however long the run
    EXPECT_TRUE(Fits(std::string(kLong, 'q'), stars, r));
    EXPECT_TRUE(Fits("", stars, r));

    const std::string anyBytes(kLong, '?');
    EXPECT_TRUE(Fits(std::string(kLong, 'q'), anyBytes, r));
    EXPECT_FALSE(Fits(std::string(kLong - 1, 'q'), anyBytes, r));
    EXPECT_FALSE(Fits(std::string(kLong + 1, 'q'), anyBytes, r));

    const std::string tail = "*" + std::string(kLong - 1, 'a');
    EXPECT_TRUE(Fits(std::string(kLong - 1, 'A'), tail, r));
    EXPECT_TRUE(Fits("x" + std::string(kLong - 1, 'a'), tail, r));
    EXPECT_FALSE(Fits(std::string(kLong - 1, 'b'), tail, r));

    // The set never closes: refused just past the end of the mask.
    EXPECT_EQ(kLong + 1, FaultAt("[" + std::string(kLong - 1, 'a'), r));

    // A name that almost fits at every start, for every star.
    EXPECT_FALSE(Fits(std::string(kLong, 'a'), "*a*a*a*b", r));
  }
}

TEST(HostileMasks, StarLimitInALongMask) {
  const std::string atLimit = Repeat("*x", TMask::MaxStars) + std::string(kLong - 61, 'y');
  ASSERT_EQ(kLong - 1, atLimit.size());
  const std::string overLimit = atLimit + "*";
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    EXPECT_EQ(0u, FaultAt(atLimit, r));
    EXPECT_TRUE(Fits(Repeat("ax", TMask::MaxStars) + std::string(kLong - 61, 'Y'), atLimit, r));
    // The 31st star is the end element's, completed just past the mask.
    EXPECT_EQ(kLong + 1, FaultAt(overLimit, r));
  }
  try {
    NameFitsMask("a.txt", overLimit, CharRule::Utf8);
    FAIL() << "no error";
  } catch (const EMaskException& e) {
    EXPECT_EQ(std::to_string(kLong + 1) + platform::ProgramText(" 番目の文字（'") + overLimit +
                  platform::ProgramText("'）は正しくないマスク文字です"),
              e.Message());
  }
}

TEST(HostileMasks, BrokenCharactersAtTheEnd) {
  for (const CharRule r : kAllRules) {
    for (const Ending& end : kEndings) {
      const std::string& t = end.bytes;
      SCOPED_TRACE(::testing::PrintToString(t) + " rule " + std::to_string(static_cast<int>(r)));
      // Without wildcards a mask fits the same bytes, and only them.
      EXPECT_TRUE(Fits("a" + t, "a" + t, r));
      EXPECT_TRUE(Fits("A" + t, "a" + t, r));
      EXPECT_FALSE(Fits("a", "a" + t, r));
      EXPECT_FALSE(Fits("a" + t + "x", "a" + t, r));
      EXPECT_FALSE(Fits("a" + t.substr(0, t.size() - 1), "a" + t, r));
      // After a star, a set or "?", the ending is searched for or compared.
      EXPECT_TRUE(Fits("xyz" + t, "*" + t, r));
      EXPECT_FALSE(Fits("xyz", "*" + t, r));
      EXPECT_TRUE(Fits("b" + t, "[a-c]" + t, r));
      EXPECT_TRUE(Fits("?" + t, "?" + t, r));
      // Cut inside a set: the set never closes.
      EXPECT_EQ(t.size() + 2, FaultAt("[" + t, r));
      EXPECT_EQ(t.size() + 3, FaultAt("[a" + t, r));
      // A name that ends the same way, against masks that want more.
      EXPECT_FALSE(Fits("ab" + t, "*" + t + "x", r));
      EXPECT_FALSE(Fits("ab" + t, "ab??????", r));
    }
  }
}

TEST(HostileDates, HundredThousandByteValues) {
  for (const CharRule r : kAllRules) {
    SCOPED_TRACE(static_cast<int>(r));
    std::string text = std::string(kLong - 8, '0') + "2006-4-1";
    DateValue date = -1;
    EXPECT_TRUE(ReadDate(text, date, r));
    EXPECT_EQ(Day(2006, 4, 1), date);
    EXPECT_EQ(kLong, text.size());  // no third separator: left as it was

    text = "06-04-01" + std::string(kLong - 8, '/');
    EXPECT_TRUE(ReadDate(text, date, r));
    EXPECT_EQ(std::string(kLong - 8, '/'), text);

    DateValue first = 1, last = 2;
    HandleDateOption(std::string(kLong, '-'), first, last, r);
    EXPECT_EQ(1, first);
    EXPECT_EQ(2, last);
  }
}

TEST(HostileDates, BrokenCharactersAtTheEnd) {
  const DateValue day = Day(2006, 4, 1);
  for (const CharRule r : kAllRules) {
    for (const Ending& end : kEndings) {
      const std::string& t = end.bytes;
      SCOPED_TRACE(::testing::PrintToString(t) + " rule " + std::to_string(static_cast<int>(r)));
      // The ending is the third separator: the date is read and the rest
      // begins there.
      std::string text = "06-04-01" + t;
      DateValue date = -1;
      EXPECT_TRUE(ReadDate(text, date, r));
      EXPECT_EQ(day, date);
      EXPECT_EQ(t, text);

      DateValue first = 1, last = 2;
      HandleDateOption("06-04-01" + t, first, last, r);
      EXPECT_EQ(day, first);
      EXPECT_EQ(day, last);
      // A second date that is only the ending fails: the first day alone.
      first = 1, last = 2;
      HandleDateOption("06-04-01-" + t, first, last, r);
      EXPECT_EQ(day, first);
      EXPECT_EQ(2, last);
      first = 1, last = 2;
      HandleDateOption("-06-04-01" + t, first, last, r);
      EXPECT_EQ(1, first);
      EXPECT_EQ(day, last);
      // The ending alone is no date.
      first = 1, last = 2;
      HandleDateOption(t, first, last, r);
      HandleDateOption("-" + t, first, last, r);
      EXPECT_EQ(1, first);
      EXPECT_EQ(2, last);
    }
  }
}

TEST(HostilePaths, CharacterHelpersAtBrokenEndings) {
  for (const CharRule r : kAllRules) {
    for (const Ending& end : kEndings) {
      const std::string& t = end.bytes;
      SCOPED_TRACE(::testing::PrintToString(t) + " rule " + std::to_string(static_cast<int>(r)));
      const std::string path = "C:" + d + "dir" + d + "name" + t;
      const Exact p(path);
      const int32_t n = CharCount(p, r);
      EXPECT_EQ(11 + CharsOf(end, r), n);
      EXPECT_EQ(3, CharPos(d, p, r));
      EXPECT_EQ(0, CharPos(d + "x", p, r));
      const std::string last = LastChar(p, r);
      EXPECT_FALSE(last.empty());
      EXPECT_TRUE(t.ends_with(last));
      EXPECT_EQ(last, CharCopy(p, n, MaxCount, r));
      EXPECT_EQ(last, CharCopy(p, n, 5, r));
      EXPECT_EQ("", CharCopy(p, n + 1, MaxCount, r));
      EXPECT_EQ("name" + t, CharCopy(p, 8, MaxCount, r));
      EXPECT_EQ(t, CharCopy(p, 12, MaxCount - 1, r));
      // Character by character, the walk ends exactly at the last byte.
      size_t q = 0;
      int32_t steps = 0;
      for (; q < path.size(); ++steps) q += CharLength(p, q, r);
      EXPECT_EQ(path.size(), q);
      EXPECT_EQ(n, steps);
    }
  }
}

TEST(HostilePaths, BrokenEndingsOfDirectoriesAndTheProgramsPath) {
  test::TempDir tmp;
  test::WriteFile(tmp / "Tools/Kovrel.exe", "x");
  platform::FileSystem& fs = platform::RealFileSystem();
  for (const Ending& end : kEndings) {
    const std::string& t = end.bytes;
    SCOPED_TRACE(::testing::PrintToString(t));
    // A directory word gets its separator: its last character is no separator.
    EXPECT_EQ(Words{"bk" + t + d}, Read({"bk" + t}).dirList);

    std::string dir, base;
    SplitExecutablePath(d + "Tools" + d + "kovrel" + t, dir, base);
    EXPECT_EQ(d + "Tools" + d, dir);
    EXPECT_EQ("kovrel" + t, base);

    // Names that are on no disk: the spelling stops before them.
    EXPECT_EQ(tmp / "Tools" + d, DiskSpelling(fs, tmp / "Tools" + d + "missing" + t));
    EXPECT_EQ(tmp.path() + d, DiskSpelling(fs, tmp / "Tools" + t + d + "Kovrel.exe"));
  }
}

}  // namespace
