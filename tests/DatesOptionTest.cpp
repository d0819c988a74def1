// The date-range option: which of the two days each form of the value sets.
#include <gtest/gtest.h>

#include "Backup.h"
#include "CommandLine.h"
#include "Dates.h"
#include "support/TestSupport.h"

namespace {

using platform::CharRule;
using platform::DateValue;

DateValue Day(int y, int m, int d) { return static_cast<DateValue>(platform::DayNumber(y, m, d)); }

// Two days that no value below can produce, to see what was left alone.
const DateValue kFirst = Day(1901, 2, 3);
const DateValue kLast = Day(2098, 7, 6);

struct Range {
  DateValue first = kFirst;
  DateValue last = kLast;
  bool operator==(const Range&) const = default;
};

void PrintTo(const Range& r, std::ostream* os) { *os << r.first << ".." << r.last; }

Range Apply(const std::string& value, CharRule rule = CharRule::Utf8) {
  Range r;
  HandleDateOption(value, r.first, r.last, rule);
  return r;
}

Range Days(DateValue first, DateValue last) { return {first, last}; }

TEST(DateOption, FourForms) {
  EXPECT_EQ(Days(Day(1994, 4, 3), Day(1994, 4, 3)), Apply("94-04-03"));
  EXPECT_EQ(Days(Day(2006, 4, 1), kLast), Apply("06-04-01-"));
  EXPECT_EQ(Days(kFirst, Day(2006, 4, 1)), Apply("-06-04-01"));
  EXPECT_EQ(Days(Day(2006, 4, 1), Day(2006, 4, 30)), Apply("06-04-01-06-04-30"));
  // Days after 2099 in every form.
  EXPECT_EQ(Days(Day(2108, 1, 1), Day(2108, 1, 1)), Apply("2108-01-01"));
  EXPECT_EQ(Days(Day(2108, 1, 1), kLast), Apply("2108-01-01-"));
  EXPECT_EQ(Days(kFirst, Day(2100, 1, 1)), Apply("-2100-1-1"));
  EXPECT_EQ(Days(Day(2099, 12, 31), Day(2108, 1, 1)), Apply("2099-12-31-2108-1-1"));
}

TEST(DateOption, RangeWithMultiByteSeparators) {
  // 1960/00006/14-1961年9月28, as typed in a UTF-8 terminal and in CP932.
  const Range expected = Days(22081, 22552);
  EXPECT_EQ(expected, Apply("1960/00006/14-1961\xE5\xB9\xB4"
                            "9\xE6\x9C\x88"
                            "28",
                            CharRule::Utf8));
  EXPECT_EQ(expected, Apply("1960/00006/14-1961\x94\x4E"
                            "9\x8C\x8E"
                            "28",
                            CharRule::Cp932));
}

TEST(DateOption, WhichCaseWins) {
  // A leading "-" wins over a trailing one, and the trailing one is ignored.
  EXPECT_EQ(Days(kFirst, Day(2006, 4, 1)), Apply("-06-04-01-"));
  // A trailing "-" makes it the open range, whatever follows the first date.
  EXPECT_EQ(Days(Day(2006, 4, 1), kLast), Apply("06-04-01-06-04-30-"));
  // Only "-" opens the second date; any other rest makes a single day.
  EXPECT_EQ(Days(Day(2006, 4, 1), Day(2006, 4, 1)), Apply("06.04.01.06.04.30"));
  EXPECT_EQ(Days(Day(2006, 4, 1), Day(2006, 4, 1)), Apply("06-04-01x06-04-30"));
  EXPECT_EQ(Days(Day(2000, 4, 1), Day(2000, 4, 1)), Apply(".04.01"));
}

TEST(DateOption, FailuresChangeNothingOrOnlyTheFirstDay) {
  for (const char* value :
       {"", "-", "abc", "06--04-01", "2006-2-31", "1900-2-29", "06-0-1", "06-13-1", "06-1-0",
        "10000-1-1", "06-02-30-06-04-01", "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x90\xEF\xBC\x96-1-1"}) {
    EXPECT_EQ(Range{}, Apply(value)) << value;
  }
  // A valid first date with a bad second one: the range runs from the first.
  EXPECT_EQ(Days(Day(2006, 4, 1), kLast), Apply("06-04-01-06-04-31"));
  EXPECT_EQ(Days(Day(2006, 4, 1), kLast), Apply("06-04-01-"));
}

TEST(DateOption, TwoDigitYearsAndLeapDays) {
  EXPECT_EQ(Days(Day(2079, 1, 1), Day(2079, 1, 1)), Apply("79-1-1"));
  EXPECT_EQ(Days(Day(1980, 1, 1), Day(1980, 1, 1)), Apply("80-1-1"));
  EXPECT_EQ(Days(Day(2000, 1, 1), Day(2000, 1, 1)), Apply("00-1-1"));
  EXPECT_EQ(Days(Day(100, 1, 1), Day(100, 1, 1)), Apply("100-1-1"));
  EXPECT_EQ(Days(Day(2004, 2, 29), Day(2004, 2, 29)), Apply("2004-2-29"));
  EXPECT_EQ(Days(Day(2000, 2, 29), Day(2000, 2, 29)), Apply("2000-2-29"));
}

TEST(DateOption, LastCharacterDecidesTheOpenRange) {
  // In CP932 the "-" here is the trail of a double-byte character, so the
  // value is not the open range: the character ends the single date.
  const std::string value = "06-04-01\x81-";
  EXPECT_EQ(Days(Day(2006, 4, 1), Day(2006, 4, 1)), Apply(value, CharRule::Cp932));
  EXPECT_EQ(Days(Day(2006, 4, 1), kLast), Apply(value, CharRule::SingleByte));
}

TEST(DateOption, LaterArgumentsOverwrite) {
  OptionSet options;
  ReadArguments({"src", "bk", test::Opt("D06-04-01-06-04-30"), test::Opt("D-07-01-02"),
                 test::Opt("d08-01-01-"), test::Opt("D2006-2-31")},
                options, [] {});
  EXPECT_EQ(Day(2008, 1, 1), options.firstDay);
  EXPECT_EQ(Day(2007, 1, 2), options.lastDay);
}

TEST(DateOption, DefaultRangeHasNoBounds) {
  const OptionSet options;
  EXPECT_EQ(kNoFirstDay, options.firstDay);
  EXPECT_EQ(kNoLastDay, options.lastDay);
  EXPECT_LT(options.firstDay, Day(1, 1, 1));
  EXPECT_GT(options.lastDay, Day(9999, 12, 31));
}

}  // namespace
