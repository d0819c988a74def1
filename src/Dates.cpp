// The date reader and the four forms of the date-range option.
#include "Dates.h"

#include <chrono>
#include <cstdint>

#include "Characters.h"

using platform::DateValue;

bool ReadDate(std::string& text, DateValue& date) {
  return ReadDate(text, date, platform::ActiveCharRule());
}

bool ReadDate(std::string& text, DateValue& date, CharRule rule) {
  // Fields are kept modulo 2^32; a field of ten or more digits wraps instead
  // of overflowing, and only its value modulo 65536 is ever used.
  uint32_t field[3] = {0, 0, 0};
  bool yearAbove99 = false;  // the year as read, before any wrap
  int separators = 0;
  const std::string_view s = text;
  for (size_t p = 0; p < s.size();) {
    const size_t len = CharLength(s, p, rule);
    const char c = s[p];
    if (len == 1 && c >= '0' && c <= '9') {
      field[separators] = field[separators] * 10u + static_cast<uint32_t>(c - '0');
      if (separators == 0 && field[0] > 99) yearAbove99 = true;
    } else if (++separators == 3) {
      text.erase(0, p);
      break;
    }
    p += len;
  }
  uint32_t year = field[0];
  if (!yearAbove99) year += year >= 80 ? 1900 : 2000;
  year &= 0xFFFF;
  const uint32_t month = field[1] & 0xFFFF;
  const uint32_t day = field[2] & 0xFFFF;
  // The calendar types hold only small fields (a month of 257 would wrap to
  // January), so the ranges are checked first; the calendar then knows the
  // lengths of the months and the leap years.
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  using namespace std::chrono;
  const year_month_day ymd{std::chrono::year{static_cast<int>(year)}, std::chrono::month{month},
                           std::chrono::day{day}};
  if (!ymd.ok()) return false;
  constexpr sys_days kDayZero = std::chrono::year{1899} / December / 30;
  date = static_cast<DateValue>((sys_days{ymd} - kDayZero).count());
  return true;
}

void HandleDateOption(std::string value, DateValue& firstDay, DateValue& lastDay) {
  HandleDateOption(std::move(value), firstDay, lastDay, platform::ActiveCharRule());
}

void HandleDateOption(std::string value, DateValue& firstDay, DateValue& lastDay,
                      platform::CharRule rule) {
  DateValue date;
  if (!value.empty() && value[0] == '-') {
    value.erase(0, 1);
    if (ReadDate(value, date, rule)) lastDay = date;
    return;
  }
  if (LastChar(value, rule) == "-") {
    value.pop_back();
    if (ReadDate(value, date, rule)) firstDay = date;
    return;
  }
  if (!ReadDate(value, date, rule)) return;
  firstDay = date;
  if (!value.empty() && value[0] == '-') {
    value.erase(0, 1);
    if (ReadDate(value, date, rule)) lastDay = date;
  } else {
    lastDay = firstDay;
  }
}
