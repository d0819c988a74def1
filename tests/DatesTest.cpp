// The date reader: fields, separators, the rest after a third separator,
// two-digit years, the calendar check and fields taken modulo 65536.
#include <gtest/gtest.h>

#include "Dates.h"

namespace {

using platform::CharRule;
using platform::DateValue;

constexpr DateValue kUntouched = -1;

struct Reading {
  bool ok;
  DateValue date;
  std::string rest;
};

Reading Read(std::string text, CharRule rule = CharRule::Utf8) {
  DateValue date = kUntouched;
  const bool ok = ReadDate(text, date, rule);
  return {ok, date, text};
}

DateValue Day(int y, int m, int d) { return static_cast<DateValue>(platform::DayNumber(y, m, d)); }

TEST(ReadDate, ReadsThreeFields) {
  Reading r = Read("94-04-03");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(34427, r.date);  // 1994-04-03, counted from 1899-12-30
  EXPECT_EQ("94-04-03", r.rest);

  r = Read("2006-4-1");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(38808, r.date);

  r = Read("1960/00006/14");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(22081, r.date);

  r = Read("2108-01-01");  // after 2099, where the default range once ended
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(75972, r.date);
}

TEST(ReadDate, ThirdSeparatorCutsTheText) {
  Reading r = Read("06-04-01-06-04-30");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Day(2006, 4, 1), r.date);
  EXPECT_EQ("-06-04-30", r.rest);

  r = Read("06.04.01.06.04.30");
  EXPECT_EQ(".06.04.30", r.rest);
  r = Read("06-04-01x06-04-30");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ("x06-04-30", r.rest);

  // Cut the same way when the date is not valid; the date stays untouched.
  r = Read("06-04-31-rest");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(kUntouched, r.date);
  EXPECT_EQ("-rest", r.rest);

  r = Read("abc");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ("c", r.rest);
}

TEST(ReadDate, EmptyFieldsAndRunsOfSeparators) {
  Reading r = Read(".04.01");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Day(2000, 4, 1), r.date);
  // Separators are not merged: month 0, and "04" goes to the day.
  r = Read("06--04-01");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ("-01", r.rest);
  EXPECT_FALSE(Read("").ok);
  EXPECT_FALSE(Read("-").ok);
}

TEST(ReadDate, TwoDigitYears) {
  EXPECT_EQ(Day(2079, 1, 1), Read("79-1-1").date);
  EXPECT_EQ(Day(1980, 1, 1), Read("80-1-1").date);
  EXPECT_EQ(Day(1999, 12, 31), Read("99-12-31").date);
  EXPECT_EQ(Day(2000, 1, 1), Read("00-1-1").date);
  EXPECT_EQ(Day(2000, 1, 1), Read("-1-1").date);  // no digits: year 0
  // The year as read decides, leading zeros or not.
  EXPECT_EQ(Day(1999, 1, 1), Read("0099-1-1").date);
  EXPECT_EQ(Day(2005, 1, 1), Read("0005-1-1").date);
  Reading r = Read("100-1-1");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(-657434, r.date);  // the year 100
  EXPECT_EQ(Day(2006, 1, 1), Read("2006-1-1").date);
}

TEST(ReadDate, GregorianCheck) {
  EXPECT_TRUE(Read("2004-2-29").ok);
  EXPECT_TRUE(Read("2000-2-29").ok);
  EXPECT_FALSE(Read("1900-2-29").ok);
  EXPECT_FALSE(Read("2006-2-29").ok);
  EXPECT_FALSE(Read("2006-2-31").ok);
  EXPECT_FALSE(Read("2006-4-31").ok);
  EXPECT_TRUE(Read("2006-12-31").ok);
  EXPECT_FALSE(Read("2006-0-1").ok);
  EXPECT_FALSE(Read("2006-13-1").ok);
  EXPECT_FALSE(Read("2006-1-0").ok);
  EXPECT_FALSE(Read("2006-1-32").ok);
  EXPECT_TRUE(Read("9999-12-31").ok);
  EXPECT_FALSE(Read("10000-1-1").ok);
}

TEST(ReadDate, FieldsAreTakenModulo65536) {
  EXPECT_FALSE(Read("65536-1-1").ok);  // year 0
  EXPECT_EQ(Day(1, 1, 1), Read("65537-1-1").date);
  EXPECT_EQ(Day(2006, 1, 1), Read("67542-1-1").date);
  EXPECT_EQ(Day(2006, 1, 1), Read("2006-65537-1").date);
  EXPECT_EQ(Day(2006, 1, 1), Read("2006-1-65537").date);
  // Fields of any length: still exactly modulo 65536, never an overflow.
  EXPECT_EQ(Day(2006, 1, 1), Read("4294969302-1-1").date);
  EXPECT_EQ(Day(2006, 1, 1), Read("6553600000000000000002006-1-1").date);
  EXPECT_EQ(Day(2006, 1, 1), Read("2006-1-0000000000000000000000000001").date);
  EXPECT_FALSE(Read("999999999999999999999999999999-1-1").ok);  // year 65535
  EXPECT_FALSE(Read("4294967296-1-1").ok);                      // year 0, not 2000
}

TEST(ReadDate, MultiByteCharacterIsOneSeparator) {
  // 1961年9月28
  const std::string utf8 =
      "1961\xE5\xB9\xB4"
      "9\xE6\x9C\x88"
      "28";
  const std::string cp932 =
      "1961\x94\x4E"
      "9\x8C\x8E"
      "28";
  Reading r = Read(utf8, CharRule::Utf8);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(22552, r.date);
  r = Read(cp932, CharRule::Cp932);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(22552, r.date);
  // Read byte by byte, each byte of a character is a separator of its own.
  EXPECT_FALSE(Read(utf8, CharRule::SingleByte).ok);
  EXPECT_FALSE(Read(cp932, CharRule::SingleByte).ok);
  EXPECT_FALSE(Read(cp932, CharRule::Utf8).ok);

  // A trail byte that is a digit belongs to its character, not to a field.
  const std::string trailDigits =
      "2006\x81"
      "45\x81"
      "01";
  EXPECT_EQ(Day(2006, 5, 1), Read(trailDigits, CharRule::Cp932).date);
  EXPECT_FALSE(Read(trailDigits, CharRule::SingleByte).ok);  // month 45

  // Full-width digits are separators: the third ends the date.
  r = Read("\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x90\xEF\xBC\x96-1-1", CharRule::Utf8);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ("\xEF\xBC\x90\xEF\xBC\x96-1-1", r.rest);
  r = Read("\x82\x51\x82\x4F\x82\x4F\x82\x55-1-1", CharRule::Cp932);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ("\x82\x4F\x82\x55-1-1", r.rest);
}

TEST(ReadDate, ActiveRuleOverload) {
  std::string text = "06-04-01-x";
  DateValue date = kUntouched;
  EXPECT_TRUE(ReadDate(text, date));
  EXPECT_EQ(Day(2006, 4, 1), date);
  EXPECT_EQ("-x", text);
}

}  // namespace
